#include "devicedriver.h"
#include "devicedriver_p.h"

#include "lineworker_p.h"
#include "qvprivate_p.h"
#include "replyledger_p.h"
#include "serialportdriver.h"
#include "socketdriver.h"

#include <QtCore/QAbstractEventDispatcher>
#include <QtCore/QBuffer>
#include <QtCore/QCoreApplication>
#include <QtCore/QEventLoop>
#include <QtCore/QIODevice>
#include <QtCore/QSocketNotifier>
#include <QtCore/QThread>

DeviceDriverPrivate::DeviceDriverPrivate() = default;
DeviceDriverPrivate::~DeviceDriverPrivate() = default;

Modbus::LineWorker *DeviceDriverPrivate::worker()
{
    std::lock_guard<std::mutex> lock(workerMutex);
    if (!lineWorker)
        lineWorker.reset(new Modbus::LineWorker);
    return lineWorker.get();
}

Modbus::LineWorker *DeviceDriverPrivate::existingWorker()
{
    std::lock_guard<std::mutex> lock(workerMutex);
    return lineWorker.get();
}

std::unique_ptr<Modbus::LineWorker> DeviceDriverPrivate::takeWorker()
{
    std::lock_guard<std::mutex> lock(workerMutex);
    return std::move(lineWorker);
}

DeviceDriver *DriverAnchor::hold()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_driver)
        ++m_holds;
    return m_driver;
}

void DriverAnchor::release()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // Only a destruction in progress waits for the last hold.
    if (--m_holds == 0 && !m_driver)
        m_released.notify_all();
}

DeviceDriver *DriverAnchor::driver() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_driver;
}

void DriverAnchor::cut()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_driver = nullptr;
    m_released.wait(lock, [this] { return m_holds == 0; });
}

DeviceDriver::DeviceDriver(QObject *parent)
    : QObject(parent)
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    , QMutex(QMutex::Recursive)
#endif
    , d(new DeviceDriverPrivate)
{
    d->anchor = std::make_shared<DriverAnchor>(this);
}

DeviceDriver::~DeviceDriver()
{
    retire();
    if (!d->device)
        return;
    // Deleting the device runs its close-down on this thread; give it this thread first.
    if (!d->device->thread())
        d->device->moveToThread(QThread::currentThread());
    delete d->device;
}

void DeviceDriver::retire()
{
    // Once: the base destructor calls it again after the concrete driver's line is gone.
    if (d->retired)
        return;
    // An exchange or a connect waiting on the line ends at once instead of being waited for.
    interruptLine();
    d->anchor->cut();
    // The worker's last request has ended with the line; it stops.
    d->takeWorker().reset();
    // Whoever holds the lock without a client (a run of exchanges, a reopen) finishes too.
    LineLocker locker(this);
    d->retired = true;
    d->line = nullptr;
}

void DeviceDriver::adoptDevice(QIODevice *device)
{
    Q_ASSERT(device && !device->parent() && !d->device);
    d->device = device;
    // At rest the device belongs to no thread, so that any thread may take it over.
    device->moveToThread(nullptr);
    publishDeviceState();
}

void DeviceDriver::useLine(PosixLine *line)
{
    d->line = line;
}

void DeviceDriver::interruptLine()
{
    if (d->line)
        d->line->interrupt();
    if (d->closingInternally.load() == std::this_thread::get_id())
        return;
    // Closed by the application: every asynchronous request still queued ends now.
    if (Modbus::LineWorker *worker = d->existingWorker())
        worker->failQueued();
}

qint64 DeviceDriver::lineTimeMs() const
{
    return QvPrivate::steadyMs();
}

bool DeviceDriver::isInterrupted() const
{
    return d->interruptedTransfer;
}

int DeviceDriver::transferMs(int bytes) const
{
    return d->line ? d->line->transferMs(bytes) : 0;
}

// A socket notifier that is enabled when its object changes threads disables itself
// and queues a call to enable it again on the new thread. No event loop runs the
// device's queue, neither at rest nor during an exchange (which works on the
// descriptor), so every hand-over would add one more call to a queue that travels with
// the device. Quieting the notifiers first leaves nothing to queue, and no notifier
// reads the descriptor behind an exchange's back.
static void quietNotifiers(QObject *device)
{
    const QList<QSocketNotifier *> notifiers = device->findChildren<QSocketNotifier *>();
    for (QSocketNotifier *notifier : notifiers)
        notifier->setEnabled(false);
}

void DeviceDriver::lockLine()
{
    lockLineUnless(nullptr);
}

