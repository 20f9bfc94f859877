#ifndef DEVICEDRIVER_H
#define DEVICEDRIVER_H

#include <QtCore/QMutex>
#include <QtCore/QObject>
#include <QtCore/QScopedPointer>
#include <QtCore/QStringList>
#include <QtCore/QUrl>

#include "qvcore_global.h"

class QIODevice;
class DeviceDriverPrivate;

// The byte transport under the instrument link: owns one I/O device (a serial port
// or a TCP socket), opens and closes it, and carries the time-outs and the recursive
// lock that serialises exchanges on it.
//
// Exchanges may come from any thread. Qt's sockets and serial ports may only be
// driven from the thread they belong to, so the device belongs to no thread while
// it rests: whoever uses it takes a DeviceLocker, which locks the driver and brings
// the device to the calling thread until the outermost locker is released. Because
// of that the device is owned by the driver directly, not as a QObject child.
class QVCORE_EXPORT DeviceDriver : public QObject, public QMutex
{
    Q_OBJECT
public:
    explicit DeviceDriver(QObject *parent = nullptr);
    ~DeviceDriver() override;

    // Milliseconds; any value is stored unchanged.
    int writeTimeouts() const;
    void setWriteTimeouts(int msecs);
    int readTimeouts() const;
    void setReadTimeouts(int msecs);
    int readIntervalTimeouts() const;
    void setReadIntervalTimeouts(int msecs);

    // Kept for the application; nothing in the library reads it.
    QUrl url() const;
    void setUrl(const QUrl &url);

    // The device's error text: why open() failed or a transfer broke off.
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
    // Called once by the concrete driver's constructor with the device it created
    // (without a parent); the driver owns it from then on.
    void adoptDevice(QIODevice *device);

private:
    void attachDevice();
    void detachDevice();

    QScopedPointer<DeviceDriverPrivate> d;
    Q_DISABLE_COPY(DeviceDriver)
};

#endif // DEVICEDRIVER_H
