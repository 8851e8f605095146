// Real serial ports on the Windows communications API.
#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>

#include "platform/core/clock.h"
#include "platform/core/rs232.h"
#include "platform/core/serial_device.h"

namespace {
class WinSerial : public SerialDevice {
public:
    HANDLE h = INVALID_HANDLE_VALUE;
    // Bytes taken from the system but not yet handed out.
    char rx[256];
    DWORD rxHead = 0, rxCount = 0;

    ~WinSerial() override {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }

    bool setTimeouts(DWORD readMs, DWORD writeMs) {
        COMMTIMEOUTS t{};
        // Return at once with whatever has arrived, or wait up to readMs for the first byte.
        t.ReadIntervalTimeout = MAXDWORD;
        t.ReadTotalTimeoutMultiplier = MAXDWORD;
        t.ReadTotalTimeoutConstant = readMs ? readMs : 1;
        t.WriteTotalTimeoutMultiplier = 0;
        t.WriteTotalTimeoutConstant = writeMs;
        return SetCommTimeouts(h, &t) != 0;
    }

    int write(const char *buf, int count, double deadline) override {
        int ms = clock_real_ms(deadline - Timer());
        if (!setTimeouts(1, DWORD(ms > 0 ? ms : 1))) return kRS232_IOError;
        DWORD written = 0;
        if (!WriteFile(h, buf, DWORD(count), &written, nullptr) && written == 0) return kRS232_IOError;
        // The rest could not go out in time: drop it so it is not sent later, out of order.
        if (int(written) < count) PurgeComm(h, PURGE_TXCLEAR | PURGE_TXABORT);
        return int(written);
    }

    int readByte(char *c, double deadline) override {
        while (rxHead >= rxCount) {
            int ms = clock_real_ms(deadline - Timer());
            if (ms <= 0) return 0;
            if (!setTimeouts(DWORD(ms), 1)) return kRS232_IOError;
            DWORD got = 0;
            if (!ReadFile(h, rx, sizeof rx, &got, nullptr)) return kRS232_IOError;
            rxHead = 0;
            rxCount = got;
        }
        *c = rx[rxHead++];
        return 1;
    }

    void flushIn() override {
        PurgeComm(h, PURGE_RXCLEAR | PURGE_RXABORT);
        rxHead = rxCount = 0;
    }

    int queued() override {
        COMSTAT st{};
        DWORD errors = 0;
        if (!ClearCommError(h, &errors, &st)) return int(rxCount - rxHead);
        return int(st.cbInQue + (rxCount - rxHead));
    }

    int setHandshake(int kind, bool on) override {
        DCB d{};
        d.DCBlength = sizeof d;
        if (!GetCommState(h, &d)) return kRS232_IOError;
        if (kind == 1) {
            d.fOutX = d.fInX = on ? TRUE : FALSE;
        } else {
            d.fOutxCtsFlow = on ? TRUE : FALSE;
            d.fRtsControl = on ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        }
        SetCommState(h, &d);
        return 0;
    }
};
}  // namespace

std::unique_ptr<SerialDevice> serial_open_native(const std::string &device, const SerialSettings &s,
                                                 int *code) {
    // "COM12" needs the device namespace form; a name already in it is kept.
    std::string path = device.rfind("\\\\.\\", 0) == 0 ? device : "\\\\.\\" + device;
    wchar_t wide[300];
    if (MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide, 300) <= 0) {
        *code = kRS232_CannotOpenPort;
        return nullptr;
    }
    auto port = std::make_unique<WinSerial>();
    port->h = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port->h == INVALID_HANDLE_VALUE) {
        *code = kRS232_CannotOpenPort;
        return nullptr;
    }
    static const BYTE parities[] = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY};
    DCB d{};
    d.DCBlength = sizeof d;
    GetCommState(port->h, &d);
    d.BaudRate = DWORD(s.baudRate);
    d.fBinary = TRUE;
    d.fParity = s.parity ? TRUE : FALSE;
    d.Parity = parities[s.parity];
    d.ByteSize = BYTE(s.dataBits);
    d.StopBits = s.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    d.fOutxCtsFlow = d.fOutxDsrFlow = FALSE;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    d.fOutX = d.fInX = FALSE;
    d.fNull = FALSE;
    d.fAbortOnError = FALSE;
    if (!SetCommState(port->h, &d)) {
        *code = kRS232_InvalidParameter;
        return nullptr;
    }
    SetupComm(port->h, 4096, 4096);
    PurgeComm(port->h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    *code = 0;
    return port;
}
#endif
