#ifndef DEVICEDRIVER_P_H
#define DEVICEDRIVER_P_H

#include "devicedriver.h"
#include "posixline_p.h"

#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <QtCore/QUrl>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

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

// A request written on the line whose reply was not taken (it timed out, came short or
// did not match): that reply may still arrive, and must never be read as the answer to a
// later request. A late reply belongs to the line, whichever client asked, so it is kept
// here; the client reads and writes it under the driver's lock.
struct UnansweredRequest
{
    QByteArray frame;     // CRC included; empty when the line owes nothing
    QByteArray received;  // what of its reply has been read
    qint64 writtenAt = 0; // ms on the steady clock
    int firstWait = 0;    // ms the client waited for its first byte
};

class DeviceDriverPrivate
{
public:
    std::shared_ptr<DriverAnchor> anchor;
    std::atomic<int> writeTimeouts{ 100 };
    std::atomic<int> readTimeouts{ 100 };
    std::atomic<int> readIntervalTimeouts{ 50 };
    QIODevice *device = nullptr;
    PosixLine *line = nullptr;

    // Guarded by the driver's lock. The depth is atomic only so that a ThreadSanitizer
    // build, blind to Qt's recursive mutex, can read it before it is told of the lock.
    std::atomic<int> lockDepth{ 0 };
    int attachDepth = 0;
    bool movedOnAttach = false;
    UnansweredRequest unanswered;
    // How late after its request a reply has come on this line: the client waits this
    // long for an owed reply when it is longer than the first wait.
    int lateReplyMs = 0;
    // A reply given up on may come later still: until waryUntil, input found before a
    // write is dropped, and a reply found so tells how late replies come.
    qint64 givenUpAt = -1; // when the request of that reply was written
    qint64 waryUntil = 0;

    // What other threads see, under a small lock of its own.
    mutable std::mutex shownMutex;
    QUrl url;
    bool open = false;
    QString error;
    QString portName;
};

#endif // DEVICEDRIVER_P_H
