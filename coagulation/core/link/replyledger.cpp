#include "replyledger_p.h"

#include "messagebuilder.h"
#include "modbusprotocol.h"

#include <algorithm>
#include <cstring>

using namespace Modbus;

namespace {

// More owed writes than this and the next write waits for the oldest to pass its bound.
constexpr int MaxOwedWrites = 64;
// The automatic late-reply bound: this many read time-outs, at least MinAutomaticBoundMs (a
// line with no wait at all still has replies in flight), at most MaxAutomaticBoundMs.
constexpr int AutomaticBoundWaits = 16;
constexpr int MinAutomaticBoundMs = 1000;
constexpr int MaxAutomaticBoundMs = 10000;
// What was learned of late replies halves this often.
constexpr int LearnedHalfLifeMs = 60000;

// Replies that repeat fields of their request after the function code: how many bytes.
// A write confirms where and how much it wrote; a confirmation of another write is not
// this one's.
int echoedBytes(unsigned char function, int fieldsLength)
{
    switch (function) {
    case WriteSingleCoil:
    case WriteSingleRegister:
    case WriteMultipleCoils:
    case WriteMultipleRegisters:
        return 4; // address, and value or count
    case MaskWriteRegister:
        return 6; // address, AND mask, OR mask
    case WriteFileRecord:
        return fieldsLength; // the whole request
    default:
        return 0;
    }
}

bool isRouteLevel(const unsigned char *request, int length, int at)
{
    return at + 3 < length && request[at + 1] == EncapsulatedInterface && request[at + 2] == RouteMei;
}

// The bytes of a request that a reply repeats to say what it answers: the route, the
// function and, behind function 0x2B, the interface type, or the fields a write echoes.
int signatureLength(const unsigned char *request, int length)
{
    int at = 0;
    while (isRouteLevel(request, length, at))
        at += RouteTripletSize;
    if (at + 1 >= length)
        return length;
    const unsigned char function = request[at + 1];
    const int fields = length - at - FrameHeaderSize;
    const int end = at + FrameHeaderSize + (function == EncapsulatedInterface ? 1 : qMin(fields, echoedBytes(function, fields)));
    return qMin(end, length);
}

// Whether one reply (other than an exception) could answer both requests (CRC included):
// the same route and function, and reply lengths that are not both known and different.
bool couldShareAnswers(const QByteArray &a, const QByteArray &b)
{
    const auto *pa = reinterpret_cast<const unsigned char *>(a.constData());
    const auto *pb = reinterpret_cast<const unsigned char *>(b.constData());
    const int sa = signatureLength(pa, a.size() - CrcSize);
    if (sa != signatureLength(pb, b.size() - CrcSize) || std::memcmp(pa, pb, size_t(sa)) != 0)
        return false;
    const int ra = calculateReplyFrameSize(pa, a.size(), nullptr, 0);
    const int rb = calculateReplyFrameSize(pb, b.size(), nullptr, 0);
    return ra <= 0 || rb <= 0 || ra == rb;
}

// Whether a gateway on the route answered for it with an exception, and with which code.
int gatewayException(const unsigned char *request, int requestLength, const unsigned char *reply, int replyLength)
{
    for (int at = 0; isRouteLevel(request, requestLength, at) && at + 2 < replyLength; at += RouteTripletSize) {
        if (reply[at + 1] & ExceptionBit)
            return reply[at + 2];
    }
    return -1;
}

// Whether a reply (CRC included) to request (CRC included) is an exception, of a gateway
// on the route or of the target.
bool isException(const unsigned char *request, int requestLength, const unsigned char *reply, int replyLength)
{
    int at = 0;
    while (isRouteLevel(request, requestLength, at) && at + 1 < replyLength && !(reply[at + 1] & ExceptionBit))
        at += RouteTripletSize;
    return at + 1 < replyLength && (reply[at + 1] & ExceptionBit);
}

// Where decidingLevel() finds that bytes cannot answer request, or that they end before
// it can tell.
constexpr int Differs = -1;
constexpr int RanOut = -2;

// Walks bytes (a reply, or its start) along the route of request (without CRC), level by
// level: the offset of the level that answers, with the target's function (or its
// interface type behind function 0x2B) or with an exception for it; Differs where bytes
// name another module, function or interface; RanOut where they end first.
int decidingLevel(const unsigned char *request, int requestLength, const unsigned char *bytes, int size)
{
    for (int at = 0; at + 1 < requestLength; at += RouteTripletSize) {
        if (at < size && bytes[at] != request[at])
            return Differs;
        if (at + 1 >= size)
            return RanOut;
        const unsigned char function = request[at + 1];
        if (bytes[at + 1] & ExceptionBit)
            return (bytes[at + 1] & ~ExceptionBit) == function ? at : Differs;
        if (bytes[at + 1] != function)
            return Differs;
        if (function != EncapsulatedInterface)
            return at;
        if (at + 2 >= size)
            return RanOut;
        if (at + 2 >= requestLength || bytes[at + 2] != request[at + 2])
            return Differs;
        // Behind a route triplet the next module's address and reply follow.
        if (request[at + 2] != RouteMei)
            return at;
    }
    return Differs;
}

// Whether bytes could be the start of a reply to request (without CRC).
bool couldStartAnswer(const unsigned char *request, int requestLength, const unsigned char *bytes, int size)
{
    const int level = decidingLevel(request, requestLength, bytes, size);
    return level >= 0 || level == RanOut;
}

} // namespace

