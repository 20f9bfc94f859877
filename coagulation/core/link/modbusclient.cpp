#include "modbusclient.h"

#include "devicedriver.h"
#include "devicedriver_p.h"
#include "messagebuilder.h"
#include "modulestatus.h"
#include "lineworker_p.h"
#include "qvlogging.h"
#include "replyledger_p.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QMetaMethod>
#include <QtCore/QScopeGuard>
#include <QtCore/QtDebug>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>

using namespace Modbus;

namespace {

constexpr int DefaultAttempts = 5;
// Address and function code at least, so that byte 1 can be judged.
constexpr int MinRequestLength = FrameHeaderSize;
constexpr int DefaultChannel = 0x10000003;
// Reads before a write that find more input without a wait: a peer that never pauses
// cannot hold the write back beyond these.
constexpr int MaxSettleReads = 16;
// A wait before a write lets other threads in at least this often.
constexpr int MinSettleSliceMs = 10;

int clampedWait(qint64 msecs)
{
    return int(std::clamp<qint64>(msecs, 0, std::numeric_limits<int>::max()));
}

QByteArray withCrc(const char *request, int length)
{
    QByteArray frame;
    frame.reserve(ReservedFrameSize);
    frame.append(request, length);
    const unsigned short crc = crc16(request, length);
    frame.append(char(crc >> 8));
    frame.append(char(crc & 0xFF));
    return frame;
}

// The length of the shortest frame at the start of bytes whose checksum holds (at most the
// longest frame), or 0.
int checkedFrameAt(const unsigned char *bytes, int size)
{
    for (int length = MinFrameSize; length <= qMin(size, int(MaxReplyFrame)); ++length) {
        if (checksumHolds(bytes, length))
            return length;
    }
    return 0;
}

// Whether the asynchronous request running on this thread was cancelled or has expired:
// a wait for the line's turn gives up then.
bool asyncStopAsked()
{
    return Modbus::asyncStopCode() != 0;
}

const char *discardText(ModbusClient::DiscardReason reason)
{
    switch (reason) {
    case ModbusClient::LateReply:
        return "late reply";
    case ModbusClient::UnaskedFrame:
        return "unasked frame";
    case ModbusClient::LineNoise:
        return "line noise";
    case ModbusClient::CutShort:
        return "reply cut short";
    }
    return "";
}

// Holds a client's driver for the length of an exchange: the driver's destruction waits.
class HeldDriver
{
public:
    explicit HeldDriver(std::shared_ptr<DriverAnchor> anchor)
        : m_anchor(std::move(anchor))
        , m_driver(m_anchor ? m_anchor->hold() : nullptr)
    {
    }
    ~HeldDriver()
    {
        if (m_driver)
            m_anchor->release();
    }
    DeviceDriver *get() const { return m_driver; }

private:
    std::shared_ptr<DriverAnchor> m_anchor;
    DeviceDriver *m_driver;
    Q_DISABLE_COPY(HeldDriver)
};

} // namespace

class ModbusClientPrivate
{
public:
    std::shared_ptr<DriverAnchor> anchor() const
    {
        std::lock_guard<std::mutex> lock(anchorMutex);
        return driverAnchor;
    }

    mutable std::mutex anchorMutex;
    std::shared_ptr<DriverAnchor> driverAnchor;
    std::atomic<int> channel{ DefaultChannel };
    std::atomic<int> attempts{ DefaultAttempts };
};

