#ifndef DEVICEDRIVER_H
#define DEVICEDRIVER_H

#include <QtCore/QMutex>
#include <QtCore/QObject>
#include <QtCore/QScopedPointer>
#include <QtCore/QStringList>
#include <QtCore/QUrl>

#include "qvcore_global.h"

#include <memory>

// The driver's own lock, a base of DeviceDriver: a recursive QMutex with Qt 5, a
// QRecursiveMutex with Qt 6 (where QMutex cannot recurse). Either way lock(),
// tryLock() and unlock() nest on one thread, and QMutexLocker takes a driver pointer
// as it is (with Qt 6 it deduces QMutexLocker<DeviceDriver>; QMutexLocker<QRecursiveMutex>
// takes it too). Code that keeps the driver as a plain mutex pointer names it
// DeviceDriverMutex *, which is a QMutex * with Qt 5, to build with both.
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

// The byte transport under the instrument link: owns one I/O device (a serial port
// or a TCP socket), opens and closes it, and carries the time-outs and the recursive
// lock that serialises exchanges on it.
//
// An exchange is send(), receive() with the client's two time-outs, and discard() when
// an earlier request may still be answered; the client calls them with the lock held.
// The drivers here run them on the device's descriptor directly, with Qt's notifiers
// quiet and its buffers empty, so a healthy exchange costs a send and a receive (a write,
// a poll and a read on a serial line). The defaults go through device() for other
// devices and platforms.
//
// Exchanges may come from any thread. Qt's sockets and serial ports may only be
// driven from the thread they belong to, so the device belongs to no thread while
// it rests: where Qt must drive it (open, close, the defaults) the driver takes a
// DeviceLocker, which brings the device to the calling thread until the outermost
// locker is released. Because of that the device is owned by the driver directly,
// not as a QObject child.
//
// isOpen(), errorString(), portName() (and the serial speed) show state kept under a
// small lock of its own: they answer at once from any thread, also during an exchange
// or a 30-second connect.
//
// close() and the destructor end a blocked exchange or a connect in progress at once,
// from any thread: the exchange ends with NotOpenError, the connect fails.
class QVCORE_EXPORT DeviceDriver : public QObject, public DeviceDriverMutex
{
    Q_OBJECT
public:
    explicit DeviceDriver(QObject *parent = nullptr);
    ~DeviceDriver() override;

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // What QMutex answers with Qt 5, kept so that callers build with either.
    bool isRecursive() const { return true; }
#endif

    // Milliseconds; any value is stored unchanged (a negative wait counts as none).
    int writeTimeouts() const;
    void setWriteTimeouts(int msecs);
    int readTimeouts() const;
    void setReadTimeouts(int msecs);
    int readIntervalTimeouts() const;
    void setReadIntervalTimeouts(int msecs);
    // How late after its request a reply may still come. Until then a request whose
    // reply was not taken is remembered, and a frame that answers it is dropped, never
    // taken for a later request's reply; a later request that such a reply could answer
    // as well (same module, function and reply length) waits until then, or until that
    // reply has come, letting other requests through meanwhile. -1 (the default) is
    // automatic: sixteen read time-outs (readTimeouts()), at least 1 and at most 10
    // seconds (1.6 s with the defaults), raised to twice the latest reply this line has
    // seen come late. A reply later still may be taken for the reply of a later request
    // that it answers along its whole route. Closing and opening the line keeps what is owed.
    int lateReplyTimeouts() const;
    void setLateReplyTimeouts(int msecs);

    // Kept for the application; nothing in the library reads it.
    QUrl url() const;
    void setUrl(const QUrl &url);

    // The last failure: why open() failed, why the line broke off (the peer hung up, the
    // port went away), or that a wait for a reply ran out.
    QString errorString() const;

    // A SocketDriver for the scheme "socks", a SerialPortDriver for anything else.
    // The driver is created closed and nothing of the URL is applied to it.
    static DeviceDriver *create(const QUrl &url, QObject *parent = nullptr);

