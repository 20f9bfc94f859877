#include "socketdriver.h"

#include "posixline_p.h"

#include <QtCore/QCoreApplication>
#include <QtNetwork/QNetworkProxy>
#include <QtNetwork/QTcpSocket>

namespace {

constexpr int ConnectTimeout = 30000;

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

} // namespace

SocketDriver::SocketDriver(QObject *parent)
    : DeviceDriver(parent)
    , m_socket(new DriverSocket)
    , m_line(new PosixLine)
{
    // The link goes straight to the instrument, never through a proxy.
    m_socket->setProxy(QNetworkProxy::NoProxy);
    adoptDevice(m_socket);
    useLine(m_line.data());
}

SocketDriver::~SocketDriver()
{
    retire();
}

bool SocketDriver::open()
{
    DeviceLocker locker(this);
    m_line->detach();
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    const QString name = publishedPortName();
    const QUrl url(name);
    if (url.port() < 0) {
        static_cast<DriverSocket *>(m_socket)->refuse(
            QCoreApplication::translate("SocketDriver", "No port number in \"%1\"").arg(name));
        publishDeviceState();
        return false;
    }
    // Unbuffered: a frame goes to the system in write() and a reply is read straight
    // from it, with no copy through the socket's own buffers.
    m_socket->connectToHost(url.host(), quint16(url.port()), QIODevice::ReadWrite | QIODevice::Unbuffered);
    if (!m_socket->waitForConnected(ConnectTimeout)) {
        static_cast<DriverSocket *>(m_socket)->giveUp();
        publishDeviceState();
        return false;
    }
    // Frames are small and each one is answered before the next: send them at once.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_line->attach(int(m_socket->socketDescriptor()), PosixLine::Socket);
    publishDeviceState();
    return true;
}

bool SocketDriver::isOpen() const
{
    return publishedOpen();
}

void SocketDriver::close()
{
    DeviceLocker locker(this);
    m_line->detach();
    m_socket->close();
    // Unsent bytes would keep the socket closing until an event loop flushed them;
    // no event loop drives it, and the next open() needs it unconnected.
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    publishDeviceState();
}

QStringList SocketDriver::avaliablePorts() const
{
    return QStringList();
}

QString SocketDriver::portName() const
{
    return publishedPortName();
}

void SocketDriver::setPortName(const QString &name)
{
    publishPortName(name);
}

void SocketDriver::clear()
{
    LineLocker locker(this);
    if (publishedOpen())
        discard();
}

QIODevice *SocketDriver::device() const
{
    return m_socket;
}