// The steps of one attempt on a driver that is locked and open: settle the line, write,
// read, judge. The line's ledger (ReplyLedger) holds the rule that keeps another
// request's reply from being taken.
class ModbusExchange
{
public:
    ModbusExchange(ModbusClient *client, DeviceDriver *driver, const QByteArray &frame, char *reply, int capacity)
        : m_client(client)
        , m_driver(driver)
        , m_frame(frame)
        , m_frameBytes(reinterpret_cast<const unsigned char *>(frame.constData()))
        , m_reply(reply)
        , m_capacity(capacity)
        , m_interval(qMax(0, driver->readIntervalTimeouts()))
    {
        DeviceDriverPrivate *d = driver->d.data();
        if (!d->ledger)
            d->ledger.reset(new ReplyLedger);
        m_ledger = d->ledger.get();
        m_ledger->follow(d->lineGeneration);
        m_place = m_ledger->beginExchange(frame);
        // Routed, encapsulated and object requests pass through gateways: allow twice as
        // long for the first byte. Byte 1 of the frame, not of the request: the reply
        // may overwrite the request.
        const qint64 wait = qMax(0, driver->readTimeouts());
        m_firstWait = clampedWait(m_frameBytes[1] == EncapsulatedInterface ? 2 * wait : wait);
    }

    // Before a write: drops what has arrived (paying the writes it answers), and waits
    // while an owed write could be answered by the same frame as this request, or an
    // exchange that began before this one could be confused with it. NoError;
    // NotOpenError when the line was closed under the exchange; WriteError when it failed
    // on its own (the other end hung up since the last exchange), which reopens it as a
    // failed write does; the stop an asynchronous request asked for while it waited.
    int settle()
    {
        const int lateTimeouts = m_driver->lateReplyTimeouts();
        m_size = 0;
        m_dropped = 0;
        dropKept();
        qint64 restBy = -1; // how long the rest of an owed reply that has begun is awaited
        for (int reads = 0;;) {
            const qint64 now = m_driver->lineTimeMs();
            m_ledger->expire(now, lateTimeouts);
            qint64 until = m_ledger->settleUntil(m_place, m_driver->canYieldLine(), lateTimeouts, now);
            // The start of an owed reply: wait for the rest of it rather than write into it.
            if (m_dropped > 0 && m_ledger->couldBecomeAnswer(bytes(m_scratch), m_dropped, nullptr)) {
                if (restBy < 0)
                    restBy = now + m_interval + m_driver->transferMs(MaxReplyFrame);
                until = qMax(until, restBy);
            }
            const qint64 wait = until - now;
            if (wait <= 0 && reads++ >= MaxSettleReads)
                break;
            if (m_dropped == int(sizeof m_scratch))
                sortDropped(true);
            // A long wait goes in slices, between which other threads' requests may use the line.
            const qint64 slice = qMin<qint64>(wait, qMax(m_interval, MinSettleSliceMs));
            const int count = m_driver->receive(m_scratch + m_dropped, int(sizeof m_scratch) - m_dropped, clampedWait(slice));
            if (count < 0) {
                // What came before the line failed is told all the same.
                sortDropped(true);
                dropKept();
                return m_driver->isInterrupted() ? ModuleStatus::NotOpenError : ModuleStatus::WriteError;
            }
            if (count == 0 && wait <= 0)
                break;
            m_dropped += count;
            sortDropped(false);
            if (wait > slice && m_dropped == 0 && m_driver->yieldLine() && !m_driver->isOpen())
                return ModuleStatus::NotOpenError;
            // Nothing is written yet: a cancelled or expired request ends here.
            if ((m_stop = Modbus::asyncStopCode())) {
                sortDropped(true);
                return m_stop;
            }
        }
        sortDropped(true);
        return ModuleStatus::NoError;
    }

    // NoError, WriteError when the line did not take the frame, NotOpenError when the line
    // was closed under the exchange.
    int write()
    {
        m_writtenAt = m_driver->lineTimeMs();
        if (!m_driver->send(m_frame.constData(), m_frame.size()))
            return m_driver->isInterrupted() ? int(ModuleStatus::NotOpenError) : int(ModuleStatus::WriteError);
        m_ledger->recordWrite(m_frame, qMax(0, m_driver->readTimeouts()), m_writtenAt);
        return ModuleStatus::NoError;
    }

