#include "platform/core/rs232.h"

#include <QSerialPort>
#include <QString>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/core/clock.h"

namespace {
struct Port {
    std::unique_ptr<QSerialPort> sp;
    double timeout = 10.0;  // program seconds, for writes and reads
};

Port &slot(int port) {
    // Never destroyed: ports still open at exit must not be torn down after Qt is gone.
    static Port *ports = new Port[kRS232_MaxPort + 1];
    return ports[port];
}

bool valid(int port) { return port >= 1 && port <= kRS232_MaxPort; }

QSerialPort *openPort(int port) {
    if (!valid(port)) return nullptr;
    QSerialPort *sp = slot(port).sp.get();
    return (sp && sp->isOpen()) ? sp : nullptr;
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
    Port &p = slot(port);
    if (p.sp) {
        if (p.sp->isOpen()) p.sp->close();
        p.sp.reset();
    }
    std::string dev = (deviceName && *deviceName) ? std::string(deviceName) : rs232_device_name(port);
    auto sp = std::make_unique<QSerialPort>();
    sp->setPortName(QString::fromStdString(dev));
    if (!sp->open(QIODevice::ReadWrite)) return kRS232_CannotOpenPort;
    // Line settings. On a pseudo-terminal some of these (and every modem-control line) are
    // refused with "Inappropriate ioctl"; the bytes still flow, so such refusals are tolerated.
    static const QSerialPort::Parity parities[] = {QSerialPort::NoParity, QSerialPort::OddParity,
                                                   QSerialPort::EvenParity, QSerialPort::MarkParity,
                                                   QSerialPort::SpaceParity};
    sp->setBaudRate(static_cast<qint32>(baudRate));
    sp->setParity(parities[parity]);
    sp->setDataBits(static_cast<QSerialPort::DataBits>(dataBits));
    sp->setStopBits(stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
    sp->setFlowControl(QSerialPort::NoFlowControl);
    sp->clearError();
    (void)inputQueueSize;
    (void)outputQueueSize;
    p.sp = std::move(sp);
    p.timeout = 10.0;
    return 0;
}

int SetXMode(int port, int mode) {
    QSerialPort *sp = openPort(port);
    if (!sp) return notOpenCode(port);
    if (mode) sp->setFlowControl(QSerialPort::SoftwareControl);
    else if (sp->flowControl() == QSerialPort::SoftwareControl) sp->setFlowControl(QSerialPort::NoFlowControl);
    sp->clearError();
    return 0;
}

int SetCTSMode(int port, int mode) {
    QSerialPort *sp = openPort(port);
    if (!sp) return notOpenCode(port);
    if (mode) sp->setFlowControl(QSerialPort::HardwareControl);
    else if (sp->flowControl() == QSerialPort::HardwareControl) sp->setFlowControl(QSerialPort::NoFlowControl);
    sp->clearError();
    return 0;
}

int SetComTime(int port, double seconds) {
    if (!openPort(port)) return notOpenCode(port);
    if (!(seconds >= 0)) return kRS232_InvalidParameter;
    slot(port).timeout = seconds;
    return 0;
}

int FlushInQ(int port) {
    QSerialPort *sp = openPort(port);
    if (!sp) return notOpenCode(port);
    // Drop what Qt has buffered and what the driver holds, then pick up and drop anything the
    // kernel had already queued but Qt had not yet fetched.
    sp->clear(QSerialPort::Input);
    sp->waitForReadyRead(0);
    sp->readAll();
    sp->clearError();
    return 0;
}

int ComWrt(int port, const char *buffer, int count) {
    QSerialPort *sp = openPort(port);
    if (!sp) return notOpenCode(port);
    if (count < 0) return kRS232_InvalidCount;
    if (count == 0) return 0;
    if (!buffer) return kRS232_NullPointer;
    qint64 n = sp->write(buffer, count);
    if (n < 0) {
        sp->clearError();
        return kRS232_IOError;
    }
    double deadline = Timer() + slot(port).timeout;
    while (sp->bytesToWrite() > 0) {
        int ms = clock_real_ms(deadline - Timer());
        if (ms <= 0 || !sp->waitForBytesWritten(ms)) break;
    }
    qint64 pending = sp->bytesToWrite();
    sp->clearError();
    if (pending > 0) {
        // The rest could not go out in time: drop it so it is not sent later, out of order.
        sp->clear(QSerialPort::Output);
        return static_cast<int>(n - pending);
    }
    return static_cast<int>(n);
}

int ComRdTerm(int port, char *buffer, int count, int terminator) {
    QSerialPort *sp = openPort(port);
    if (!sp) return notOpenCode(port);
    if (count < 0) return kRS232_InvalidCount;
    if (!buffer) return kRS232_NullPointer;
    const char term = static_cast<char>(terminator & 0xFF);
    const double deadline = Timer() + slot(port).timeout;
    int stored = 0;
    while (stored < count) {
        char c;
        if (sp->bytesAvailable() > 0 || sp->waitForReadyRead(0)) {
            if (sp->getChar(&c)) {
                if (c == term) return stored;
                buffer[stored++] = c;
                continue;
            }
        }
        int ms = clock_real_ms(deadline - Timer());
        if (ms <= 0) {
            sp->clearError();  // a time-out leaves the port's error state set until cleared
            return kRS232_Timeout;
        }
        if (!sp->waitForReadyRead(ms)) {
            if (sp->error() != QSerialPort::TimeoutError && sp->error() != QSerialPort::NoError) {
                sp->clearError();
                return kRS232_IOError;
            }
            sp->clearError();
        }
    }
    return stored;
}

int GetInQLen(int port) {
    QSerialPort *sp = openPort(port);
    if (!sp) return notOpenCode(port);
    sp->waitForReadyRead(0);
    sp->clearError();
    return static_cast<int>(sp->bytesAvailable());
}

int CloseCom(int port) {
    QSerialPort *sp = openPort(port);
    if (!sp) return notOpenCode(port);
    sp->close();
    slot(port).sp.reset();
    return 0;
}
