#ifndef DEVICEDRIVER_H
#define DEVICEDRIVER_H

#include <QtCore/QMutex>
#include <QtCore/QObject>
#include <QtCore/QScopedPointer>
#include <QtCore/QStringList>
#include <QtCore/QUrl>

#include "qvcore_global.h"

#include <functional>
#include <memory>

/**
 * \file devicedriver.h
 * \brief The byte transport under the instrument link (DeviceDriver).
 */

/**
 * The driver's own lock, a base of DeviceDriver: a recursive QMutex with Qt 5, a
 * QRecursiveMutex with Qt 6 (where QMutex cannot recurse). Either way lock(),
 * tryLock() and unlock() nest on one thread, and QMutexLocker takes a driver pointer
 * as it is (with Qt 6 it deduces QMutexLocker<DeviceDriver>; QMutexLocker<QRecursiveMutex>
 * takes it too). Code that keeps the driver as a plain mutex pointer names it
 * DeviceDriverMutex *, which is a QMutex * with Qt 5, to build with both.
 */
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
using DeviceDriverMutex = QRecursiveMutex;
#else
using DeviceDriverMutex = QMutex;
#endif

class QIODevice;
class DeviceDriverPrivate;
class DriverAnchor;
class ModbusClient;
class PosixLine;

/**
 * The byte transport under the instrument link: owns one I/O device (a serial port
 * or a TCP socket), opens and closes it, and carries the time-outs and the recursive
 * lock that serialises exchanges on it.
 *
 * An exchange is send(), receive() with the client's two time-outs, and discard() when
 * an earlier request may still be answered; the client calls them with the lock held.
 * The drivers here run them on the device's descriptor directly, with Qt's notifiers
 * quiet and its buffers empty, so a healthy exchange costs a send and a receive (a write,
 * a poll and a read on a serial line). The defaults go through device() for other
 * devices and platforms.
 *
 * Exchanges may come from any thread, and take their turns on the line in the order they
 * asked for it, so that a thread that takes the line back to back lets every other thread
 * in between (\ref threads_link). Qt's sockets and serial ports may only be
 * driven from the thread they belong to, so the device belongs to no thread while
 * it rests: where Qt must drive it (open, close, the defaults) the driver takes a
 * DeviceLocker, which brings the device to the calling thread until the outermost
 * locker is released. Because of that the device is owned by the driver directly,
 * not as a QObject child.
 *
 * isOpen(), errorString(), portName() (and the serial speed) show state kept under a
 * small lock of its own: they answer at once from any thread, also during an exchange
 * or a 30-second connect. The time-outs and the URL may be read and set from any thread.
 *
 * close() and the destructor end a blocked exchange or a connect in progress at once,
 * from any thread: the exchange ends with NotOpenError, the connect fails, and every
 * asynchronous request still queued on the line (Modbus::ModuleReply) ends with
 * NotOpenError.
 */
class QVCORE_EXPORT DeviceDriver : public QObject, public DeviceDriverMutex
{
    Q_OBJECT
public:
    /// A closed driver with the default time-outs (write 100 ms, read 100 ms, interval 50 ms).
    explicit DeviceDriver(QObject *parent = nullptr);
    /**
     * Ends an exchange or a connect in progress at once and the asynchronous requests
     * queued on the line with NotOpenError, then waits for the exchanges under way to let
     * go of the driver; clients that still name it answer NotOpenError from then on.
     * Must not run inside an exchange on this driver (a receiver connected directly to a
     * client's signal).
     */
    ~DeviceDriver() override;

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    /// What QMutex answers with Qt 5, kept so that callers build with either.
    bool isRecursive() const { return true; }
#endif