    // Reads this attempt's reply: frames that answer another owed write are dropped as
    // they come; reading stops at the predicted length, when the line stays silent, at the
    // longest frame, or when the attempt's time is up. The bytes received.
    int read()
    {
        if (!m_kept.isEmpty()) {
            // The reply to an earlier write of this very request came before this write.
            m_size = qMin(m_kept.size(), int(sizeof m_buffer));
            std::memcpy(m_buffer, m_kept.constData(), size_t(m_size));
            m_kept.clear();
            return m_size;
        }
        const qint64 firstByteBy = m_writtenAt + m_firstWait;
        const qint64 attemptEnd = firstByteBy + m_interval + m_driver->transferMs(MaxReplyFrame);
        m_size = 0;
        m_lineFailed = false;
        for (;;) {
            const qint64 now = m_driver->lineTimeMs();
            const qint64 wait = m_size == 0 ? firstByteBy - now : qMin<qint64>(m_interval, attemptEnd - now);
            if (wait < 0)
                break;
            const int room = this->room();
            if (room <= 0)
                break;
            const int count = m_driver->receive(m_buffer + m_size, room, int(wait));
            m_lineFailed = count < 0;
            if (count <= 0)
                break;
            m_size += count;
            dropOwedFrames();
            if (replyEnded())
                break;
        }
        return m_size;
    }

    // A reply kept for this attempt that no read took (the write failed, or the exchange
    // ended first) is told as the late reply it is; requests that waited behind this
    // exchange may go.
    ~ModbusExchange()
    {
        dropKept();
        m_ledger->endExchange(m_place);
    }

    bool lineFailed() const { return m_lineFailed; }
    int size() const { return m_size; }
    // The stop (CanceledError, TimeoutError) that ended the settling, or 0.
    int stopped() const { return m_stop; }
    QByteArray received() const { return QByteArray(m_buffer, m_size); }

    // TimeoutError below 4 bytes; NoError for a reply with a good checksum that answers
    // the request along its whole route and fits the caller's storage; InvalidReplyError
    // otherwise. The reply is left in the caller's storage.
    int judge()
    {
        std::memcpy(m_reply, m_buffer, size_t(qMin(m_size, m_capacity)));
        const int result = verdict();
        const qint64 now = m_driver->lineTimeMs();
        if (result == ModuleStatus::NoError)
            m_ledger->taken(m_frame, bytes(m_buffer), m_size, now);
        else
            m_ledger->notTaken(m_frame, bytes(m_buffer), m_size, now);
        return result;
    }

private:
    static const unsigned char *bytes(const char *data) { return reinterpret_cast<const unsigned char *>(data); }

    int verdict() const
    {
        // Fewer bytes than a frame count as no reply at all.
        if (m_size < MinFrameSize)
            return ModuleStatus::TimeoutError;
        const unsigned char *reply = bytes(m_buffer);
        if (m_size <= m_capacity && checksumHolds(reply, m_size)
            && answersRequest(m_frameBytes, m_frame.size() - CrcSize, reply, m_size - CrcSize))
            return ModuleStatus::NoError;
        return ModuleStatus::InvalidReplyError;
    }

    // The reply has come (or cannot come whole any more): its predicted length has
    // arrived and what arrived is not the start of another owed reply, or the storage is
    // full. Bytes beyond the predicted length in the same read stay in the reply.
    bool replyEnded() const
    {
        const int expected = calculateReplyFrameSize(m_frameBytes, m_frame.size(), bytes(m_buffer), m_size);
        const bool full = m_size >= qMin(m_capacity, int(MaxReplyFrame));
        if (!(expected > 0 && m_size >= expected) && !full)
            return false;
        if (verdict() == ModuleStatus::NoError || m_size >= MaxReplyFrame)
            return true;
        return !m_ledger->couldBecomeAnswer(bytes(m_buffer), m_size, &m_frame);
    }

    // Bytes the next read may take: what the caller's storage has left, up to the longest
    // frame; more while what has come may be the start of another owed reply, which is
    // dropped when it is whole.
    int room() const
    {
        if (m_size > 0 && m_ledger->couldBecomeAnswer(bytes(m_buffer), m_size, &m_frame))
            return int(sizeof m_buffer) - m_size;
        return qMin(m_capacity, int(MaxReplyFrame)) - m_size;
    }