    virtual bool open() = 0;
    virtual bool isOpen() const = 0;
    virtual void close() = 0;
    virtual QStringList avaliablePorts() const = 0;
    virtual QString portName() const = 0;
    // Takes effect at the next open().
    virtual void setPortName(const QString &name) = 0;
    // Discards whatever is waiting in the device's input.
    virtual void clear() = 0;
    // Never null. Its thread affinity is managed by the driver: do not connect to its
    // signals, move it to a thread or use it without holding a DeviceLocker.
    virtual QIODevice *device() const = 0;

    // The transfers of one exchange, called with the driver's lock held on an open line.
    // A line that fails in them (the peer hangs up, the port goes away) is closed with
    // the reason in errorString().
    //
    // Writes the whole frame within writeTimeouts(); false when the line did not take it.
    virtual bool send(const char *data, int size);
    // Waits at most msecs for input and reads what has arrived, at most capacity bytes:
    // the count read, 0 when nothing came in time, -1 when the line failed.
    virtual int receive(char *buffer, int capacity, int msecs);
    // Drops the input that has already arrived, without waiting: the count dropped, -1
    // when the line failed.
    virtual int discard();

    // Holds the driver's lock (recursively) without moving the device: what exchanges
    // and runs of exchanges need.
    class QVCORE_EXPORT LineLocker
    {
    public:
        explicit LineLocker(DeviceDriver *driver);
        ~LineLocker();

    private:
        DeviceDriver *m_driver;
        Q_DISABLE_COPY(LineLocker)
    };

    // Locks the driver (recursively) and, for its lifetime, gives the device the
    // calling thread's affinity, so that the device may be used from here. Nests.
    class QVCORE_EXPORT DeviceLocker
    {
    public:
        explicit DeviceLocker(DeviceDriver *driver);
        ~DeviceLocker();

    private:
        DeviceDriver *m_driver;
        Q_DISABLE_COPY(DeviceLocker)
    };

protected:
    // Keeps the driver alive for work done without its lock, such as a connect: the
    // destructor interrupts the line and then waits for the hold to end. isHeld() is false
    // once destruction has begun; the work must not start then.
    class QVCORE_EXPORT Hold
    {
    public:
        explicit Hold(DeviceDriver *driver);
        ~Hold();
        bool isHeld() const { return m_driver != nullptr; }

    private:
        std::shared_ptr<DriverAnchor> m_anchor;
        DeviceDriver *m_driver;
        Q_DISABLE_COPY(Hold)
    };

    // The clock exchanges on this line are timed by, in milliseconds: a steady clock. A
    // driver that simulates a line in its own time answers its own.
    virtual qint64 lineTimeMs() const;
    // Milliseconds the line needs to carry that many bytes (0 when not known: a socket).
    int transferMs(int bytes) const;

    // Called once by the concrete driver's constructor with the device it created
    // (without a parent); the driver owns it from then on.
    void adoptDevice(QIODevice *device);
    // The descriptor line the driver transfers on, told whenever Qt drives the device.
    void useLine(PosixLine *line);

    // Takes the driver out of service: clients can no longer begin an exchange, and the
    // exchange in progress (on any thread) ends first. A concrete driver calls it first
    // in its destructor, before its own parts go; the base destructor calls it too.
    void retire();

    // Copies the device's open state and error text to what other threads see; call it,
    // with the lock held, whenever the device has been opened or closed. A successful open
    // clears the error text.
    void publishDeviceState();
    // Ends the waits of an exchange or a connect on this driver's line at once (see
    // PosixLine::interrupt()); a concrete driver calls it first in close(), without the lock.
    void interruptLine();
    // An error text of the driver's own, shown by errorString().
    void publishError(const QString &text);
    void publishPortName(const QString &name);
    bool publishedOpen() const;
    QString publishedPortName() const;
    // After a failed transfer: closes the line and keeps the reason as its error text.
    void failLine(const QString &reason);

private:
    friend class ModbusClient;
    friend class ModbusExchange;
    // Whether the transfer that failed last was ended by close() or destruction.
    bool isInterrupted() const;
    // Lets the turns queued for the line go first, when the caller holds it once only;
    // whether it did. The line may have been closed meanwhile.
    bool yieldLine();
    void lockLine();
    void unlockLine();
    void attachDevice();
    void detachDevice();

    QScopedPointer<DeviceDriverPrivate> d;
    Q_DISABLE_COPY(DeviceDriver)
};

#endif // DEVICEDRIVER_H