    /// The longest a write may take, in milliseconds (100 by default).
    int writeTimeouts() const;
    /**
     * Milliseconds; any value is stored unchanged (a negative wait counts as none). From
     * the next exchange on; any thread.
     */
    void setWriteTimeouts(int msecs);
    /**
     * The first wait for a reply after its write, in milliseconds (100 by default; doubled
     * for a request behind function 0x2B: routed, pass-through or object read).
     */
    int readTimeouts() const;
    /**
     * Milliseconds; any value is stored unchanged (a negative wait counts as none). From
     * the next exchange on; any thread.
     */
    void setReadTimeouts(int msecs);
    /**
     * The silence that ends a reply whose length cannot be known, and the longest wait for
     * each further piece of a reply, in milliseconds (50 by default).
     */
    int readIntervalTimeouts() const;
    /**
     * Milliseconds; any value is stored unchanged (a negative wait counts as none). From
     * the next exchange on; any thread.
     */
    void setReadIntervalTimeouts(int msecs);
    /**
     * How late after its request a reply may still come. Until then a request whose
     * reply was not taken is remembered, and a frame that answers it is dropped, never
     * taken for a later request's reply; a later request that such a reply could answer
     * as well (same module, function and reply length) waits until then, or until that
     * reply has come, letting other requests through meanwhile. -1 (the default) is
     * automatic: sixteen read time-outs (readTimeouts()), at least 1 and at most 10
     * seconds (1.6 s with the defaults), raised to twice the latest reply this line has
     * seen come late. A reply later still may be taken for the reply of a later request
     * that it answers along its whole route. Closing and opening the line keeps what is
     * owed. \ref wireformat_faulty tells the rule.
     */
    int lateReplyTimeouts() const;
    /// The late-reply bound in milliseconds, or -1 for the automatic one. From the next exchange on; any thread.
    void setLateReplyTimeouts(int msecs);

    /// Kept for the application; nothing in the library reads it.
    QUrl url() const;
    /// Stores url for the application; the port name is set with setPortName().
    void setUrl(const QUrl &url);

    /**
     * The last failure: why open() failed, why the line broke off (the peer hung up, the
     * port went away), or that a wait for a reply ran out. Empty after a successful open
     * until something fails. Any thread, at once.
     */
    QString errorString() const;

    /**
     * A SocketDriver for the scheme "socks", a SerialPortDriver for anything else.
     * The driver is created closed and nothing of the URL is applied to it: set the port
     * name with setPortName(). The caller (or parent) owns it.
     */
    static DeviceDriver *create(const QUrl &url, QObject *parent = nullptr);

    /**
     * Opens the line named by portName(); false with the reason in errorString(). Blocks
     * for the system's open of a port, or for a connect (SocketDriver::open()). Any thread.
     */
    virtual bool open() = 0;
    /// Whether the line is open. Any thread, at once, also during an exchange or a connect.
    virtual bool isOpen() const = 0;
    /**
     * Closes the line. An exchange blocked on it ends at once with NotOpenError, a connect
     * in progress fails, and the asynchronous requests queued on the line end with
     * NotOpenError. Any thread; returns once the interrupted exchange has let the line go.
     */
    virtual void close() = 0;
    /// The names of the ports there are to open (the serial ports of the system; none for a socket).
    virtual QStringList avaliablePorts() const = 0;
    /// The port name set, as the driver keeps it. Any thread, at once.
    virtual QString portName() const = 0;
    /// Takes effect at the next open().
    virtual void setPortName(const QString &name) = 0;
    /// Discards whatever is waiting in the device's input; waits for the exchange in progress.
    virtual void clear() = 0;
    /**
     * Never null. Its thread affinity is managed by the driver: do not connect to its
     * signals, move it to a thread or use it without holding a DeviceLocker.
     */
    virtual QIODevice *device() const = 0;

    /**
     * Writes the whole frame within writeTimeouts(); false when the line did not take it.
     *
     * The transfers of one exchange (send(), receive(), discard()) are called with the
     * driver's lock held on an open line. A line that fails in them (the peer hangs up,
     * the port goes away) is closed with the reason in errorString().
     */
    virtual bool send(const char *data, int size);
    /**
     * Waits at most msecs for input and reads what has arrived, at most capacity bytes:
     * the count read, 0 when nothing came in time, -1 when the line failed (or was closed
     * by another thread). With the lock held, as send().
     */
    virtual int receive(char *buffer, int capacity, int msecs);
    /**
     * Drops the input that has already arrived, without waiting: the count dropped, -1
     * when the line failed. With the lock held, as send().
     */
    virtual int discard();

