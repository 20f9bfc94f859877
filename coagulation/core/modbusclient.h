#ifndef MODBUSCLIENT_H
#define MODBUSCLIENT_H

#include <QtCore/QByteArray>
#include <QtCore/QObject>
#include <QtCore/QScopedPointer>
#include <QtCore/QString>

#include "qvcore_global.h"

class DeviceDriver;
class MessageBuilder;
class ModbusClientPrivate;

// Performs exchanges with the modules: adds the CRC to a request, writes the frame
// through the driver, reads the reply until it is complete or the line falls silent,
// checks it, and retries up to five times in all (setAttempts()). Results are the reply's length
// without CRC (0 or more) or a negative Modbus::ModuleStatus::ErrorCode.
//
// An exchange blocks the calling thread, processes no events and holds the driver's
// lock throughout; exchanges may come from any thread. The signals are emitted with
// the lock held, so receivers connected directly run inside the exchange.
class QVCORE_EXPORT ModbusClient : public QObject
{
    Q_OBJECT
public:
    explicit ModbusClient(QObject *parent = nullptr);
    ~ModbusClient() override;

    // Not owned; neither opened nor closed by setting it. Null is allowed.
    void setDriver(DeviceDriver *driver);
    DeviceDriver *driver() const;

    // Passed unchanged as the channel of every statusCodeChanged().
    void setStatusCodeChannel(int channel);
    int statusCodeChannel() const;

    // Attempts per exchange, the first included: 5 by default; values below 1 count as 1.
    void setAttempts(int attempts);
    int attempts() const;

    // The exchange on a builder: its buffer is the request, and afterwards holds the
    // reply without CRC (or nothing after a failure) at position 0.
    int talk(MessageBuilder &builder);

public Q_SLOTS:
    // One exchange. request holds address, route, function and fields without CRC;
    // the reply frame, CRC included, is read into reply, of which at most
    // replyCapacity bytes are used. reply and request may be the same memory.
    virtual int talk(char *reply, int replyCapacity, const char *request, int requestLength);

Q_SIGNALS:
    // At the start of every attempt: the outgoing frame, CRC included.
    void messageWritten(QByteArray msg);
    // At the end of every attempt: its result code and the bytes received.
    void messageRead(int status, QByteArray msg);
    // With every outcome; detail is the driver's error text for transport failures.
    void statusCodeChanged(int code, int channel, QString detail);

protected:
    void setStatusCode(int code, int channel, const QString &detail);

private:
    QScopedPointer<ModbusClientPrivate> d;
    Q_DISABLE_COPY(ModbusClient)
};

#endif // MODBUSCLIENT_H
