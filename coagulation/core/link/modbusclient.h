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
class ModbusExchange;
namespace Modbus {
class AsyncRequest;
}

// Performs exchanges with the modules: adds the CRC to a request, writes the frame
// through the driver, reads the reply until it is complete or the line falls silent,
// checks it, and retries up to five times in all (setAttempts()). Results are the reply's length
// without CRC (0 or more) or a negative Modbus::ModuleStatus::ErrorCode.
//
// A reply is taken only if it answers the request along its whole route (the address and
// function code at every gateway level, where a gateway on the way may answer with an
// exception of its own; the fields a write confirms), came after a write of this very
// request, and cannot be the reply to an earlier unanswered write that asked something else. The
// protocol numbers no requests, so the line remembers every write whose reply has not
// come, for as long as a reply may still come (DeviceDriver::lateReplyTimeouts()). Before
// every write what has arrived is dropped; a frame that answers a remembered write is
// dropped wherever it turns up; a request that the same frame could answer as a remembered
// one (same module, function and reply length) waits until that write is answered or past
// its bound. Every frame read and not taken is reported by frameDiscarded().
//
// An attempt lasts at most the write time-out, the first wait (readTimeouts(), doubled for
// a routed request), one interval wait and the time the line needs for the longest frame
// (256 bytes); no reply is read past 256 bytes.
//
// A line that fails while a reply is awaited (the peer hangs up, the port goes away, or
// the driver is closed or destroyed by another thread) ends the exchange at once with
// NotOpenError; the driver is then closed with the reason in its errorString(), and later
// exchanges answer NotOpenError until the application opens it again. A failed write
// closes and reopens the driver.
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
    // Why bytes read off the line were not taken.
    enum DiscardReason {
        LateReply,    // a complete frame answering an earlier request whose reply was not taken
        UnaskedFrame, // a complete frame with a good checksum that answers nothing written
        LineNoise,    // bytes that form no frame
        CutShort      // the start of a reply whose rest did not come
    };
    Q_ENUM(DiscardReason)

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
    // At the start of every attempt, right before its write: the outgoing frame, CRC
    // included. The frames read off the line before the write have been reported by then
    // (frameDiscarded()), so the signals come in the order of the line.
    void messageWritten(QByteArray msg);
    // At the end of every attempt: its result code and the bytes received.
    void messageRead(int status, QByteArray msg);
    // With every outcome; detail is the driver's error text for transport failures.
    void statusCodeChanged(int code, int channel, QString detail);
    // Bytes read off the line that no attempt took: before a write, or while a reply was
    // read (a late reply to another request). The bytes of an attempt that failed are in
    // its messageRead() instead.
    void frameDiscarded(QByteArray bytes, ModbusClient::DiscardReason reason);

protected:
    void setStatusCode(int code, int channel, const QString &detail);

private:
    friend class ModbusExchange;
    friend class Modbus::AsyncRequest;
    // Queues an asynchronous request on the line of this client's driver; false when
    // there is no driver.
    bool queueRequest(std::shared_ptr<Modbus::AsyncRequest> request);
    int refuse(int code, const QString &detail);
    int refuseShortRequest(int length);
    bool reopen(DeviceDriver *driver, const QByteArray &frame);
    void report(DeviceDriver *driver, int result, const ModbusExchange &exchange);

    QScopedPointer<ModbusClientPrivate> d;
    Q_DISABLE_COPY(ModbusClient)
};

#endif // MODBUSCLIENT_H
