#include "simulatedframer.h"

#include "simulatorprotocol.h"

using namespace SimulatorProtocol;

SimulatedFramer::SimulatedFramer(AddressFilter accepts)
    : m_accepts(std::move(accepts))
{
    m_buffer.reserve(2 * MaxFrameSize);
}

void SimulatedFramer::append(const char *data, int size)
{
    if (m_head > 0 && m_head >= m_buffer.size() / 2) {
        m_buffer.remove(0, m_head);
        m_head = 0;
    }
    m_buffer.append(data, size);
}

void SimulatedFramer::consume(int count)
{
    m_head += qBound(0, count, size());
    if (m_head == m_buffer.size()) {
        m_buffer.resize(0);
        m_head = 0;
    }
}

void SimulatedFramer::drop(int count)
{
    m_discarded += qBound(0, count, size());
    consume(count);
}

void SimulatedFramer::reset()
{
    drop(size());
}

int SimulatedFramer::next()
{
    for (;;) {
        const quint8 *p = reinterpret_cast<const quint8 *>(data());
        const int available = size();
        if (available == 0)
            return NeedMore;
        if (m_accepts && !m_accepts(p[0])) {
            drop(1);
            continue;
        }
        const RequestLength length = requestLength(p, available);
        switch (length.kind) {
        case RequestLength::NeedMore:
            if (available >= MaxFrameSize) {
                drop(1);
                continue;
            }
            return NeedMore;
        case RequestLength::Invalid:
            drop(1);
            continue;
        case RequestLength::Fixed:
            if (length.length > MaxFrameSize) {
                drop(1);
                continue;
            }
            if (available < length.length)
                return NeedMore;
            if (crc16(p, length.length) == 0)
                return length.length;
            drop(1);  // bad checksum: look for a frame starting one byte later
            continue;
        case RequestLength::Open: {
            // The earliest prefix ending in a valid checksum; the whole buffer ending in
            // one is more likely a single frame that arrived in one piece.
            const int limit = qMin(available, int(MaxFrameSize));
            quint16 crc = 0xFFFF;
            int earliest = 0;
            for (int i = 0; i < limit; ++i) {
                crc = SimulatorProtocol::crc16(p + i, 1, crc);
                if (crc == 0 && i + 1 >= length.length && earliest == 0)
                    earliest = i + 1;
            }
            if (available <= MaxFrameSize && crc == 0 && available >= length.length)
                return AwaitQuiet;
            if (earliest > 0)
                return earliest;
            if (available >= MaxFrameSize) {
                drop(1);
                continue;
            }
            return AwaitQuiet;
        }
        }
    }
}

int SimulatedFramer::quiet()
{
    const quint8 *p = reinterpret_cast<const quint8 *>(data());
    const int available = size();
    if (available == 0)
        return NeedMore;
    const RequestLength length = requestLength(p, available);
    if (length.kind == RequestLength::Open && available >= length.length
        && available <= MaxFrameSize && crc16(p, available) == 0)
        return available;
    drop(1);
    return NeedMore;
}