bool DeviceDriver::lockLineUnless(const std::function<bool()> &giveUp)
{
    if (!d->turns.acquire(this, giveUp))
        return false;
    // Qt's recursive mutex is not instrumented: ThreadSanitizer is told when the
    // outermost locker takes and releases it.
    if (d->lockDepth.fetch_add(1, std::memory_order_relaxed) == 0)
        QV_RWLOCK_ACQUIRED(this, 1);
    return true;
}

void DeviceDriver::unlockLine()
{
    if (d->lockDepth.fetch_sub(1, std::memory_order_relaxed) == 1)
        QV_RWLOCK_RELEASED(this, 1);
    d->turns.release(this);
}

bool DeviceDriver::canYieldLine() const
{
    return d->lockDepth.load(std::memory_order_relaxed) == 1 && d->attachDepth == 0;
}

bool DeviceDriver::yieldLine()
{
    if (!canYieldLine() || !d->turns.hasWaiters())
        return false;
    unlockLine();
    lockLine();
    return true;
}

void DeviceDriver::attachDevice()
{
    if (d->attachDepth++ > 0)
        return;
    if (d->line)
        d->line->setLentToQt(true);
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
    if (--d->attachDepth > 0)
        return;
    if (d->line)
        d->line->setLentToQt(false);
    if (d->device && d->movedOnAttach) {
        quietNotifiers(d->device);
        d->device->moveToThread(nullptr);
    }
    d->movedOnAttach = false;
}

DeviceDriver::LineLocker::LineLocker(DeviceDriver *driver)
    : m_driver(driver)
{
    m_driver->lockLine();
}

DeviceDriver::LineLocker::~LineLocker()
{
    m_driver->unlockLine();
}

DeviceDriver::Hold::Hold(DeviceDriver *driver)
    : m_anchor(driver->d->anchor)
    , m_driver(m_anchor->hold())
{
}

DeviceDriver::Hold::~Hold()
{
    if (m_driver)
        m_anchor->release();
}

DeviceDriver::DeviceLocker::DeviceLocker(DeviceDriver *driver)
    : m_driver(driver)
{
    m_driver->lockLine();
    m_driver->attachDevice();
}

DeviceDriver::DeviceLocker::~DeviceLocker()
{
    m_driver->detachDevice();
    m_driver->unlockLine();
}

int DeviceDriver::writeTimeouts() const
{
    return d->writeTimeouts.load(std::memory_order_relaxed);
}

void DeviceDriver::setWriteTimeouts(int msecs)
{
    d->writeTimeouts.store(msecs, std::memory_order_relaxed);
}

int DeviceDriver::readTimeouts() const
{
    return d->readTimeouts.load(std::memory_order_relaxed);
}

void DeviceDriver::setReadTimeouts(int msecs)
{
    d->readTimeouts.store(msecs, std::memory_order_relaxed);
}

int DeviceDriver::readIntervalTimeouts() const
{
    return d->readIntervalTimeouts.load(std::memory_order_relaxed);
}

void DeviceDriver::setReadIntervalTimeouts(int msecs)
{
    d->readIntervalTimeouts.store(msecs, std::memory_order_relaxed);
}

int DeviceDriver::lateReplyTimeouts() const
{
    return d->lateReplyTimeouts.load(std::memory_order_relaxed);
}

void DeviceDriver::setLateReplyTimeouts(int msecs)
{
    d->lateReplyTimeouts.store(msecs, std::memory_order_relaxed);
}

QUrl DeviceDriver::url() const
{
    std::lock_guard<std::mutex> lock(d->shownMutex);
    return d->url;
}

void DeviceDriver::setUrl(const QUrl &url)
{
    std::lock_guard<std::mutex> lock(d->shownMutex);
    d->url = url;
}

QString DeviceDriver::errorString() const
{
    std::lock_guard<std::mutex> lock(d->shownMutex);
    return d->error;
}

void DeviceDriver::publishDeviceState()
{
    QIODevice *dev = d->device ? d->device : device();
    const bool open = dev->isOpen();
    // Qt's devices say "Unknown error" when nothing failed (a driver never opened, or
    // closed): no reason is told then.
    QString error = open ? QString() : dev->errorString();
    if (error == QBuffer().errorString())
        error.clear();
    {
        std::lock_guard<std::mutex> lock(d->shownMutex);
        d->open = open;
        d->error = error;
    }
    // The link's ledger learns of late replies afresh on a line opened or closed.
    ++d->lineGeneration;
}

void DeviceDriver::publishError(const QString &text)
{
    std::lock_guard<std::mutex> lock(d->shownMutex);
    if (d->error != text)
        d->error = text;
}

