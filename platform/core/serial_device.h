// The serial layer's ports behind one interface (used by rs232.cpp only): a real port of the
// platform (serial_qt.cpp on Qt SerialPort, serial_win32.cpp on the Windows communications API,
// serial_termios_noqt.cpp on POSIX without Qt) or an in-process line
// (platform/core/inproc_line.h).
#pragma once
#include <memory>
#include <string>

struct SerialSettings {
    long baudRate;  // bits/s
    int parity;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int dataBits;   // 5..8
    int stopBits;   // 1 or 2
};

class SerialDevice {
public:
    virtual ~SerialDevice() = default;
    // Writes count (> 0) bytes, giving up at the program-clock time deadline. Returns the bytes
    // written (fewer when the deadline passed; the rest is dropped, never sent later) or
    // kRS232_IOError.
    virtual int write(const char *buf, int count, double deadline) = 0;
    // Takes one received byte, waiting until the program-clock time deadline. 1: a byte in *c;
    // 0: none came in time; kRS232_IOError: the line failed.
    virtual int readByte(char *c, double deadline) = 0;
    // Drops every byte received and not yet read.
    virtual void flushIn() = 0;
    // Bytes received and not yet read.
    virtual int queued() = 0;
    // Handshake: kind 1 software (XON/XOFF), 2 hardware (CTS). Switching one off leaves the
    // other as it is. Returns 0.
    virtual int setHandshake(int kind, bool on) = 0;
};

// Opens a real port by its device name; null with *code set to a kRS232_ code on failure.
std::unique_ptr<SerialDevice> serial_open_native(const std::string &device, const SerialSettings &s,
                                                 int *code);
