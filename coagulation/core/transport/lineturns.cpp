#include "lineturns_p.h"

#include <algorithm>
#include <chrono>

namespace {

// A turn whose holder has not got the driver's mutex for this long is waiting for someone
// who holds it outside the turns.
constexpr std::chrono::milliseconds StuckTurn(10);

} // namespace

bool LineTurns::acquire(DeviceDriverMutex *mutex, const std::function<bool()> &giveUp)
{
    const std::thread::id me = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_owner == me || m_bypass == me) {
        ++(m_owner == me ? m_depth : m_bypassDepth);
        lock.unlock();
        mutex->lock();
        return true;
    }
    if (m_owner == std::thread::id() && m_queue.empty()) {
        m_owner = me;
        m_depth = 1;
        // Mostly free: taken at once. Held outside the turns: waited for without this lock.
        if (mutex->tryLock()) {
            m_ownerHasMutex = true;
            return true;
        }
        lock.unlock();
        lockMutex(mutex);
        return true;
    }
    Waiter waiter;
    waiter.thread = me;
    m_queue.push_back(&waiter);
    while (!m_changed.wait_for(lock, StuckTurn, [&] { return waiter.granted; })) {
        // The turn ahead cannot get the mutex: if this thread holds it, go on with that.
        if (!m_ownerHasMutex && mutex->tryLock()) {
            m_queue.erase(std::find(m_queue.begin(), m_queue.end(), &waiter));
            m_bypass = me;
            m_bypassDepth = 1;
            return true;
        }
        if (giveUp && giveUp()) {
            m_queue.erase(std::find(m_queue.begin(), m_queue.end(), &waiter));
            return false;
        }
    }
    lock.unlock();
    lockMutex(mutex);
    return true;
}

void LineTurns::lockMutex(DeviceDriverMutex *mutex)
{
    mutex->lock();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ownerHasMutex = true;
}

void LineTurns::release(DeviceDriverMutex *mutex)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    mutex->unlock();
    if (m_bypass == std::this_thread::get_id()) {
        if (--m_bypassDepth == 0)
            m_bypass = std::thread::id();
        return;
    }
    if (--m_depth > 0)
        return;
    m_ownerHasMutex = false;
    if (m_queue.empty()) {
        m_owner = std::thread::id();
        return;
    }
    Waiter *next = m_queue.front();
    m_queue.pop_front();
    next->granted = true;
    m_owner = next->thread;
    m_depth = 1;
    m_changed.notify_all();
}

bool LineTurns::hasWaiters()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_queue.empty();
}
