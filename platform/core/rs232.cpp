#include "platform/core/rs232.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/core/clock.h"
#include "platform/core/inproc_line.h"
#include "platform/core/serial_device.h"

namespace {

// A port on an in-process line: the simulated instrument is in this program.
class InprocSerial : public SerialDevice {
public:
    explicit InprocSerial(std::shared_ptr<InprocLine> l) : line(std::move(l)) {}
    ~InprocSerial() override { line->detach(); }
    std::shared_ptr<InprocLine> line;

    int write(const char *buf, int count, double) override {
        // The instrument gone: the write fails as on a vanished device.
        return line->portWrite(buf, static_cast<std::size_t>(count)) ? count : kRS232_IOError;
    }
    int readByte(char *c, double deadline) override {
        for (;;) {
            int r = line->portReadByte(c, 0);
            if (r == 0) {
                int ms = clock_real_ms(deadline - Timer());
                if (ms <= 0) return 0;
                r = line->portReadByte(c, ms);
            }
            if (r > 0) return 1;
            if (r < 0) return kRS232_IOError;
        }
    }
    void flushIn() override { line->portFlush(); }
    int queued() override { return static_cast<int>(line->portQueued()); }
    int setHandshake(int, bool) override { return 0; }
};

struct Port {
    std::unique_ptr<SerialDevice> dev;
    double timeout = 10.0;  // program seconds, for writes and reads
};

Port &slot(int port) {
    // Never destroyed: ports still open at exit must not be torn down after Qt is gone.
    static Port *ports = new Port[kRS232_MaxPort + 1];
    return ports[port];
}

bool valid(int port) { return port >= 1 && port <= kRS232_MaxPort; }

SerialDevice *openPort(int port) {
    if (!valid(port)) return nullptr;
    return slot(port).dev.get();
}

int notOpenCode(int port) { return valid(port) ? kRS232_PortNotOpen : kRS232_InvalidPort; }
}  // namespace

const char *rs232_device_name(int port) {
    thread_local std::string name;
    name.clear();
    if (!valid(port)) return name.c_str();
    std::string var = "VRIM_COM" + std::to_string(port);
    if (const char *env = std::getenv(var.c_str()); env && *env) {
        name = env;
    } else {
#ifdef _WIN32
        name = "COM" + std::to_string(port);
#else
        name = "/dev/ttyS" + std::to_string(port - 1);
#endif
    }
    return name.c_str();
}

int OpenComConfig(int port, const char *deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize) {
    if (!valid(port)) return kRS232_InvalidPort;
    if (baudRate <= 0 || baudRate > 4000000) return kRS232_InvalidBaudRate;
    if (parity < 0 || parity > 4) return kRS232_InvalidParity;
    if (dataBits < 5 || dataBits > 8) return kRS232_InvalidDataBits;
    if (stopBits != 1 && stopBits != 2) return kRS232_InvalidStopBits;
    (void)inputQueueSize;
    (void)outputQueueSize;
    Port &p = slot(port);
    p.dev.reset();
    std::string dev = (deviceName && *deviceName) ? std::string(deviceName) : rs232_device_name(port);
    if (inproc_is_device_name(dev.c_str())) {
        auto line = inproc_line_find(dev.substr(std::strlen(VRIM_INPROC_PREFIX)));
        if (!line || !line->attach()) return kRS232_CannotOpenPort;
        p.dev = std::make_unique<InprocSerial>(std::move(line));
    } else {
        int code = 0;
        p.dev = serial_open_native(dev, SerialSettings{baudRate, parity, dataBits, stopBits}, &code);
        if (!p.dev) return code ? code : kRS232_CannotOpenPort;
    }
    p.timeout = 10.0;
    return 0;
}

int SetXMode(int port, int mode) {
    SerialDevice *d = openPort(port);
    if (!d) return notOpenCode(port);
    return d->setHandshake(1, mode != 0);
}

int SetCTSMode(int port, int mode) {
    SerialDevice *d = openPort(port);
    if (!d) return notOpenCode(port);
    return d->setHandshake(2, mode != 0);
}

int SetComTime(int port, double seconds) {
    if (!openPort(port)) return notOpenCode(port);
    if (!(seconds >= 0)) return kRS232_InvalidParameter;
    slot(port).timeout = seconds;
    return 0;
}

int FlushInQ(int port) {
    SerialDevice *d = openPort(port);
    if (!d) return notOpenCode(port);
    d->flushIn();
    return 0;
}

int ComWrt(int port, const char *buffer, int count) {
    SerialDevice *d = openPort(port);
    if (!d) return notOpenCode(port);
    if (count < 0) return kRS232_InvalidCount;
    if (count == 0) return 0;
    if (!buffer) return kRS232_NullPointer;
    return d->write(buffer, count, Timer() + clock_timeout_span(slot(port).timeout));
}

int ComRdTerm(int port, char *buffer, int count, int terminator) {
    SerialDevice *d = openPort(port);
    if (!d) return notOpenCode(port);
    if (count < 0) return kRS232_InvalidCount;
    if (!buffer) return kRS232_NullPointer;
    const char term = static_cast<char>(terminator & 0xFF);
    const double deadline = Timer() + clock_timeout_span(slot(port).timeout);
    int stored = 0;
    while (stored < count) {
        char c;
        int r = d->readByte(&c, deadline);
        if (r < 0) return r;
        if (r == 0) return kRS232_Timeout;
        if (c == term) return stored;
        buffer[stored++] = c;
    }
    return stored;
}

int GetInQLen(int port) {
    SerialDevice *d = openPort(port);
    if (!d) return notOpenCode(port);
    return d->queued();
}

int CloseCom(int port) {
    if (!openPort(port)) return notOpenCode(port);
    slot(port).dev.reset();
    return 0;
}
