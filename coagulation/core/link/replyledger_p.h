#ifndef REPLYLEDGER_P_H
#define REPLYLEDGER_P_H

#include "modbusprotocol.h"

#include <QtCore/QByteArray>
#include <QtCore/QVector>

// What a line still owes: every request written on it whose reply has not come.
//
// The protocol numbers no requests. A reply names the module and the function that
// answer, never the request, so a reply that comes late, twice, or to a request nobody
// made looks like the answer to whatever was asked last. The line therefore keeps this
// ledger, and every exchange on it keeps one invariant:
//
//   A reply is taken only if it answers the request along its whole route, came after
//   a write of this very request (the first such frame after this attempt's write, or a
//   late reply to an earlier write of it), and cannot be the reply to an earlier
//   unanswered write that asked something else.
//
// The line is in one of two states:
//   clear  Nothing is owed. An exchange settles (drops whatever has arrived, one
//          non-blocking read), writes, reads, and judges the first frame.
//   owed   Writes await replies. Each is remembered with its time until its late-reply
//          bound passes (DeviceDriver::lateReplyTimeouts()). A complete frame with a
//          good checksum that answers one of them pays it and is dropped, wherever it
//          turns up: before a write or while another request's reply is read. Before a
//          request is written, the exchange settles: it waits, reading off and paying
//          what comes, while an owed write could be answered by the same frame as this
//          request (same route, function and reply length, other fields); any other
//          request is written at once. A request identical to an owed one is a retry: a
//          late reply to either answers it, also one that comes before the retry's write
//          (it is kept, and taken once the write has gone).
//
// Exchanges take turns: a request that one frame could answer as well as the request of
// an exchange under way that began before it is not written until that exchange is over,
// even where it could go at once (a retry), so that a stream of such writes cannot hold
// an exchange back without end, nor come between its attempts. An exchange that holds the
// line more than once (inside TransportLock, or started by a slot during another exchange)
// does not wait so: the others cannot go before it lets the line go. An exchange so waits at
// most one late-reply bound for the writes before it, after the exchanges that began
// before it and could be confused with it.
//
// A write is paid by the frame that answers it, taken or not. A gateway that answers
// "target did not respond" does not pay it: the target may still answer through the
// gateway, and only such a reply pays it then. Nor does an exception that another owed
// write could have sent as well: an exception carries no data, so the exchange takes it,
// and both writes stay owed to replies that are no exceptions. Owed writes stay owed when the line is
// closed and opened again (a serial line delivers their replies after a reopen too); what
// was learned of late replies starts afresh then.
//
// Late replies teach the line how late its replies come: learned only from frames that
// pay an owed write, bounded, and halved every minute. Kept and used under the driver's
// lock; times are the driver's lineTimeMs().
class ReplyLedger
{
public:
    // When the line was opened or closed since the last exchange, what was learned of late
    // replies starts afresh; the writes owed stay owed until their bound.
    void follow(quint64 lineGeneration);
    bool isClear() const { return m_owed.isEmpty(); }
    // The frame of owed write index, as written.
    const QByteArray &frameOf(int index) const { return m_owed.at(index).frame; }
    int owedCount() const { return m_owed.size(); }

    // frame: the request as written, CRC included; readTimeout: the line's read time-out
    // then, in ms.
    void recordWrite(const QByteArray &frame, int readTimeout, qint64 now);
    // Forgets owed writes past their bound. lateReplyTimeouts as the driver has it.
    void expire(qint64 now, int lateReplyTimeouts);
    // An exchange of request begins: its place among the exchanges under way, for
    // settleUntil() and endExchange().
    quint64 beginExchange(const QByteArray &request);
    void endExchange(quint64 place);
    // The time until which the request of the exchange at place must not be written (0:
    // it may go now): owed writes that one frame could answer as well as it, or a ledger
    // that is full; FarFuture while an exchange that began before it could be confused
    // with it, unless it may not wait for others (it holds the line more than once: the
    // others could not go meanwhile).
    qint64 settleUntil(quint64 place, bool mayWaitForOthers, int lateReplyTimeouts, qint64 now) const;
    static constexpr qint64 FarFuture = qint64(1) << 50;

    // The owed write that the complete frame at the start of bytes answers, and that
    // frame's length in *length; -1 when there is none. Writes identical to except are
    // passed over (their replies answer the request being read), and so are all writes
    // when the frame is an exception that answers except (see taken()).
    int findAnswered(const unsigned char *bytes, int size, const QByteArray *except, int *length) const;
    // Whether bytes could still grow into a frame that answers an owed write.
    bool couldBecomeAnswer(const unsigned char *bytes, int size, const QByteArray *except) const;
    // The reply (CRC included) was taken for request: pays the oldest write of it, unless
    // it is a gateway's "target did not respond" or an exception another owed write could
    // have sent, which leave that write owed to a reply that is no exception.
    void taken(const QByteArray &request, const unsigned char *reply, int size, qint64 now);
    // The frame (CRC included) that findAnswered() found for owed write index has come:
    // pays it, learning how late it came, unless the frame is a gateway's "target did not
    // respond", which leaves it owed to the target's own reply.
    void answered(int index, const unsigned char *frame, int size, qint64 now);
    // The bytes an attempt for request read and did not take: pays every owed write
    // answered by a frame found in them, or else request's own write when they are its
    // reply, damaged (the length asked for, its header).
    void notTaken(const QByteArray &request, const unsigned char *bytes, int size, qint64 now);

private:
    struct OwedWrite
    {
        QByteArray frame;       // CRC included
        qint64 writtenAt = 0;
        int readTimeout = 0;
        bool exceptionTaken = false; // only a reply that is no exception pays it now
    };

    void payFoundIn(const unsigned char *bytes, int size, qint64 now);
    void learnLateness(qint64 late, qint64 now);
    qint64 boundFor(const OwedWrite &write, int lateReplyTimeouts, qint64 now) const;
    int learnedLateMs(qint64 now) const;
    int frameAnswering(const OwedWrite &write, const unsigned char *bytes, int size) const;

    struct UnderWay
    {
        quint64 place;
        QByteArray frame; // CRC included
    };

    QVector<OwedWrite> m_owed; // oldest first
    QVector<UnderWay> m_underWay; // in the order they began
    quint64 m_nextPlace = 0;
    quint64 m_generation = 0;
    int m_learnedLateMs = 0;
    qint64 m_learnedAt = 0;
};

namespace Modbus {

// The longest frame the protocol has: 256 bytes, address and CRC included. The modules'
// replies carry at most 100 data bytes, route included; no reply is read past it.
enum : int { MaxReplyFrame = 256 };
// Address, function code and CRC: fewer bytes are no frame.
enum : int { MinFrameSize = FrameHeaderSize + CrcSize };

// Whether size bytes (MinFrameSize at least) end in the CRC of the bytes before it.
bool checksumHolds(const unsigned char *bytes, int size);

// Whether reply (without CRC) answers request (without CRC) along its whole route: the
// same address and function code at every level, the same interface type behind
// function 0x2B, and the fields a write confirms; an exception in place of a function
// code answers for the rest.
bool answersRequest(const unsigned char *request, int requestLength, const unsigned char *reply, int replyLength);

} // namespace Modbus

#endif // REPLYLEDGER_P_H
