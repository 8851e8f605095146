#include "platform/core/linkstatus.h"

#include "platform/core/rs232.h"

LinkStatus link_status_of_read(int result) {
    if (result >= 0) return LINK_ANSWERED;
    switch (result) {
    case kRS232_Timeout: return LINK_TIMED_OUT;
    case kRS232_IOError: return LINK_PORT_FAILED;
    case kRS232_PortNotOpen:
    case kRS232_InvalidPort: return LINK_NOT_OPEN;
    default: return LINK_NO_REPLY;
    }
}

LinkStatus link_status_of_write(int result) {
    if (result >= 0) return LINK_TIMED_OUT;  // written in part before the time-out
    switch (result) {
    case kRS232_IOError: return LINK_PORT_FAILED;
    case kRS232_PortNotOpen:
    case kRS232_InvalidPort: return LINK_NOT_OPEN;
    default: return LINK_PORT_FAILED;
    }
}
