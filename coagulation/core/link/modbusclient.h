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

/**
 * \file modbusclient.h
 * \brief The exchange of a request and its reply on a line (ModbusClient).
 */

/**
 * Performs exchanges with the modules: adds the CRC to a request, writes the frame
 * through the driver, reads the reply until it is complete or the line falls silent,
 * checks it, and retries up to five times in all (setAttempts()). Results are the reply's
 * length without CRC (0 or more) or a negative Modbus::ModuleStatus::ErrorCode.
 *
 * A reply is taken only if it answers the request along its whole route (the address and
 * function code at every gateway level, where a gateway on the way may answer with an
 * exception of its own; the fields a write confirms), came after a write of this very
 * request, and cannot be the reply to an earlier unanswered write that asked something
 * else. The protocol numbers no requests, so the line remembers every write whose reply
 * has not come, for as long as a reply may still come (DeviceDriver::lateReplyTimeouts()).
 * Before every write what has arrived is dropped; a frame that answers a remembered write
 * is dropped wherever it turns up; a request that the same frame could answer as a
 * remembered one (same module, function and reply length) waits until that write is
 * answered or past its bound. Every frame read and not taken is reported by
 * frameDiscarded(). \ref wireformat_faulty tells the rule in full.
 *
 * An attempt lasts at most the write time-out, the first wait (readTimeouts(), doubled for
 * a routed request), one interval wait and the time the line needs for the longest frame
 * (256 bytes); no reply is read past 256 bytes.
 *
 * A line that fails while a reply is awaited (the peer hangs up, the port goes away, or
 * the driver is closed or destroyed by another thread) ends the exchange at once with
 * NotOpenError; the driver is then closed with the reason in its errorString(), and later
 * exchanges answer NotOpenError until the application opens it again. A failed write
 * closes and reopens the driver.
 *
 * An exchange blocks the calling thread, processes no events and holds the driver's
 * lock throughout (a wait before the write for an owed reply lets other threads' turns in
 * between its slices); exchanges may come from any thread, and each takes its turn on the
 * line in the order asked for (\ref threads_link). The signals are emitted with the lock
 * held, so receivers connected directly run inside the exchange. The client names its
 * driver through a guard: a driver destroyed while the client still names it ends the
 * exchange in progress and waits for it, and the client answers NotOpenError from then
 * on. The setters and getters are safe from any thread.
 */
class QVCORE_EXPORT ModbusClient : public QObject
{
    Q_OBJECT
public:
    /// Why bytes read off the line were not taken (frameDiscarded()).
    enum DiscardReason {
        LateReply,    ///< A complete frame answering an earlier request whose reply was not taken.
        UnaskedFrame, ///< A complete frame with a good checksum that answers nothing written.
        LineNoise,    ///< Bytes that form no frame.
        CutShort      ///< The start of a reply whose rest did not come.
    };
    Q_ENUM(DiscardReason)

    /// A client without a driver: its exchanges answer NotOpenError until setDriver().
    explicit ModbusClient(QObject *parent = nullptr);
    /**
     * Ends this client's asynchronous requests still queued with NotOpenError, cancels one
     * that is running, and blocks until it has ended, before its next attempt (at most the
     * attempt in progress).
     */
    ~ModbusClient() override;

    /**
     * Not owned; neither opened nor closed by setting it. Null is allowed; a driver that
     * has been destroyed reads as null. Several clients may share one driver.
     */
    void setDriver(DeviceDriver *driver);
    /// The driver set; null when none is set or it has been destroyed.
    DeviceDriver *driver() const;

    /// Passed unchanged as the channel of every statusCodeChanged(); 0x10000003 by default.
    void setStatusCodeChannel(int channel);
    /// The channel of statusCodeChanged().
    int statusCodeChannel() const;

    /// Attempts per exchange, the first included: 5 by default; values below 1 count as 1.
    void setAttempts(int attempts);
    /// Attempts per exchange, the first included.
    int attempts() const;

