// Real serial ports on Qt SerialPort (ports, USB-serial adapters and pseudo-terminals alike).
#include <QSerialPort>
#include <QString>

#include "platform/core/clock.h"
#include "platform/core/rs232.h"
#include "platform/core/serial_device.h"

namespace {
class QtSerial : public SerialDevice {
public:
    QSerialPort sp;

    int write(const char *buf, int count, double deadline) override {
        qint64 n = sp.write(buf, count);
        if (n < 0) {
            sp.clearError();
            return kRS232_IOError;
        }
        while (sp.bytesToWrite() > 0) {
            int ms = clock_real_ms(deadline - Timer());
            if (ms <= 0 || !sp.waitForBytesWritten(ms)) break;
        }
        qint64 pending = sp.bytesToWrite();
        sp.clearError();
        if (pending > 0) {
            // The rest could not go out in time: drop it so it is not sent later, out of order.
            sp.clear(QSerialPort::Output);
            return static_cast<int>(n - pending);
        }
        return static_cast<int>(n);
    }

    int readByte(char *c, double deadline) override {
        for (;;) {
            if ((sp.bytesAvailable() > 0 || sp.waitForReadyRead(0)) && sp.getChar(c)) return 1;
            int ms = clock_real_ms(deadline - Timer());
            if (ms <= 0) {
                sp.clearError();  // a time-out leaves the port's error state set until cleared
                return 0;
            }
            if (!sp.waitForReadyRead(ms)) {
                if (sp.error() != QSerialPort::TimeoutError && sp.error() != QSerialPort::NoError) {
                    sp.clearError();
                    return kRS232_IOError;
                }
                sp.clearError();
            }
        }
    }

    void flushIn() override {
        // Drop what Qt has buffered and what the driver holds, then pick up and drop anything the
        // kernel had already queued but Qt had not yet fetched.
        sp.clear(QSerialPort::Input);
        sp.waitForReadyRead(0);
        sp.readAll();
        sp.clearError();
    }

    int queued() override {
        sp.waitForReadyRead(0);
        sp.clearError();
        return static_cast<int>(sp.bytesAvailable());
    }

    int setHandshake(int kind, bool on) override {
        QSerialPort::FlowControl f = kind == 1 ? QSerialPort::SoftwareControl : QSerialPort::HardwareControl;
        if (on) sp.setFlowControl(f);
        else if (sp.flowControl() == f) sp.setFlowControl(QSerialPort::NoFlowControl);
        sp.clearError();
        return 0;
    }
};
}  // namespace

std::unique_ptr<SerialDevice> serial_open_native(const std::string &device, const SerialSettings &s,
                                                 int *code) {
    auto port = std::make_unique<QtSerial>();
    QSerialPort &sp = port->sp;
    sp.setPortName(QString::fromStdString(device));
    if (!sp.open(QIODevice::ReadWrite)) {
        *code = kRS232_CannotOpenPort;
        return nullptr;
    }
    // Line settings. On a pseudo-terminal some of these (and every modem-control line) are
    // refused with "Inappropriate ioctl"; the bytes still flow, so such refusals are tolerated.
    static const QSerialPort::Parity parities[] = {QSerialPort::NoParity, QSerialPort::OddParity,
                                                   QSerialPort::EvenParity, QSerialPort::MarkParity,
                                                   QSerialPort::SpaceParity};
    sp.setBaudRate(static_cast<qint32>(s.baudRate));
    sp.setParity(parities[s.parity]);
    sp.setDataBits(static_cast<QSerialPort::DataBits>(s.dataBits));
    sp.setStopBits(s.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
    sp.setFlowControl(QSerialPort::NoFlowControl);
    sp.clearError();
    *code = 0;
    return port;
}
