#ifndef SERIALPORTDRIVER_H
#define SERIALPORTDRIVER_H

#include "devicedriver.h"

#include <atomic>

class QSerialPort;
class PosixLine;

/**
 * \file serialportdriver.h
 * \brief A serial line as the instrument link's transport (SerialPortDriver).
 */

/**
 * A serial line. The port name may carry the line speed as a query,
 * "COM3?baudrate=9600" or "/dev/ttyS0?baudrate=9600"; without it the speed is 115200.
 * Data bits, parity, stop bits and flow control stay at the port's defaults (8N1, none).
 *
 * A port that goes away (unplugged, its other end hung up) ends the transfer in progress
 * at once: the driver is then closed, with the reason in errorString().
 *
 * Every function may be called from any thread, as DeviceDriver tells.
 */
class QVCORE_EXPORT SerialPortDriver : public DeviceDriver
{
    Q_OBJECT
public:
    /// A closed driver without a port name; setPortName() sets the name and the speed.
    explicit SerialPortDriver(QObject *parent = nullptr);
    /// Ends an exchange in progress at once (see DeviceDriver::~DeviceDriver()) and closes the port.
    ~SerialPortDriver() override;

    /**
     * Opens the port read-write at the speed set; false with the system's reason in
     * errorString() (no such port, no permission, in use). Holds the driver's lock for
     * the system's open.
     */
    bool open() override;
    /// Whether the port is open. Any thread, at once.
    bool isOpen() const override;
    /**
     * Closes the port; an exchange blocked on it ends at once with NotOpenError, and the
     * asynchronous requests queued on the line with it.
     */
    void close() override;
    /// The names of the system's serial ports, as setPortName() takes them.
    QStringList avaliablePorts() const override;
    /// The name alone, without the speed query.
    QString portName() const override;
    /**
     * Sets the port and, from the query "baudrate=N", the speed (115200 without one); on
     * an open port the speed applies at once. A speed the port refuses shows when the port
     * is opened or used.
     */
    void setPortName(const QString &name) override;
    /// Drops the input waiting on an open port; waits for the exchange in progress.
    void clear() override;
    /// The QSerialPort; see DeviceDriver::device() for what must not be done with it.
    QIODevice *device() const override;

    /// The speed last applied, in bits per second; answers at once from any thread.
    qint32 baudRate() const;

private:
    QSerialPort *m_port;
    QScopedPointer<PosixLine> m_line;
    std::atomic<qint32> m_baudRate;
};

#endif // SERIALPORTDRIVER_H
