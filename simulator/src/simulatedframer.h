#ifndef SIMULATEDFRAMER_H
#define SIMULATEDFRAMER_H

#include <QByteArray>

#include <functional>

// Cuts request frames out of a byte stream. A frame's end comes from its header where
// the function has a fixed or counted layout; otherwise (echo tests, pass-through and
// unknown functions) the frame ends where the bytes so far end with a valid checksum
// and the line then stays quiet. Bytes that cannot start a frame (an address nobody
// has, an impossible function code, a bad checksum) are dropped one at a time until a
// frame lines up again. The buffer never holds much more than one frame.
class SimulatedFramer
{
public:
    using AddressFilter = std::function<bool(quint8 address)>;

    // Only frames whose first byte passes the filter are taken (all when none is given).
    explicit SimulatedFramer(AddressFilter accepts = AddressFilter());

    void append(const char *data, int size);

    enum : int {
        NeedMore = 0,
        AwaitQuiet = -1  // the head may end here: call quiet() once the line stays quiet
    };
    // Length of the complete frame at data(), or NeedMore, or AwaitQuiet.
    int next();
    // The line stayed quiet: length of the frame at data() if it is complete, else the
    // head byte is given up on and NeedMore returned (call next() again).
    int quiet();

    const char *data() const { return m_buffer.constData() + m_head; }
    int size() const { return m_buffer.size() - m_head; }
    void consume(int count);
    void reset();
    qint64 discardedBytes() const { return m_discarded; }

private:
    void drop(int count);

    AddressFilter m_accepts;
    QByteArray m_buffer;
    int m_head = 0;
    qint64 m_discarded = 0;
};

#endif // SIMULATEDFRAMER_H
