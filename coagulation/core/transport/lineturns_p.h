#ifndef LINETURNS_P_H
#define LINETURNS_P_H

#include "devicedriver.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// Turns on a line, in the order they were asked for: whoever wants the line (an exchange,
// a run of exchanges, the device itself) queues, and the line passes to the head of the
// queue when its holder lets go. A thread that holds the line may take it again at once.
// The driver's own mutex is still taken inside each turn, so that code holding it directly
// (QMutexLocker on the driver) keeps the line to itself as before; and a thread that holds
// it so and asks for a turn while another thread's turn waits for that mutex goes on with
// the hold it has instead of waiting behind a turn that waits for it.
//
// So no caller waits longer than the turns queued before it: a thread that takes the line
// back to back (a poller) lets every other thread in between.
class LineTurns
{
public:
    // Takes a turn; false when giveUp, asked while the turn is awaited, said to give up
    // (the place in the queue is left then, and nothing is held).
    bool acquire(DeviceDriverMutex *mutex, const std::function<bool()> &giveUp = nullptr);
    void release(DeviceDriverMutex *mutex);
    // Whether anyone waits for a turn.
    bool hasWaiters();

private:
    struct Waiter
    {
        std::thread::id thread;
        bool granted = false;
    };

    void lockMutex(DeviceDriverMutex *mutex);

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Waiter *> m_queue;
    std::thread::id m_owner;
    int m_depth = 0;
    bool m_ownerHasMutex = false;
    // A thread that held the driver's mutex outside the turns and went on with it.
    std::thread::id m_bypass;
    int m_bypassDepth = 0;
};

#endif // LINETURNS_P_H