void DeviceDriver::publishPortName(const QString &name)
{
    std::lock_guard<std::mutex> lock(d->shownMutex);
    d->portName = name;
}

bool DeviceDriver::publishedOpen() const
{
    return d->open.load(std::memory_order_acquire);
}

QString DeviceDriver::publishedPortName() const
{
    std::lock_guard<std::mutex> lock(d->shownMutex);
    return d->portName;
}

void DeviceDriver::failLine(const QString &reason)
{
    LineLocker locker(this);
    d->closingInternally = std::this_thread::get_id();
    close();
    d->closingInternally = std::thread::id();
    publishDeviceState();
    publishError(reason);
}

// A transfer goes to the descriptor directly when the driver has attached its line and,
// for reading, Qt's own buffer holds nothing a caller left there (reading through
// device()); those bytes come first, so the defaults through device() read them.
static PosixLine *attachedLine(const DeviceDriverPrivate *d, bool reading)
{
    PosixLine *line = d->line;
    if (!line || !line->isAttached())
        return nullptr;
    if (reading && d->device && d->device->QIODevice::bytesAvailable() > 0)
        return nullptr;
    return line;
}

// Why a line failed in a transfer: it was closed or destroyed under the exchange, the
// other end closed it, or the system's reason.
static QString lineFailure(const PosixLine &line)
{
    if (line.isInterrupted())
        return QCoreApplication::translate("DeviceDriver", "The line was closed during the exchange");
    if (!line.closedByPeer())
        return line.errorText();
    return line.kind() == PosixLine::Socket
        ? QCoreApplication::translate("SocketDriver", "The remote host closed the connection")
        : QCoreApplication::translate("DeviceDriver", "The line was closed at the other end");
}

bool DeviceDriver::send(const char *data, int size)
{
    d->interruptedTransfer = false;
    if (PosixLine *line = attachedLine(d.data(), false)) {
        if (line->send(data, size, writeTimeouts()))
            return true;
        d->interruptedTransfer = line->isInterrupted();
        if (d->interruptedTransfer)
            failLine(lineFailure(*line));
        else
            publishError(line->errorText());
        return false;
    }
    DeviceLocker locker(this);
    QIODevice *dev = device();
    const bool sent = dev->isOpen() && dev->write(data, size) == size
                      && dev->waitForBytesWritten(qMax(0, writeTimeouts()));
    if (!sent)
        publishError(dev->errorString());
    return sent;
}

int DeviceDriver::receive(char *buffer, int capacity, int msecs)
{
    d->interruptedTransfer = false;
    if (PosixLine *line = attachedLine(d.data(), true)) {
        const int count = line->receive(buffer, capacity, msecs);
        if (count < 0) {
            d->interruptedTransfer = line->isInterrupted();
            failLine(lineFailure(*line));
        } else if (count == 0 && msecs > 0) {
            publishError(QCoreApplication::translate("DeviceDriver", "Operation timed out"));
        }
        return count;
    }
    DeviceLocker locker(this);
    QIODevice *dev = device();
    if (!dev->isOpen())
        return -1;
    if (capacity <= 0)
        return 0;
    if (dev->bytesAvailable() <= 0 && !dev->waitForReadyRead(qMax(0, msecs))) {
        // A device that failed while waiting may have closed itself.
        if (!dev->isOpen()) {
            publishDeviceState();
            return -1;
        }
        return 0;
    }
    const qint64 count = dev->read(buffer, capacity);
    if (count > 0)
        return int(count);
    // Ready to read and nothing to read: the stream has ended. Waiting again would
    // return at once for ever.
    failLine(count < 0 ? dev->errorString()
                       : QCoreApplication::translate("DeviceDriver", "The line was closed at the other end"));
    return -1;
}

int DeviceDriver::discard()
{
    if (PosixLine *line = attachedLine(d.data(), true)) {
        const int dropped = line->discard();
        if (dropped < 0)
            failLine(lineFailure(*line));
        return dropped;
    }
    DeviceLocker locker(this);
    QIODevice *dev = device();
    char scratch[QvPrivate::DiscardChunk];
    int dropped = 0;
    for (int i = 0; i < QvPrivate::MaxDiscardReads && dev->isOpen() && dev->bytesAvailable() > 0; ++i) {
        const qint64 count = dev->read(scratch, sizeof scratch);
        if (count <= 0)
            break;
        dropped += int(count);
    }
    return dev->isOpen() ? dropped : -1;
}

DeviceDriver *DeviceDriver::create(const QUrl &url, QObject *parent)
{
    if (url.scheme() == QLatin1String("socks"))
        return new SocketDriver(parent);
    return new SerialPortDriver(parent);
}
