// Real serial ports on POSIX termios, for builds without Qt on platforms other than Windows
// (ports, USB-serial adapters and pseudo-terminals alike).
#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/core/clock.h"
#include "platform/core/rs232.h"
#include "platform/core/serial_device.h"

namespace {
bool baudConstant(long baud, speed_t *out) {
    static const struct {
        long rate;
        speed_t code;
    } rates[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},   {9600, B9600},
                 {19200, B19200},   {38400, B38400},   {57600, B57600}, {115200, B115200},
                 {230400, B230400}};
    for (const auto &r : rates)
        if (r.rate == baud) {
            *out = r.code;
            return true;
        }
    return false;
}

class TermiosSerial : public SerialDevice {
public:
    int fd = -1;
    // Bytes taken from the system but not yet handed out.
    char rx[256];
    ssize_t rxHead = 0, rxCount = 0;

    ~TermiosSerial() override {
        if (fd >= 0) ::close(fd);
    }

    int write(const char *buf, int count, double deadline) override {
        int done = 0;
        while (done < count) {
            ssize_t n = ::write(fd, buf + done, size_t(count - done));
            if (n > 0) {
                done += int(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return done ? done : kRS232_IOError;
            int ms = clock_real_ms(deadline - Timer());
            if (ms <= 0) break;
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, ms);
        }
        // The rest could not go out in time: drop it so it is not sent later, out of order.
        if (done < count) tcflush(fd, TCOFLUSH);
        return done;
    }

    int readByte(char *c, double deadline) override {
        while (rxHead >= rxCount) {
            ssize_t n = ::read(fd, rx, sizeof rx);
            if (n > 0) {
                rxHead = 0;
                rxCount = n;
                break;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return kRS232_IOError;
            int ms = clock_real_ms(deadline - Timer());
            if (ms <= 0) return 0;
            pollfd p{fd, POLLIN, 0};
            int r = ::poll(&p, 1, ms);
            if (r > 0 && !(p.revents & POLLIN) && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
                return kRS232_IOError;  // the far end is gone
        }
        *c = rx[rxHead++];
        return 1;
    }

    void flushIn() override {
        tcflush(fd, TCIFLUSH);
        char drop[256];
        while (::read(fd, drop, sizeof drop) > 0) {
        }
        rxHead = rxCount = 0;
    }

    int queued() override {
        int n = 0;
        if (ioctl(fd, FIONREAD, &n) != 0) n = 0;
        return n + int(rxCount - rxHead);
    }

    int setHandshake(int kind, bool on) override {
        termios t{};
        if (tcgetattr(fd, &t) != 0) return 0;
        if (kind == 1) {
            if (on) t.c_iflag |= IXON | IXOFF;
            else t.c_iflag &= ~tcflag_t(IXON | IXOFF);
        } else {
#ifdef CRTSCTS
            if (on) t.c_cflag |= CRTSCTS;
            else t.c_cflag &= ~tcflag_t(CRTSCTS);
#endif
        }
        tcsetattr(fd, TCSANOW, &t);
        return 0;
    }
};
}  // namespace

std::unique_ptr<SerialDevice> serial_open_native(const std::string &device, const SerialSettings &s,
                                                 int *code) {
    speed_t speed;
    if (!baudConstant(s.baudRate, &speed)) {
        *code = kRS232_InvalidBaudRate;
        return nullptr;
    }
    auto port = std::make_unique<TermiosSerial>();
    port->fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (port->fd < 0) {
        *code = kRS232_CannotOpenPort;
        return nullptr;
    }
    // Raw bytes in the given frame. A pseudo-terminal refuses some settings; the bytes still
    // flow, so refusals are tolerated as on the other platforms.
    termios t{};
    if (tcgetattr(port->fd, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag &= ~tcflag_t(CSIZE | CSTOPB | PARENB | PARODD);
        static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
        t.c_cflag |= sizes[s.dataBits - 5];
        if (s.stopBits == 2) t.c_cflag |= CSTOPB;
        if (s.parity) t.c_cflag |= PARENB;
        if (s.parity == 1 || s.parity == 3) t.c_cflag |= PARODD;
#ifdef CMSPAR
        if (s.parity >= 3) t.c_cflag |= CMSPAR;
#endif
        t.c_iflag &= ~tcflag_t(IXON | IXOFF);
        tcsetattr(port->fd, TCSANOW, &t);
    }
    *code = 0;
    return port;
}
#endif
