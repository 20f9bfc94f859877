#ifndef MODBUSCLIENT_H
#define MODBUSCLIENT_H

#include <QtCore/QByteArray>
#include <QtCore/QObject>
#include <QtCore/QScopedPointer>
#include <QtCore/QString>

#include "qvcore_global.h"

#include <memory>

class DeviceDriver;
class DriverAnchor;
class MessageBuilder;
class ModbusClientPrivate;

// Performs exchanges with the modules: adds the CRC to a request, writes the frame
// through the driver, reads the reply until it is complete or the line falls silent,
// checks it, and retries up to five times in all (setAttempts()). Results are the reply's length
// without CRC (0 or more) or a negative Modbus::ModuleStatus::ErrorCode.
//
// A reply is taken only when its checksum holds and its whole route matches the request:
// the address and function code at every gateway level, where a gateway on the way may
// answer with an exception of its own. The protocol numbers no requests, so a reply that
// comes after its time-out would look like the answer to the next one: a request whose
// reply was not taken is owed by the line (whichever client asked), and before the next
// write on that line the owed reply is read and dropped, waiting for it no longer than
// its first wait again, or as late as replies have come on this line. A healthy line
// owes nothing and pays nothing.
//
// A line that fails while a reply is awaited (the peer hangs up, the port goes away)
// ends the exchange at once with NotOpenError; the driver is then closed with the
// reason in its errorString(), and later exchanges answer NotOpenError until the
// application opens it again. A failed write closes and reopens the driver.
//
// An exchange blocks the calling thread, processes no events and holds the driver's
// lock throughout; exchanges may come from any thread. The signals are emitted with
// the lock held, so receivers connected directly run inside the exchange. The client
// names its driver through a guard: a driver destroyed while the client still names it
// waits for the exchange in progress, and the client answers NotOpenError from then on.
class QVCORE_EXPORT ModbusClient : public QObject
{
    Q_OBJECT
public:
    explicit ModbusClient(QObject *parent = nullptr);
    ~ModbusClient() override;

    // Not owned; neither opened nor closed by setting it. Null is allowed; a driver that
    // has been destroyed reads as null.
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

    // Keeps the client's transport for a run of exchanges, so that no exchange of another
    // thread falls between them (the exchanges inside take it again). Holds nothing when
    // the client has no driver.
    class QVCORE_EXPORT TransportLock
    {
    public:
        explicit TransportLock(const ModbusClient *client);
        ~TransportLock();

    private:
        std::shared_ptr<DriverAnchor> m_anchor;
        DeviceDriver *m_driver;
        Q_DISABLE_COPY(TransportLock)
    };

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