    /**
     * The exchange on a builder: its buffer is the request, and afterwards holds the
     * reply without CRC (or nothing after a failure) at position 0. The reply keeps its
     * route; Modbus::AbstractDeviceModule::talk() removes it. Returns as the raw talk()
     * does and blocks as it does.
     */
    int talk(MessageBuilder &builder);

    /**
     * Keeps the client's transport for a run of exchanges, so that no exchange of another
     * thread falls between them (the exchanges inside take it again). Holds nothing when
     * the client has no driver. Other threads' exchanges on the line wait while it is held,
     * so hold it only for a run of exchanges; it nests on one thread.
     */
    class QVCORE_EXPORT TransportLock
    {
    public:
        /// Takes the line of client's driver, waiting for the turns queued before it.
        explicit TransportLock(const ModbusClient *client);
        /// Lets the line go.
        ~TransportLock();

    private:
        std::shared_ptr<DriverAnchor> m_anchor;
        DeviceDriver *m_driver;
        Q_DISABLE_COPY(TransportLock)
    };

public Q_SLOTS:
    /**
     * One exchange. request holds address, route, function and fields without CRC;
     * the reply frame, CRC included, is read into reply, of which at most
     * replyCapacity bytes are used. reply and request may be the same memory.
     *
     * Returns the reply's length without CRC, or a negative Modbus::ModuleStatus::ErrorCode:
     * NotOpenError without a driver or on a closed or failing line, WriteError for a
     * request shorter than 2 or longer than 254 bytes (refused unsent) or one the line
     * would not take, TimeoutError when every attempt stayed without reply,
     * InvalidReplyError when the last attempt's reply was damaged, answered something else
     * or did not fit replyCapacity. A frame that answers the route and function is taken
     * whatever its length. Run for an asynchronous request, it ends before an attempt with
     * CanceledError or TimeoutError once the request is cancelled or past its deadline.
     *
     * Any thread. Blocks for the turns queued before it on the line, then for the
     * exchange's attempts, with the driver's lock held; processes no events.
     */
    virtual int talk(char *reply, int replyCapacity, const char *request, int requestLength);

Q_SIGNALS:
    /**
     * At the start of every attempt, right before its write: the outgoing frame, CRC
     * included. The frames read off the line before the write have been reported by then
     * (frameDiscarded()), so the signals come in the order of the line.
     */
    void messageWritten(QByteArray msg);
    /**
     * At the end of every attempt: its result code (as talk() returns it) and the bytes
     * received (empty when no receiver is connected, and after a WriteError).
     */
    void messageRead(int status, QByteArray msg);
    /**
     * With every outcome, refusals included. detail is the driver's error text for a
     * time-out, a failed write or a closed line, the reason for a request refused unsent,
     * and empty otherwise.
     */
    void statusCodeChanged(int code, int channel, QString detail);
    /**
     * Bytes read off the line that no attempt took: before a write, or while a reply was
     * read (a late reply to another request), one frame or stretch of noise at a time,
     * with the reason. The bytes of an attempt that failed are in its messageRead() instead.
     */
    void frameDiscarded(QByteArray bytes, ModbusClient::DiscardReason reason);

protected:
    /// Emits statusCodeChanged(), for a subclass that overrides talk().
    void setStatusCode(int code, int channel, const QString &detail);

private:
    friend class ModbusExchange;
    friend class Modbus::AsyncRequest;
    // Queues an asynchronous request on the line of this client's driver; false when
    // there is no driver.
    bool queueRequest(std::shared_ptr<Modbus::AsyncRequest> request);
    int refuse(int code, const QString &detail);
    int refuseRequest(int length);
    bool reopen(DeviceDriver *driver, const QByteArray &frame);
    void report(DeviceDriver *driver, int result, const ModbusExchange &exchange);

    QScopedPointer<ModbusClientPrivate> d;
    Q_DISABLE_COPY(ModbusClient)
};

#endif // MODBUSCLIENT_H
