// Serial line layer: the RS-232 operations the instrument drivers call. A port is one of two
// kinds:
//  - a real port: on Windows through the system's communications API, elsewhere on Qt
//    SerialPort, or on POSIX termios in a build without Qt (ports, USB-serial adapters and
//    pseudo-terminals alike);
//  - an in-process line to a simulated instrument in the same program, for the device name
//    "inproc:<name>" (platform/core/inproc_line.h).
//
// Port numbers: port N is the device named by the environment variable VRIM_COM<N> when it is
// set (e.g. /dev/ttyUSB0, COM7, a pseudo-terminal or an in-process line of a simulated
// instrument); otherwise COMN on Windows and /dev/ttyS<N-1> elsewhere. A device name passed to
// OpenComConfig, when not empty, takes precedence over both.
//
// All results follow one rule: a count (0 or more) on success, a negative code on failure.
// Time-outs run on the program clock (platform/core/clock.h).
#pragma once

enum {
    kRS232_UnknownSystemError = -1,
    kRS232_InvalidPort = -2,      // port number outside 1..kRS232_MaxPort
    kRS232_PortNotOpen = -3,
    kRS232_IOError = -4,
    kRS232_CannotOpenPort = -7,   // missing device, no permission, or already open elsewhere
    kRS232_NullPointer = -8,
    kRS232_InvalidParameter = -13,
    kRS232_InvalidBaudRate = -14,
    kRS232_InvalidParity = -24,
    kRS232_InvalidDataBits = -34,
    kRS232_InvalidStopBits = -44,
    kRS232_InvalidCount = -94,
    kRS232_Timeout = -99,
};
enum { kRS232_MaxPort = 255 };

// Opens and configures the port. parity: 0 none, 1 odd, 2 even, 3 mark, 4 space. Queue sizes are
// accepted and not enforced (the input queue grows as needed). Opening a port that is already open
// in this program closes it first. Returns 0, or a negative code (nothing stays open then);
// kRS232_CannotOpenPort also for an in-process line that does not exist or is already open.
int OpenComConfig(int port, const char *deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize);
// Software (XON/XOFF) and hardware (CTS) handshake: 0 off, nonzero on. Returns 0 or a code.
int SetXMode(int port, int mode);
int SetCTSMode(int port, int mode);
// Time-out of later writes and reads of this port, in program seconds (default 10 s at open).
int SetComTime(int port, double seconds);
// Discards every byte received and not yet read. Returns 0 or a code.
int FlushInQ(int port);
// Writes count bytes; returns the number of bytes written (== count unless the time-out passed
// first or the line failed), or a negative code (kRS232_PortNotOpen, kRS232_InvalidCount).
int ComWrt(int port, const char *buffer, int count);
// Reads into buffer until the terminator byte arrives (it is consumed, neither stored nor
// counted), count bytes have been stored, or the time-out passes. Returns the number of bytes
// stored (0 when the terminator came first). When the time-out passes before the terminator or
// the count, returns kRS232_Timeout and the bytes that did arrive are consumed: a line cut short
// is never handed out as if it were whole. The buffer is not NUL-terminated by this call; with a
// negative result its content is undefined. Bytes after the terminator stay queued.
int ComRdTerm(int port, char *buffer, int count, int terminator);
// Bytes received and not yet read (for diagnostics and tests); negative code when not open.
int GetInQLen(int port);
// Closes the port; 0, or kRS232_PortNotOpen.
int CloseCom(int port);

// The device path that a port number stands for (see above), or "" for an invalid number.
// The pointer stays valid until the next call from the same thread.
const char *rs232_device_name(int port);