namespace Modbus {

bool checksumHolds(const unsigned char *bytes, int size)
{
    return size >= MinFrameSize && crc16(bytes, size - CrcSize) == ((bytes[size - 2] << 8) | bytes[size - 1]);
}

bool answersRequest(const unsigned char *request, int requestLength, const unsigned char *reply, int replyLength)
{
    const int at = decidingLevel(request, requestLength, reply, replyLength);
    if (at < 0)
        return false;
    if (reply[at + 1] & ExceptionBit)
        return true;
    // A write's confirmation repeats what it wrote.
    const int fields = requestLength - at - FrameHeaderSize;
    const int echoed = echoedBytes(request[at + 1], fields);
    return echoed <= 0
        || (echoed <= fields && at + FrameHeaderSize + echoed <= replyLength
            && std::memcmp(reply + at + FrameHeaderSize, request + at + FrameHeaderSize, size_t(echoed)) == 0);
}

} // namespace Modbus

void ReplyLedger::follow(quint64 lineGeneration)
{
    if (lineGeneration == m_generation)
        return;
    // The writes still owed stay owed: a serial line, or a converter that serves whichever
    // connection is newest, delivers their replies after a reopen too.
    m_generation = lineGeneration;
    m_learnedLateMs = 0;
}

void ReplyLedger::recordWrite(const QByteArray &frame, int readTimeout, qint64 now)
{
    OwedWrite write;
    write.frame = frame;
    write.writtenAt = now;
    write.readTimeout = readTimeout;
    m_owed.append(write);
}

int ReplyLedger::learnedLateMs(qint64 now) const
{
    const qint64 halvings = std::clamp<qint64>((now - m_learnedAt) / LearnedHalfLifeMs, 0, 31);
    return m_learnedLateMs >> halvings;
}

qint64 ReplyLedger::boundFor(const OwedWrite &write, int lateReplyTimeouts, qint64 now) const
{
    const qint64 base = lateReplyTimeouts >= 0
        ? qint64(lateReplyTimeouts)
        : std::clamp<qint64>(qint64(AutomaticBoundWaits) * write.readTimeout, MinAutomaticBoundMs, MaxAutomaticBoundMs);
    const qint64 learned = std::min<qint64>(2 * qint64(learnedLateMs(now)), MaxAutomaticBoundMs);
    return std::max(base, learned);
}

