#ifndef SERIALPORTDRIVER_H
#define SERIALPORTDRIVER_H

#include "devicedriver.h"

#include <atomic>

class QSerialPort;
class PosixLine;

// A serial line. The port name may carry the line speed as a query,
// "COM3?baudrate=9600" or "/dev/ttyS0?baudrate=9600"; without it the speed is 115200.
// Data bits, parity, stop bits and flow control stay at the port's defaults (8N1, none).
//
// A port that goes away (unplugged, its other end hung up) ends the transfer in progress
// at once: the driver is then closed, with the reason in errorString().
class QVCORE_EXPORT SerialPortDriver : public DeviceDriver
{
    Q_OBJECT
public:
    explicit SerialPortDriver(QObject *parent = nullptr);
    ~SerialPortDriver() override;

    bool open() override;
    bool isOpen() const override;
    void close() override;
    QStringList avaliablePorts() const override;
    // The name alone, without the speed query.
    QString portName() const override;
    void setPortName(const QString &name) override;
    void clear() override;
    QIODevice *device() const override;

    // The speed last applied, in bits per second; answers at once from any thread.
    qint32 baudRate() const;

private:
    QSerialPort *m_port;
    QScopedPointer<PosixLine> m_line;
    std::atomic<qint32> m_baudRate;
};

#endif // SERIALPORTDRIVER_H
