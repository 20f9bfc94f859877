#ifndef SIMULATEDFAULTPLAN_H
#define SIMULATEDFAULTPLAN_H

#include <QByteArray>
#include <mutex>
#include <QQueue>

#include <atomic>

// What goes wrong with one reply. Fields combine: a fault with both a delay and
// stale bytes sends the stale bytes and the reply after the delay.
struct SimulatedFault
{
    bool drop = false;           // send nothing at all
    bool corruptCrc = false;     // invert both checksum bytes
    int truncateTo = -1;         // send only the first bytes of the reply (-1: all)
    int extraItems = 0;          // reads answer this many bits, registers or records more
    QByteArray staleBytes;       // sent just before the reply
    int delayMs = 0;             // wait before the first byte
    int pieces = 1;              // cut the reply into pieces...
    int pieceDelayMs = 0;        // ...with this pause between them
    int hangUpAfter = -1;        // close the line after this many bytes of the reply (-1: never)
    bool misroute = false;       // the reply names another module at the end of its route

    void merge(const SimulatedFault &other);
    bool isNone() const;
};

// A queue of faults, one taken by each reply: adding "corrupt 1" then "drop 1" makes the
// next reply corrupt, the one after it silent, and the rest good. Thread-safe.
class SimulatedFaultPlan
{
public:
    SimulatedFaultPlan() = default;
    SimulatedFaultPlan(const SimulatedFaultPlan &) = delete;
    SimulatedFaultPlan &operator=(const SimulatedFaultPlan &) = delete;

    void add(const SimulatedFault &fault, int replies = 1);
    void dropReplies(int replies);
    void corruptCrc(int replies);
    void shortenReplies(int replies, int length = 3);
    void splitReplies(int replies, int pieces = 2, int pauseMs = 20);
    void sendStaleBytes(int replies, const QByteArray &bytes);
    void delayReplies(int replies, int delayMs);
    void extendReplies(int replies, int extraItems = 1);
    // The line is closed after the first afterBytes bytes of the reply (0: none at all).
    void hangUp(int replies, int afterBytes = 0);
    void misrouteReplies(int replies);

    void clear();
    int pending() const;  // replies still to be affected

    // Takes the fault of the next reply; false, leaving fault alone, when none is queued.
    bool take(SimulatedFault *fault);

private:
    struct Entry {
        SimulatedFault fault;
        int remaining;
    };
    mutable std::mutex m_mutex;
    QQueue<Entry> m_queue;
    std::atomic<int> m_pending{0};
};

#endif // SIMULATEDFAULTPLAN_H