void ReplyLedger::expire(qint64 now, int lateReplyTimeouts)
{
    const auto past = [&](const OwedWrite &write) { return now - write.writtenAt >= boundFor(write, lateReplyTimeouts, now); };
    m_owed.erase(std::remove_if(m_owed.begin(), m_owed.end(), past), m_owed.end());
}

quint64 ReplyLedger::beginExchange(const QByteArray &request)
{
    m_underWay.append({ ++m_nextPlace, request });
    return m_nextPlace;
}

void ReplyLedger::endExchange(quint64 place)
{
    m_underWay.erase(std::remove_if(m_underWay.begin(), m_underWay.end(),
                                    [place](const UnderWay &s) { return s.place == place; }),
                     m_underWay.end());
}

qint64 ReplyLedger::settleUntil(quint64 place, bool mayWaitForOthers, int lateReplyTimeouts, qint64 now) const
{
    const auto mine = std::find_if(m_underWay.cbegin(), m_underWay.cend(),
                                   [place](const UnderWay &s) { return s.place == place; });
    if (mine == m_underWay.cend())
        return 0;
    const QByteArray &request = mine->frame;
    for (auto earlier = m_underWay.cbegin(); mayWaitForOthers && earlier != mine; ++earlier) {
        if (earlier->frame != request && couldShareAnswers(earlier->frame, request))
            return FarFuture;
    }
    qint64 until = 0;
    for (const OwedWrite &write : m_owed) {
        if (write.frame != request && couldShareAnswers(write.frame, request))
            until = std::max(until, write.writtenAt + boundFor(write, lateReplyTimeouts, now));
    }
    if (m_owed.size() >= MaxOwedWrites) {
        const OwedWrite &oldest = m_owed.first();
        until = std::max(until, oldest.writtenAt + boundFor(oldest, lateReplyTimeouts, now));
    }
    return until;
}

// The length of the complete frame at the start of bytes that answers write, or 0.
int ReplyLedger::frameAnswering(const OwedWrite &write, const unsigned char *bytes, int size) const
{
    const auto *request = reinterpret_cast<const unsigned char *>(write.frame.constData());
    const int requestLength = write.frame.size();
    if (size < MinFrameSize || bytes[0] != request[0])
        return 0;
    const auto answers = [&](int length) {
        return checksumHolds(bytes, length)
            && answersRequest(request, requestLength - CrcSize, bytes, length - CrcSize)
            && !(write.exceptionTaken && isException(request, requestLength, bytes, length));
    };
    const int expected = calculateReplyFrameSize(request, requestLength, bytes, size);
    if (expected > 0)
        return expected <= size && expected <= MaxReplyFrame && answers(expected) ? expected : 0;
    // A reply of unknown length: the shortest stretch whose checksum holds.
    for (int length = MinFrameSize; length <= qMin(size, int(MaxReplyFrame)); ++length) {
        if (answers(length))
            return length;
    }
    return 0;
}

int ReplyLedger::findAnswered(const unsigned char *bytes, int size, const QByteArray *except, int *length) const
{
    for (int i = 0; i < m_owed.size(); ++i) {
        if (except && m_owed.at(i).frame == *except)
            continue;
        if (const int found = frameAnswering(m_owed.at(i), bytes, size)) {
            if (except) {
                const auto *request = reinterpret_cast<const unsigned char *>(except->constData());
                if (isException(request, except->size(), bytes, found)
                    && answersRequest(request, except->size() - CrcSize, bytes, found - CrcSize))
                    return -1;
            }
            *length = found;
            return i;
        }
    }
    return -1;
}

bool ReplyLedger::couldBecomeAnswer(const unsigned char *bytes, int size, const QByteArray *except) const
{
    if (size <= 0 || size >= MaxReplyFrame)
        return false;
    for (const OwedWrite &write : m_owed) {
        if (except && write.frame == *except)
            continue;
        const auto *request = reinterpret_cast<const unsigned char *>(write.frame.constData());
        if (!couldStartAnswer(request, write.frame.size() - CrcSize, bytes, size))
            continue;
        const int expected = calculateReplyFrameSize(request, write.frame.size(), bytes, size);
        if (expected < 0 || size < expected)
            return true;
    }
    return false;
}

