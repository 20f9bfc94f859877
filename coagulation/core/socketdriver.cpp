#include "socketdriver.h"

#include <QtCore/QCoreApplication>
#include <QtNetwork/QNetworkProxy>
#include <QtNetwork/QTcpSocket>

#include <poll.h>

namespace {

constexpr int ConnectTimeout = 30000;
// clear() reads at most this many times, so a peer that never pauses cannot hold it.
constexpr int MaxDrainReads = 16;

// A socket whose error text the driver may set when it refuses to connect.
class DriverSocket : public QTcpSocket
{
public:
    void refuse(const QString &text)
    {
        setSocketError(QAbstractSocket::HostNotFoundError);
        setErrorString(text);
    }
    // Unbuffered, a frame goes to the system in write() itself: nothing is left to wait for.
    bool waitForBytesWritten(int msecs) override
    {
        return bytesToWrite() == 0 || QTcpSocket::waitForBytesWritten(msecs);
    }
    // A failed connection leaves the device open for reading and writing; close it,
    // keeping the reason, so that isOpen() tells the truth.
    void giveUp()
    {
        const QAbstractSocket::SocketError reason = error();
        const QString text = errorString();
        abort();
        // abort() leaves a socket that is already unconnected open as a device.
        if (isOpen())
            close();
        setSocketError(reason);
        setErrorString(text);
    }
};

bool hasPendingInput(qintptr descriptor)
{
    pollfd entry = { int(descriptor), POLLIN, 0 };
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR));
}

} // namespace

SocketDriver::SocketDriver(QObject *parent)
    : DeviceDriver(parent)
    , m_socket(new DriverSocket)
{
    // The link goes straight to the instrument, never through a proxy.
    m_socket->setProxy(QNetworkProxy::NoProxy);
    adoptDevice(m_socket);
}

SocketDriver::~SocketDriver() = default;

bool SocketDriver::open()
{
    DeviceLocker locker(this);
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    const QUrl url(m_portName);
    if (url.port() < 0) {
        static_cast<DriverSocket *>(m_socket)->refuse(
            QCoreApplication::translate("SocketDriver", "No port number in \"%1\"").arg(m_portName));
        return false;
    }
    // Unbuffered: a frame goes to the system in write() and a reply is read straight
    // from it, with no copy through the socket's own buffers.
    m_socket->connectToHost(url.host(), quint16(url.port()), QIODevice::ReadWrite | QIODevice::Unbuffered);
    if (!m_socket->waitForConnected(ConnectTimeout)) {
        static_cast<DriverSocket *>(m_socket)->giveUp();
        return false;
    }
    // Frames are small and each one is answered before the next: send them at once.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return true;
}

bool SocketDriver::isOpen() const
{
    return m_socket->isOpen();
}

void SocketDriver::close()
{
    DeviceLocker locker(this);
    m_socket->close();
    // Unsent bytes would keep the socket closing until an event loop flushed them;
    // no event loop drives it, and the next open() needs it unconnected.
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
}

QStringList SocketDriver::avaliablePorts() const
{
    return QStringList();
}

QString SocketDriver::portName() const
{
    QMutexLocker locker(const_cast<SocketDriver *>(this));
    return m_portName;
}

void SocketDriver::setPortName(const QString &name)
{
    QMutexLocker locker(this);
    m_portName = name;
}

void SocketDriver::clear()
{
    DeviceLocker locker(this);
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    // The socket is unbuffered and no event loop reads it between exchanges, so late
    // bytes of an earlier reply wait in the system's buffer: read and drop them.
    for (int i = 0; i < MaxDrainReads && hasPendingInput(m_socket->socketDescriptor()); ++i) {
        if (m_socket->readAll().isEmpty())
            break;
    }
}

QIODevice *SocketDriver::device() const
{
    return m_socket;
}
