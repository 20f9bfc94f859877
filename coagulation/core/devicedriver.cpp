#include "devicedriver.h"

#include "serialportdriver.h"
#include "socketdriver.h"

#include <QtCore/QAbstractEventDispatcher>
#include <QtCore/QEventLoop>
#include <QtCore/QIODevice>
#include <QtCore/QSocketNotifier>
#include <QtCore/QThread>

#include <atomic>

// Qt's recursive mutex is not instrumented, so a ThreadSanitizer build is told when the
// outermost locker takes and releases it; otherwise these cost nothing.
#if defined(__SANITIZE_THREAD__)
extern "C" {
void AnnotateRWLockAcquired(const char *file, int line, const volatile void *lock, long isWrite);
void AnnotateRWLockReleased(const char *file, int line, const volatile void *lock, long isWrite);
}
#  define QV_LOCK_ACQUIRED(l) AnnotateRWLockAcquired(__FILE__, __LINE__, (l), 1)
#  define QV_LOCK_RELEASED(l) AnnotateRWLockReleased(__FILE__, __LINE__, (l), 1)
#else
#  define QV_LOCK_ACQUIRED(l) ((void)0)
#  define QV_LOCK_RELEASED(l) ((void)0)
#endif

class DeviceDriverPrivate
{
public:
    QUrl url;
    int writeTimeouts = 100;
    int readTimeouts = 100;
    int readIntervalTimeouts = 50;

    QIODevice *device = nullptr;
    // Guarded by the driver's lock: how many DeviceLockers are alive on the locking
    // thread, and whether the outermost one moved the device to that thread. The count
    // is atomic only so that a ThreadSanitizer build, blind to Qt's recursive mutex,
    // can read it before it is told of the lock.
    std::atomic<int> attachDepth{ 0 };
    bool movedOnAttach = false;
};

DeviceDriver::DeviceDriver(QObject *parent)
    : QObject(parent)
    , QMutex(QMutex::Recursive)
    , d(new DeviceDriverPrivate)
{
}

DeviceDriver::~DeviceDriver()
{
    if (!d->device)
        return;
    // Deleting the device runs its close-down on this thread; give it this thread first.
    if (!d->device->thread())
        d->device->moveToThread(QThread::currentThread());
    delete d->device;
}

void DeviceDriver::adoptDevice(QIODevice *device)
{
    Q_ASSERT(device && !device->parent() && !d->device);
    d->device = device;
    // At rest the device belongs to no thread, so that any thread may take it over.
    device->moveToThread(nullptr);
}

// A socket notifier that is enabled when its object changes threads disables itself
// and queues a call to enable it again on the new thread. No event loop runs the
// device's queue, neither at rest nor during an exchange (which uses blocking waits),
// so every hand-over would add one more call to a queue that travels with the device.
// Quieting the notifiers first leaves nothing to queue; the device enables them again
// itself when it next needs them.
static void quietNotifiers(QObject *device)
{
    const QList<QSocketNotifier *> notifiers = device->findChildren<QSocketNotifier *>();
    for (QSocketNotifier *notifier : notifiers)
        notifier->setEnabled(false);
}

void DeviceDriver::attachDevice()
{
    if (d->attachDepth.fetch_add(1, std::memory_order_relaxed) > 0)
        return;
    QV_LOCK_ACQUIRED(this);
    if (!d->device)
        return;
    QThread *here = QThread::currentThread();
    d->movedOnAttach = d->device->thread() != here;
    if (!d->movedOnAttach)
        return;
    // A thread not started by QThread has no event dispatcher until an event loop is
    // made on it; without one, the device's socket notifiers complain when created.
    if (!QAbstractEventDispatcher::instance(here))
        QEventLoop ensureDispatcher;
    d->device->moveToThread(here);
}

void DeviceDriver::detachDevice()
{
    if (d->attachDepth.fetch_sub(1, std::memory_order_relaxed) > 1)
        return;
    if (d->device && d->movedOnAttach) {
        quietNotifiers(d->device);
        d->device->moveToThread(nullptr);
    }
    d->movedOnAttach = false;
    QV_LOCK_RELEASED(this);
}

DeviceDriver::DeviceLocker::DeviceLocker(DeviceDriver *driver)
    : m_driver(driver)
{
    m_driver->lock();
    m_driver->attachDevice();
}

DeviceDriver::DeviceLocker::~DeviceLocker()
{
    m_driver->detachDevice();
    m_driver->unlock();
}

int DeviceDriver::writeTimeouts() const
{
    return d->writeTimeouts;
}

void DeviceDriver::setWriteTimeouts(int msecs)
{
    d->writeTimeouts = msecs;
}

int DeviceDriver::readTimeouts() const
{
    return d->readTimeouts;
}

void DeviceDriver::setReadTimeouts(int msecs)
{
    d->readTimeouts = msecs;
}

int DeviceDriver::readIntervalTimeouts() const
{
    return d->readIntervalTimeouts;
}

void DeviceDriver::setReadIntervalTimeouts(int msecs)
{
    d->readIntervalTimeouts = msecs;
}

QUrl DeviceDriver::url() const
{
    return d->url;
}

void DeviceDriver::setUrl(const QUrl &url)
{
    d->url = url;
}

QString DeviceDriver::errorString() const
{
    // The text is written by whichever thread drives the device; read it under the lock.
    DeviceDriver *self = const_cast<DeviceDriver *>(this);
    QMutexLocker locker(self);
    return d->device ? d->device->errorString() : QString();
}

DeviceDriver *DeviceDriver::create(const QUrl &url, QObject *parent)
{
    if (url.scheme() == QLatin1String("socks"))
        return new SocketDriver(parent);
    return new SerialPortDriver(parent);
}