    // Drops the frames at the start of the reply that answer other owed writes.
    void dropOwedFrames()
    {
        int length = 0;
        int index;
        while ((index = m_ledger->findAnswered(bytes(m_buffer), m_size, &m_frame, &length)) >= 0) {
            m_ledger->answered(index, bytes(m_buffer), length, m_driver->lineTimeMs());
            discarded(QByteArray(m_buffer, length), ModbusClient::LateReply);
            std::memmove(m_buffer, m_buffer + length, size_t(m_size - length));
            m_size -= length;
        }
    }

    // Sorts the bytes read before a write: frames that answer owed writes pay them; the
    // rest is reported as what it is. Unless final, the start of an owed reply is kept
    // for its rest to come.
    void sortDropped(bool final)
    {
        int at = 0;
        while (at < m_dropped) {
            const unsigned char *rest = bytes(m_scratch) + at;
            const int left = m_dropped - at;
            int length = 0;
            const int index = m_ledger->findAnswered(rest, left, nullptr, &length);
            if (index >= 0 && m_kept.isEmpty() && m_ledger->frameOf(index) == m_frame) {
                // A late reply to an earlier write of this very request answers it: kept
                // for the attempt, which takes it once its own write has gone.
                m_kept = QByteArray(m_scratch + at, length);
                at += length;
                continue;
            }
            if (index >= 0) {
                m_ledger->answered(index, rest, length, m_driver->lineTimeMs());
                discarded(QByteArray(m_scratch + at, length), ModbusClient::LateReply);
                at += length;
                continue;
            }
            if (m_ledger->couldBecomeAnswer(rest, left, nullptr)) {
                if (!final)
                    break;
                discarded(QByteArray(m_scratch + at, left), ModbusClient::CutShort);
                at = m_dropped;
                break;
            }
            // A frame nobody asked for: the shortest stretch whose checksum holds. Else noise,
            // up to where an owed reply or such a frame may begin.
            if (const int frame = checkedFrameAt(rest, left)) {
                discarded(QByteArray(m_scratch + at, frame), ModbusClient::UnaskedFrame);
                at += frame;
                continue;
            }
            int end = at + 1;
            while (end < m_dropped && !m_ledger->couldBecomeAnswer(bytes(m_scratch) + end, m_dropped - end, nullptr)
                   && m_ledger->findAnswered(bytes(m_scratch) + end, m_dropped - end, nullptr, &length) < 0
                   && !checkedFrameAt(bytes(m_scratch) + end, m_dropped - end))
                ++end;
            discarded(QByteArray(m_scratch + at, end - at), ModbusClient::LineNoise);
            at = end;
        }
        std::memmove(m_scratch, m_scratch + at, size_t(m_dropped - at));
        m_dropped -= at;
    }

    void dropKept()
    {
        if (!m_kept.isEmpty())
            discarded(m_kept, ModbusClient::LateReply);
        m_kept.clear();
    }

    void discarded(const QByteArray &frame, ModbusClient::DiscardReason reason)
    {
        qCDebug(qvLink, "(ModbusClient) Not taken, %s: %s", discardText(reason), frame.toHex(' ').constData());
        emit m_client->frameDiscarded(frame, reason);
    }

    ModbusClient *m_client;
    DeviceDriver *m_driver;
    ReplyLedger *m_ledger = nullptr;
    const QByteArray &m_frame;
    const unsigned char *m_frameBytes;
    char *m_reply;
    int m_capacity;
    int m_interval;
    int m_firstWait = 0;
    qint64 m_writtenAt = 0;
    bool m_lineFailed = false;
    int m_stop = 0; // the stop an asynchronous request asked for while settling
    quint64 m_place = 0; // among the exchanges under way on the line
    // This attempt's reply; room for a late frame in front of it.
    char m_buffer[2 * MaxReplyFrame];
    int m_size = 0;
    // What was read before the write and not yet sorted.
    char m_scratch[2 * MaxReplyFrame];
    int m_dropped = 0;
    // A reply to an earlier write of this request, found before the write.
    QByteArray m_kept;
};

