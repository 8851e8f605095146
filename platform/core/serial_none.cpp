// Builds without Qt on a platform other than Windows have no real serial ports; the in-process
// line still works.
#include "platform/core/rs232.h"
#include "platform/core/serial_device.h"

std::unique_ptr<SerialDevice> serial_open_native(const std::string &, const SerialSettings &, int *code) {
    *code = kRS232_CannotOpenPort;
    return nullptr;
}