void ReplyLedger::taken(const QByteArray &request, const unsigned char *reply, int size, qint64 now)
{
    // The healthy line: this request's own write is all that is owed.
    if (m_owed.size() == 1 && m_owed.first().frame == request && !m_owed.first().exceptionTaken) {
        answered(0, reply, size, now);
        return;
    }
    const auto *frame = reinterpret_cast<const unsigned char *>(request.constData());
    // An exception carries no data, so it may be taken although another owed write could
    // have sent it; the write then stays owed to a reply that is no exception, and so does
    // the other.
    const bool exception = isException(frame, request.size(), reply, size);
    bool shared = false;
    for (const OwedWrite &other : qAsConst(m_owed))
        shared = shared || (exception && other.frame != request && frameAnswering(other, reply, size) == size);
    for (int i = 0; i < m_owed.size(); ++i) {
        OwedWrite &write = m_owed[i];
        if (write.frame != request || (exception && write.exceptionTaken))
            continue;
        if (shared)
            write.exceptionTaken = true;
        else
            answered(i, reply, size, now);
        return;
    }
}

void ReplyLedger::answered(int index, const unsigned char *reply, int size, qint64 now)
{
    OwedWrite &write = m_owed[index];
    const auto *request = reinterpret_cast<const unsigned char *>(write.frame.constData());
    if (gatewayException(request, write.frame.size(), reply, size) == GatewayTargetFailedToRespond) {
        write.exceptionTaken = true;
        return;
    }
    // Which of identical writes a reply answers cannot be told: it is taken to pay the
    // oldest, and to have come as early as the newest makes possible.
    qint64 newest = write.writtenAt;
    for (int i = index + 1; i < m_owed.size(); ++i) {
        if (m_owed.at(i).frame == write.frame)
            newest = std::max(newest, m_owed.at(i).writtenAt);
    }
    learnLateness(now - newest, now);
    m_owed.remove(index);
}

void ReplyLedger::learnLateness(qint64 late, qint64 now)
{
    const int bounded = int(std::clamp<qint64>(late, 0, MaxAutomaticBoundMs));
    if (bounded > learnedLateMs(now)) {
        m_learnedLateMs = bounded;
        m_learnedAt = now;
    }
}

void ReplyLedger::notTaken(const QByteArray &request, const unsigned char *bytes, int size, qint64 now)
{
    const int owedBefore = m_owed.size();
    payFoundIn(bytes, size, now);
    if (m_owed.size() != owedBefore)
        return;
    // A reply of exactly the length asked for, headed as the reply to request, that came
    // damaged: the module has answered. No other owed write can have sent it: one whose
    // reply may look so has been waited out before request was written.
    const auto *frame = reinterpret_cast<const unsigned char *>(request.constData());
    const int expected = calculateReplyFrameSize(frame, request.size(), bytes, size);
    if (expected <= 0 || size != expected || !couldStartAnswer(frame, request.size() - CrcSize, bytes, qMin(size, 3)))
        return;
    for (int i = 0; i < m_owed.size(); ++i) {
        if (m_owed.at(i).frame == request && !m_owed.at(i).exceptionTaken) {
            m_owed.remove(i);
            return;
        }
    }
}

void ReplyLedger::payFoundIn(const unsigned char *bytes, int size, qint64 now)
{
    for (int at = 0; at + MinFrameSize <= size && !m_owed.isEmpty();) {
        int length = 0;
        const int index = findAnswered(bytes + at, size - at, nullptr, &length);
        if (index < 0) {
            ++at;
            continue;
        }
        answered(index, bytes + at, length, now);
        at += length;
    }
}
