#include "modbusclient.h"

#include "devicedriver.h"
#include "devicedriver_p.h"
#include "messagebuilder.h"
#include "modulestatus.h"
#include "qvlogging.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QMetaMethod>
#include <QtCore/QtDebug>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

using namespace Modbus;

namespace {

constexpr int DefaultAttempts = 5;
// Address and function code at least, so that byte 1 can be judged.
constexpr int MinRequestLength = FrameHeaderSize;
// Fewer bytes than address, function and CRC count as no reply at all.
constexpr int MinReplyLength = FrameHeaderSize + CrcSize;
constexpr int DefaultChannel = 0x10000003;
// However late replies have come on a line, an owed reply is not awaited longer than this
// after its request, and input before a write is dropped for this long after a reply was
// given up on.
constexpr int MaxLateReplyMs = 5000;
// The longest reply frame: 100 data bytes, route prefixes of up to 32 hops, header and CRC.
constexpr int MaxReplyFrame = 256;

qint64 nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int clampedWait(qint64 msecs)
{
    return int(std::clamp<qint64>(msecs, 0, std::numeric_limits<int>::max()));
}

// Whether a reply (without CRC) answers the request (without CRC): the same address and
// function code at every level of the route, the same MEI type behind function 0x2B.
// At any level an exception in place of the function code answers for the rest of the
// route: a gateway that could not deliver, or the target refusing.
bool answersRequest(const unsigned char *request, int requestLength, const unsigned char *reply, int replyLength)
{
    for (int at = 0; at + 1 < requestLength && at + 1 < replyLength; at += RouteTripletSize) {
        const unsigned char function = request[at + 1];
        if (reply[at] != request[at])
            return false;
        if (reply[at + 1] & ExceptionBit)
            return (reply[at + 1] & ~ExceptionBit) == function;
        if (reply[at + 1] != function)
            return false;
        if (function != EncapsulatedInterface)
            return true;
        if (at + 2 >= requestLength || at + 2 >= replyLength || reply[at + 2] != request[at + 2])
            return false;
        // Behind a route triplet the next module's address and reply follow.
        if (request[at + 2] != RouteMei)
            return true;
    }
    return false;
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

// The steps of one exchange on a driver that is locked and open: write (after reading
// off what the line still owes), read, judge. A reply that is not taken leaves its
// request owed by the line.
class ModbusExchange
{
public:
    ModbusExchange(DeviceDriver *driver, DeviceDriverPrivate *line, const QByteArray &frame, char *reply,
                   int capacity)
        : m_driver(driver)
        , m_line(line)
        , m_frame(frame)
        , m_frameBytes(reinterpret_cast<const unsigned char *>(frame.constData()))
        , m_reply(reply)
        , m_capacity(capacity)
    {
        // Routed, encapsulated and object requests pass through gateways: allow twice as
        // long for the first byte. Byte 1 of the frame, not of the request: the reply
        // may overwrite the request.
        const qint64 wait = qMax(0, driver->readTimeouts());
        m_firstWait = clampedWait(m_frameBytes[1] == EncapsulatedInterface ? 2 * wait : wait);
    }

    // NoError, WriteError when the line did not take the frame, NotOpenError when it failed.
    int write()
    {
        if (!settleOwedReply())
            return ModuleStatus::NotOpenError;
        m_writtenAt = nowMs();
        return m_driver->send(m_frame.constData(), m_frame.size()) ? int(ModuleStatus::NoError)
                                                                    : int(ModuleStatus::WriteError);
    }

    // Reads until the predicted length has come, the storage is full or the line stays
    // silent; returns the bytes received. lineFailed() tells whether the line broke off.
    int read()
    {
        const int interval = qMax(0, m_driver->readIntervalTimeouts());
        int received = 0;
        while (received < m_capacity) {
            const int count = m_driver->receive(m_reply + received, m_capacity - received,
                                                received == 0 ? m_firstWait : interval);
            m_lineFailed = count < 0;
            if (count <= 0)
                break;
            received += count;
            const int expected = Modbus::calculateReplyFrameSize(m_frameBytes, m_frame.size(), replyBytes(), received);
            if (expected > 0 && received >= expected)
                break;
        }
        return received;
    }

    bool lineFailed() const { return m_lineFailed; }

    // TimeoutError below 4 bytes; NoError for a reply with a good checksum that answers
    // the request along its whole route; InvalidReplyError otherwise.
    int judge(int received)
    {
        const unsigned char *reply = replyBytes();
        if (received >= MinReplyLength) {
            const unsigned short crc = (unsigned short)((reply[received - 2] << 8) | reply[received - 1]);
            if (crc16(reply, received - 2) == crc
                && answersRequest(m_frameBytes, m_frame.size() - 2, reply, received - 2))
                return ModuleStatus::NoError;
        }
        // Not taken: the rest of a reply cut short, or the whole reply when what came was
        // not it (it may have been an earlier request's), may still arrive.
        const int expected = Modbus::calculateReplyFrameSize(m_frameBytes, m_frame.size(), reply, received);
        const bool cutShort = received < MinReplyLength || expected > received;
        UnansweredRequest &owed = m_line->unanswered;
        owed.frame = m_frame;
        owed.received = cutShort ? QByteArray(m_reply, received) : QByteArray();
        owed.writtenAt = m_writtenAt;
        owed.firstWait = m_firstWait;
        return received < MinReplyLength ? ModuleStatus::TimeoutError : ModuleStatus::InvalidReplyError;
    }

private:
    const unsigned char *replyBytes() const { return reinterpret_cast<const unsigned char *>(m_reply); }

    // Before a write: the reply the line still owes may yet come. Read it off, waiting no
    // longer than its first wait again, or as late as replies have come on this line;
    // then drop whatever else has arrived. False when the line failed.
    bool settleOwedReply()
    {
        UnansweredRequest &owed = m_line->unanswered;
        if (owed.frame.isEmpty()) {
            if (m_line->waryUntil == 0)
                return true;
            if (nowMs() < m_line->waryUntil)
                return dropArrived();
            m_line->waryUntil = 0;
            m_line->givenUpAt = -1;
            return true;
        }
        const unsigned char *frame = reinterpret_cast<const unsigned char *>(owed.frame.constData());
        const qint64 deadline = owed.writtenAt + owed.firstWait + qMax(owed.firstWait, m_line->lateReplyMs);
        const int interval = qMax(0, m_driver->readIntervalTimeouts());
        char scratch[MaxReplyFrame];
        bool complete = false;
        while (!complete && owed.received.size() < MaxReplyFrame) {
            const unsigned char *got = reinterpret_cast<const unsigned char *>(owed.received.constData());
            const int expected = Modbus::calculateReplyFrameSize(frame, owed.frame.size(), got, owed.received.size());
            complete = expected > 0 && owed.received.size() >= expected;
            const qint64 left = deadline - nowMs();
            if (complete || left <= 0)
                break;
            // A reply of unknown length has ended when the line stays quiet after it.
            const bool openEnded = expected <= 0 && !owed.received.isEmpty();
            const int count = m_driver->receive(scratch, sizeof scratch,
                                                clampedWait(openEnded ? qMin<qint64>(left, interval) : left));
            if (count < 0)
                return false;
            complete = count == 0 && openEnded;
            if (count == 0)
                break;
            owed.received.append(scratch, count);
        }
        if (complete) {
            learnLateness(owed.writtenAt);
        } else {
            m_line->givenUpAt = owed.writtenAt;
            m_line->waryUntil = owed.writtenAt + MaxLateReplyMs;
        }
        m_line->unanswered = UnansweredRequest();
        return dropArrived();
    }

    // Drops what has arrived before a write. A reply given up on that turns up here
    // tells how late replies come on this line.
    bool dropArrived()
    {
        const int dropped = m_driver->discard();
        if (dropped > 0 && m_line->givenUpAt >= 0) {
            learnLateness(m_line->givenUpAt);
            m_line->givenUpAt = -1;
        }
        return dropped >= 0;
    }

    void learnLateness(qint64 writtenAt)
    {
        const int late = int(std::clamp<qint64>(nowMs() - writtenAt, 0, MaxLateReplyMs));
        m_line->lateReplyMs = qMax(m_line->lateReplyMs, late);
    }

    DeviceDriver *m_driver;
    DeviceDriverPrivate *m_line;
    const QByteArray &m_frame;
    const unsigned char *m_frameBytes;
    char *m_reply;
    int m_capacity;
    int m_firstWait = 0;
    qint64 m_writtenAt = 0;
    bool m_lineFailed = false;
};

ModbusClient::ModbusClient(QObject *parent)
    : QObject(parent)
    , d(new ModbusClientPrivate)
{
}

ModbusClient::~ModbusClient() = default;

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
    if (m_driver)
        m_driver->lockLine();
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
    const int channel = d->channel.load(std::memory_order_relaxed);
    const HeldDriver held(d->anchor());
    DeviceDriver *driver = held.get();
    if (!driver) {
        emit statusCodeChanged(ModuleStatus::NotOpenError, channel, QString());
        return ModuleStatus::NotOpenError;
    }
    const DeviceDriver::LineLocker locker(driver);
    if (!driver->isOpen()) {
        emit statusCodeChanged(ModuleStatus::NotOpenError, channel, driver->errorString());
        return ModuleStatus::NotOpenError;
    }
    if (!request || requestLength < MinRequestLength) {
        qCWarning(qvLink, "(ModbusClient::talk) Request of %d bytes is too short to send", request ? requestLength : 0);
        emit statusCodeChanged(ModuleStatus::WriteError, channel,
                               QCoreApplication::translate("ModbusClient", "Request too short"));
        emit messageRead(ModuleStatus::WriteError, QByteArray());
        return ModuleStatus::WriteError;
    }
    if (!reply || replyCapacity < 0)
        replyCapacity = 0;

    QByteArray frame;
    frame.reserve(ReservedFrameSize);
    frame.append(request, requestLength);
    const unsigned short crc = crc16(request, requestLength);
    frame.append(char(crc >> 8));
    frame.append(char(crc & 0xFF));

    // The one place an attempt's outcome is told: its status, then what was read.
    const bool reportReads = isSignalConnected(QMetaMethod::fromSignal(&ModbusClient::messageRead));
    const auto report = [&](int result, int received) {
        const bool lineFault = result == ModuleStatus::TimeoutError || result == ModuleStatus::WriteError
                               || result == ModuleStatus::NotOpenError;
        emit statusCodeChanged(result, channel, lineFault ? driver->errorString() : QString());
        emit messageRead(result, reportReads ? QByteArray(reply, received) : QByteArray());
    };

    ModbusExchange exchange(driver, driver->d.data(), frame, reply, replyCapacity);
    int result = ModuleStatus::TimeoutError;
    bool announce = true;
    const int attempts = d->attempts.load(std::memory_order_relaxed);
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (announce)
            emit messageWritten(frame);
        announce = true;
        result = exchange.write();
        if (result == ModuleStatus::WriteError) {
            qCWarning(qvTransport, "Could not write to serial port: %s [ %s]",
                      driver->errorString().toUtf8().constData(), frame.toHex().constData());
            driver->close();
            const bool reopened = driver->open();
            driver->publishDeviceState();
            if (!reopened)
                break;
            // The repeated write is one of the attempts, so a device that opens but
            // never accepts data cannot hold the exchange and the lock forever.
            announce = false;
            continue;
        }
        int received = 0;
        if (result == ModuleStatus::NoError) {
            received = exchange.read();
            result = exchange.lineFailed() ? int(ModuleStatus::NotOpenError) : exchange.judge(received);
        }
        report(result, received);
        if (result == ModuleStatus::NoError)
            return received - 2;
        if (result == ModuleStatus::NotOpenError)
            return result;
    }
    if (result == ModuleStatus::WriteError)
        report(result, 0);
    return result;
}
