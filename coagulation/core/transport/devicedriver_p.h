#ifndef DEVICEDRIVER_P_H
#define DEVICEDRIVER_P_H

#include "devicedriver.h"
#include "lineturns_p.h"
#include "posixline_p.h"

#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <QtCore/QUrl>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

// Lets clients name a driver that another thread may destroy: a client holds the anchor,
// not the driver. While a client holds the driver through it, the driver's destruction
// waits; once destruction has begun, holding yields null.
class DriverAnchor
{
public:
    explicit DriverAnchor(DeviceDriver *driver) : m_driver(driver) {}

    // The driver, kept alive until release(); null when it is gone.
    DeviceDriver *hold();
    void release();
    // A snapshot, for showing; null when the driver is gone.
    DeviceDriver *driver() const;
    // Refuses further holds and returns once the current ones are released.
    void cut();

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_released;
    DeviceDriver *m_driver;
    int m_holds = 0;
};

class ReplyLedger;
namespace Modbus {
class LineWorker;
}

class DeviceDriverPrivate
{
public:
    DeviceDriverPrivate();
    ~DeviceDriverPrivate();

    std::shared_ptr<DriverAnchor> anchor;
    std::atomic<int> writeTimeouts{ 100 };
    std::atomic<int> readTimeouts{ 100 };
    std::atomic<int> readIntervalTimeouts{ 50 };
    std::atomic<int> lateReplyTimeouts{ -1 };
    QIODevice *device = nullptr;
    PosixLine *line = nullptr;

    // Guarded by the driver's lock. The depth is atomic only so that a ThreadSanitizer
    // build, blind to Qt's recursive mutex, can read it before it is told of the lock.
    std::atomic<int> lockDepth{ 0 };
    LineTurns turns;
    int attachDepth = 0;
    bool retired = false;
    // The last transfer failed because close() or destruction interrupted the line.
    bool interruptedTransfer = false;
    bool movedOnAttach = false;
    // Counts the times the line was opened or closed: what was written before is gone.
    quint64 lineGeneration = 0;
    // The link's memory of what this line still owes (made by the first exchange); it
    // belongs to the line, whichever client wrote.
    std::unique_ptr<ReplyLedger> ledger;
    // The line's worker for asynchronous requests, made by the first one.
    Modbus::LineWorker *worker();
    Modbus::LineWorker *existingWorker();
    std::unique_ptr<Modbus::LineWorker> takeWorker();
    std::mutex workerMutex;
    std::unique_ptr<Modbus::LineWorker> lineWorker;
    // The thread that closes the line on the driver's own account (a failed write, a
    // hang-up), while it does: that ends no queued asynchronous request.
    std::atomic<std::thread::id> closingInternally{};

    // What other threads see, under a small lock of its own.
    mutable std::mutex shownMutex;
    QUrl url;
    std::atomic<bool> open{ false };
    QString error;
    QString portName;
};

#endif // DEVICEDRIVER_P_H
