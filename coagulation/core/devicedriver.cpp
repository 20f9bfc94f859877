#include "devicedriver.h"

#include "serialportdriver.h"
#include "socketdriver.h"

#include <QtCore/QAbstractEventDispatcher>
#include <QtCore/QEventLoop>
#include <QtCore/QIODevice>
#include <QtCore/QSocketNotifier>
#include <QtCore/QThread>

class DeviceDriverPrivate
{
public:
    QUrl url;
    int writeTimeouts = 100;
    int readTimeouts = 100;
    int readIntervalTimeouts = 50;

    QIODevice *device = nullptr;
    // Guarded by the driver's lock: how many DeviceLockers are alive on the locking
    // thread, and whether the outermost one moved the device to that thread.
    int attachDepth = 0;
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
    if (d->attachDepth++ > 0 || !d->device)
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
    if (--d->attachDepth > 0 || !d->device)
        return;
    if (d->movedOnAttach) {
        quietNotifiers(d->device);
        d->device->moveToThread(nullptr);
    }
    d->movedOnAttach = false;
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