ModbusClient::ModbusClient(QObject *parent)
    : QObject(parent)
    , d(new ModbusClientPrivate)
{
    // For queued connections to frameDiscarded().
    qRegisterMetaType<ModbusClient::DiscardReason>("ModbusClient::DiscardReason");
}

ModbusClient::~ModbusClient()
{
    // Its queued asynchronous requests end now; one running finishes first.
    const HeldDriver held(d->anchor());
    if (DeviceDriver *driver = held.get()) {
        if (Modbus::LineWorker *worker = driver->d->existingWorker())
            worker->forget(this);
    }
}

bool ModbusClient::queueRequest(std::shared_ptr<Modbus::AsyncRequest> request)
{
    const HeldDriver held(d->anchor());
    DeviceDriver *driver = held.get();
    if (!driver)
        return false;
    driver->d->worker()->enqueue(std::move(request));
    return true;
}

void ModbusClient::setDriver(DeviceDriver *driver)
{
    std::shared_ptr<DriverAnchor> anchor = driver ? driver->d->anchor : nullptr;
    std::lock_guard<std::mutex> lock(d->anchorMutex);
    d->driverAnchor.swap(anchor);
}

DeviceDriver *ModbusClient::driver() const
{
    const std::shared_ptr<DriverAnchor> anchor = d->anchor();
    return anchor ? anchor->driver() : nullptr;
}

void ModbusClient::setStatusCodeChannel(int channel)
{
    d->channel.store(channel, std::memory_order_relaxed);
}

int ModbusClient::statusCodeChannel() const
{
    return d->channel.load(std::memory_order_relaxed);
}

void ModbusClient::setAttempts(int attempts)
{
    d->attempts.store(qMax(1, attempts), std::memory_order_relaxed);
}

int ModbusClient::attempts() const
{
    return d->attempts.load(std::memory_order_relaxed);
}

void ModbusClient::setStatusCode(int code, int channel, const QString &detail)
{
    emit statusCodeChanged(code, channel, detail);
}

ModbusClient::TransportLock::TransportLock(const ModbusClient *client)
    : m_anchor(client ? client->d->anchor() : nullptr)
    , m_driver(m_anchor ? m_anchor->hold() : nullptr)
{
    // An asynchronous request given up while it waits holds nothing; its exchanges
    // inside end at once.
    if (m_driver && !m_driver->lockLineUnless(asyncStopAsked)) {
        m_driver = nullptr;
        m_anchor->release();
    }
}

ModbusClient::TransportLock::~TransportLock()
{
    if (!m_driver)
        return;
    m_driver->unlockLine();
    m_anchor->release();
}

int ModbusClient::talk(MessageBuilder &builder)
{
    QByteArray &buffer = builder.buffer();
    // A buffer shared with a copy would detach in data() to its size alone, leaving no
    // room for the reply; reserve() detaches it with the full room instead.
    buffer.reserve(qMax(buffer.capacity(), int(ReservedFrameSize)));
    // The pointer before the capacity: data() may still detach, and the capacity must
    // describe the storage the reply is read into.
    char *storage = buffer.data();
    const int capacity = buffer.capacity();
    const int result = talk(storage, capacity, storage, buffer.size());
    buffer.resize(result > 0 ? result : 0);
    builder.seek(0);
    return result;
}