    /**
     * Holds the driver's lock (recursively) without moving the device: what exchanges
     * and runs of exchanges need. Waits for the turns queued before it on the line.
     */
    class QVCORE_EXPORT LineLocker
    {
    public:
        /// Takes driver's lock, in its turn.
        explicit LineLocker(DeviceDriver *driver);
        /// Lets the lock go.
        ~LineLocker();

    private:
        DeviceDriver *m_driver;
        Q_DISABLE_COPY(LineLocker)
    };

    /**
     * Locks the driver (recursively) and, for its lifetime, gives the device the
     * calling thread's affinity, so that the device may be used from here. Nests.
     */
    class QVCORE_EXPORT DeviceLocker
    {
    public:
        /// Takes driver's lock, in its turn, and brings the device to the calling thread.
        explicit DeviceLocker(DeviceDriver *driver);
        /// Gives the device back to no thread (when outermost) and lets the lock go.
        ~DeviceLocker();

    private:
        DeviceDriver *m_driver;
        Q_DISABLE_COPY(DeviceLocker)
    };

protected:
    /**
     * Keeps the driver alive for work done without its lock, such as a connect: the
     * destructor interrupts the line and then waits for the hold to end. isHeld() is false
     * once destruction has begun; the work must not start then.
     */
    class QVCORE_EXPORT Hold
    {
    public:
        /// Holds driver unless its destruction has begun.
        explicit Hold(DeviceDriver *driver);
        /// Ends the hold, letting a destruction that waits for it go on.
        ~Hold();
        /// Whether the driver is held; false once its destruction has begun.
        bool isHeld() const { return m_driver != nullptr; }

    private:
        std::shared_ptr<DriverAnchor> m_anchor;
        DeviceDriver *m_driver;
        Q_DISABLE_COPY(Hold)
    };

    /**
     * The clock exchanges on this line are timed by, in milliseconds: a steady clock. A
     * driver that simulates a line in its own time answers its own.
     */
    virtual qint64 lineTimeMs() const;
    /// Milliseconds the line needs to carry that many bytes (0 when not known: a socket).
    int transferMs(int bytes) const;

    /**
     * Called once by the concrete driver's constructor with the device it created
     * (without a parent); the driver owns it from then on.
     */
    void adoptDevice(QIODevice *device);
    /// The descriptor line the library's drivers transfer on, told whenever Qt drives the device.
    void useLine(PosixLine *line);

    /**
     * Takes the driver out of service: clients can no longer begin an exchange, and the
     * exchange in progress (on any thread) ends first. A concrete driver calls it first
     * in its destructor, before its own parts go; the base destructor calls it too.
     */
    void retire();

    /**
     * Copies the device's open state and error text to what other threads see; call it,
     * with the lock held, whenever the device has been opened or closed. A successful open
     * clears the error text.
     */
    void publishDeviceState();
    /**
     * Ends the waits of an exchange or a connect on this driver's line at once, and the
     * asynchronous requests queued on it; a concrete driver calls it first in close(),
     * without the lock.
     */
    void interruptLine();
    /// An error text of the driver's own, shown by errorString().
    void publishError(const QString &text);
    /// The port name portName() shows to other threads.
    void publishPortName(const QString &name);
    /// The open state as last published.
    bool publishedOpen() const;
    /// The port name as last published.
    QString publishedPortName() const;
    /// After a failed transfer: closes the line and keeps the reason as its error text.
    void failLine(const QString &reason);

private:
    friend class ModbusClient;
    friend class ModbusExchange;
    // Whether the transfer that failed last was ended by close() or destruction.
    bool isInterrupted() const;
    // Lets the turns queued for the line go first, when the caller holds it once only;
    // whether it did. The line may have been closed meanwhile.
    bool yieldLine();
    // Whether yieldLine() could let others go: the caller holds the line once only.
    bool canYieldLine() const;
    void lockLine();
    // lockLine(), unless giveUp (asked every few ms while the turn is awaited) says to
    // give up first: false then, and nothing is held.
    bool lockLineUnless(const std::function<bool()> &giveUp);
    void unlockLine();
    void attachDevice();
    void detachDevice();

    QScopedPointer<DeviceDriverPrivate> d;
    Q_DISABLE_COPY(DeviceDriver)
};

#endif // DEVICEDRIVER_H
