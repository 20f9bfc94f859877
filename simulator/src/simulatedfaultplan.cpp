#include "simulatedfaultplan.h"

#include <mutex>

void SimulatedFault::merge(const SimulatedFault &other)
{
    drop = drop || other.drop;
    corruptCrc = corruptCrc || other.corruptCrc;
    if (other.truncateTo >= 0)
        truncateTo = truncateTo >= 0 ? qMin(truncateTo, other.truncateTo) : other.truncateTo;
    extraItems += other.extraItems;
    staleBytes += other.staleBytes;
    delayMs += other.delayMs;
    if (other.pieces > pieces) {
        pieces = other.pieces;
        pieceDelayMs = other.pieceDelayMs;
    }
    if (other.hangUpAfter >= 0)
        hangUpAfter = hangUpAfter >= 0 ? qMin(hangUpAfter, other.hangUpAfter) : other.hangUpAfter;
    misroute = misroute || other.misroute;
}

bool SimulatedFault::isNone() const
{
    return !drop && !corruptCrc && truncateTo < 0 && extraItems == 0 && staleBytes.isEmpty()
        && delayMs <= 0 && pieces <= 1 && hangUpAfter < 0 && !misroute;
}

void SimulatedFaultPlan::add(const SimulatedFault &fault, int replies)
{
    if (replies <= 0)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.enqueue({fault, replies});
    m_pending += replies;
}

void SimulatedFaultPlan::dropReplies(int replies)
{
    SimulatedFault f;
    f.drop = true;
    add(f, replies);
}

void SimulatedFaultPlan::corruptCrc(int replies)
{
    SimulatedFault f;
    f.corruptCrc = true;
    add(f, replies);
}

void SimulatedFaultPlan::shortenReplies(int replies, int length)
{
    SimulatedFault f;
    f.truncateTo = qMax(0, length);
    add(f, replies);
}

void SimulatedFaultPlan::splitReplies(int replies, int pieces, int pauseMs)
{
    SimulatedFault f;
    f.pieces = qMax(1, pieces);
    f.pieceDelayMs = qMax(0, pauseMs);
    add(f, replies);
}

void SimulatedFaultPlan::sendStaleBytes(int replies, const QByteArray &bytes)
{
    SimulatedFault f;
    f.staleBytes = bytes;
    add(f, replies);
}

void SimulatedFaultPlan::delayReplies(int replies, int delayMs)
{
    SimulatedFault f;
    f.delayMs = qMax(0, delayMs);
    add(f, replies);
}

void SimulatedFaultPlan::extendReplies(int replies, int extraItems)
{
    SimulatedFault f;
    f.extraItems = qMax(0, extraItems);
    add(f, replies);
}

void SimulatedFaultPlan::hangUp(int replies, int afterBytes)
{
    SimulatedFault f;
    f.hangUpAfter = qMax(0, afterBytes);
    add(f, replies);
}

void SimulatedFaultPlan::misrouteReplies(int replies)
{
    SimulatedFault f;
    f.misroute = true;
    add(f, replies);
}

void SimulatedFaultPlan::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.clear();
    m_pending = 0;
}

int SimulatedFaultPlan::pending() const
{
    return m_pending.load(std::memory_order_relaxed);
}

bool SimulatedFaultPlan::take(SimulatedFault *fault)
{
    // Checked without the lock so that a link without faults costs one atomic load.
    if (m_pending.load(std::memory_order_acquire) == 0)
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queue.isEmpty())
        return false;
    Entry &head = m_queue.head();
    *fault = head.fault;
    if (--head.remaining == 0)
        m_queue.dequeue();
    --m_pending;
    return true;
}