int ModbusClient::talk(char *reply, int replyCapacity, const char *request, int requestLength)
{
    const HeldDriver held(d->anchor());
    DeviceDriver *driver = held.get();
    if (!driver)
        return refuse(ModuleStatus::NotOpenError, QString());
    if (!driver->lockLineUnless(asyncStopAsked))
        return refuse(Modbus::asyncStopCode(), QString());
    const auto unlock = qScopeGuard([driver] { driver->unlockLine(); });
    if (!driver->isOpen())
        return refuse(ModuleStatus::NotOpenError, driver->errorString());
    if (!request || requestLength < MinRequestLength || requestLength > MaxReplyFrame - CrcSize)
        return refuseRequest(request ? requestLength : 0);

    const QByteArray frame = withCrc(request, requestLength);
    ModbusExchange exchange(this, driver, frame, reply, reply ? qMax(0, replyCapacity) : 0);
    int result = ModuleStatus::TimeoutError;
    bool announced = false; // this attempt's frame has been told by messageWritten()
    for (int attempt = 0, attempts = this->attempts(); attempt < attempts; ++attempt) {
        if (const int stop = Modbus::asyncStopCode())
            return refuse(stop, QString());
        result = exchange.settle();
        if (exchange.stopped())
            return refuse(exchange.stopped(), QString());
        // Told after the frames the settling reported, so that a trace keeps the line's
        // order. A write repeated after a reopen belongs to the attempt already announced.
        if (!announced)
            emit messageWritten(frame);
        announced = true;
        // Closed by a slot of that signal, or by another thread meanwhile: not reopened.
        if (result == ModuleStatus::NoError && !driver->isOpen())
            result = ModuleStatus::NotOpenError;
        if (result == ModuleStatus::NoError)
            result = exchange.write();
        if (result == ModuleStatus::WriteError) {
            if (reopen(driver, frame))
                continue;
            break;
        }
        announced = false;
        if (result == ModuleStatus::NoError) {
            exchange.read();
            result = exchange.lineFailed() ? int(ModuleStatus::NotOpenError) : exchange.judge();
        }
        report(driver, result, exchange);
        if (result == ModuleStatus::NoError)
            return exchange.size() - CrcSize;
        if (result == ModuleStatus::NotOpenError)
            return result;
    }
    if (result == ModuleStatus::WriteError)
        report(driver, result, exchange);
    return result;
}

int ModbusClient::refuse(int code, const QString &detail)
{
    emit statusCodeChanged(code, statusCodeChannel(), detail);
    return code;
}

int ModbusClient::refuseRequest(int length)
{
    const bool tooShort = length < MinRequestLength;
    qCWarning(qvLink, "(ModbusClient::talk) Request of %d bytes is too %s to send", length, tooShort ? "short" : "long");
    emit statusCodeChanged(ModuleStatus::WriteError, statusCodeChannel(),
                           tooShort ? QCoreApplication::translate("ModbusClient", "Request too short")
                                    : QCoreApplication::translate("ModbusClient", "Request too long"));
    emit messageRead(ModuleStatus::WriteError, QByteArray());
    return ModuleStatus::WriteError;
}

// After a failed write: closes and opens the driver again; false when it did not open.
// The repeated write counts as one of the attempts, so that a device that opens but never
// takes data cannot hold the exchange and the lock forever.
bool ModbusClient::reopen(DeviceDriver *driver, const QByteArray &frame)
{
    qCWarning(qvTransport, "Could not write to serial port: %s [ %s]", driver->errorString().toUtf8().constData(),
              frame.toHex().constData());
    // The line's own doing: asynchronous requests waiting for it stay queued.
    driver->d->closingInternally = std::this_thread::get_id();
    driver->close();
    driver->d->closingInternally = std::thread::id();
    const bool reopened = driver->open();
    driver->publishDeviceState();
    return reopened;
}

// The one place an attempt's outcome is told: its status, then what was read.
void ModbusClient::report(DeviceDriver *driver, int result, const ModbusExchange &exchange)
{
    const bool lineFault = result == ModuleStatus::TimeoutError || result == ModuleStatus::WriteError
                           || result == ModuleStatus::NotOpenError;
    emit statusCodeChanged(result, statusCodeChannel(), lineFault ? driver->errorString() : QString());
    const bool wanted = result != ModuleStatus::WriteError
                        && isSignalConnected(QMetaMethod::fromSignal(&ModbusClient::messageRead));
    emit messageRead(result, wanted ? exchange.received() : QByteArray());
}
