#include "socketdriver.h"

#include "posixline_p.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QElapsedTimer>
#include <QtNetwork/QHostInfo>
#include <QtNetwork/QNetworkProxy>
#include <QtNetwork/QTcpSocket>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int ConnectTimeout = 30000;

// A socket whose error text the driver may set when it refuses to connect.
class DriverSocket : public QTcpSocket
{
public:
    void refuse(const QString &text, QAbstractSocket::SocketError error = QAbstractSocket::HostNotFoundError)
    {
        setSocketError(error);
        setErrorString(text);
    }
    // Unbuffered, a frame goes to the system in write() itself: nothing is left to wait for.
    bool waitForBytesWritten(int msecs) override
    {
        return bytesToWrite() == 0 || QTcpSocket::waitForBytesWritten(msecs);
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

// The reason a connect failed, in the words Qt's sockets use.
static QAbstractSocket::SocketError connectFailure(int error, QString *text)
{
    switch (error) {
    case ECONNREFUSED:
        *text = QCoreApplication::translate("SocketDriver", "Connection refused");
        return QAbstractSocket::ConnectionRefusedError;
    case ETIMEDOUT:
        *text = QCoreApplication::translate("SocketDriver", "Socket operation timed out");
        return QAbstractSocket::SocketTimeoutError;
    case ENETUNREACH:
        *text = QCoreApplication::translate("SocketDriver", "Network unreachable");
        return QAbstractSocket::NetworkError;
    case EHOSTUNREACH:
        *text = QCoreApplication::translate("SocketDriver", "Host unreachable");
        return QAbstractSocket::NetworkError;
    case ECANCELED:
        *text = QCoreApplication::translate("SocketDriver", "The connection was cancelled");
        return QAbstractSocket::OperationError;
    default:
        *text = QString::fromLocal8Bit(std::strerror(error));
        return QAbstractSocket::UnknownSocketError;
    }
}

// Connects to the first address of host that takes the connection, within the driver's
// connect time in all; interrupting the line ends the wait. The descriptor, or -1.
int SocketDriver::connectTo(const QString &host, quint16 port, QString *reason, int *kind)
{
    QList<QHostAddress> addresses;
    QHostAddress literal;
    if (literal.setAddress(host)) {
        addresses.append(literal);
    } else {
        const QHostInfo info = QHostInfo::fromName(host);
        addresses = info.addresses();
        if (addresses.isEmpty()) {
            *reason = info.errorString();
            *kind = QAbstractSocket::HostNotFoundError;
            return -1;
        }
    }
    QElapsedTimer elapsed;
    elapsed.start();
    int error = ETIMEDOUT;
    for (const QHostAddress &address : qAsConst(addresses)) {
        sockaddr_storage storage = {};
        unsigned length = 0;
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            auto *in = reinterpret_cast<sockaddr_in *>(&storage);
            in->sin_family = AF_INET;
            in->sin_port = htons(port);
            in->sin_addr.s_addr = htonl(address.toIPv4Address());
            length = sizeof(sockaddr_in);
        } else {
            auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(port);
            const Q_IPV6ADDR bytes = address.toIPv6Address();
            std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
            in6->sin6_scope_id = address.scopeId().toUInt();
            length = sizeof(sockaddr_in6);
        }
        const int left = int(qMax<qint64>(0, ConnectTimeout - elapsed.elapsed()));
        const int fd = m_line->connectSocket(reinterpret_cast<sockaddr *>(&storage), length, left);
        if (fd >= 0)
            return fd;
        error = m_line->errorCode();
        if (error == ECANCELED || left == 0)
            break;
    }
    *kind = connectFailure(error, reason);
    return -1;
}

bool SocketDriver::open()
{
    const Hold hold(this);
    if (!hold.isHeld())
        return false;
    quint64 ticket = 0;
    QUrl url;
    {
        DeviceLocker locker(this);
        m_line->detach();
        if (m_socket->state() != QAbstractSocket::UnconnectedState)
            m_socket->abort();
        if (m_socket->isOpen())
            m_socket->close();
        m_line->clearInterrupt();
        ticket = ++m_connectTicket;
        const QString name = publishedPortName();
        url = QUrl(name);
        if (url.port() < 0) {
            static_cast<DriverSocket *>(m_socket)->refuse(
                QCoreApplication::translate("SocketDriver", "No port number in \"%1\"").arg(name));
            publishDeviceState();
            return false;
        }
        publishDeviceState();
    }
    // Without the lock: exchanges of other threads find the line closed and answer at
    // once, and close() or destruction interrupt the wait.
    QString reason;
    int kind = QAbstractSocket::UnknownSocketError;
    int fd = connectTo(url.host(), quint16(url.port()), &reason, &kind);

    DeviceLocker locker(this);
    if (ticket != m_connectTicket.load()) {
        // Closed or opened again meanwhile: that call's state stands; closed, and no
        // later open() failed with a reason of its own, the reason is the cancel.
        if (fd >= 0)
            ::close(fd);
        if (m_socket->state() == QAbstractSocket::UnconnectedState
            && m_socket->error() == QAbstractSocket::UnknownSocketError) {
            QString cancelled;
            const auto error = connectFailure(ECANCELED, &cancelled);
            static_cast<DriverSocket *>(m_socket)->refuse(cancelled, error);
            publishDeviceState();
        }
        return false;
    }
    // Unbuffered: a frame goes to the system in write() and a reply is read straight
    // from it, with no copy through the socket's own buffers.
    if (fd >= 0 && !m_socket->setSocketDescriptor(fd, QAbstractSocket::ConnectedState,
                                                  QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        reason = m_socket->errorString();
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        static_cast<DriverSocket *>(m_socket)->refuse(reason, QAbstractSocket::SocketError(kind));
        publishDeviceState();
        return false;
    }
    m_line->attach(fd, PosixLine::Socket);
    publishDeviceState();
    return true;
}

bool SocketDriver::isOpen() const
{
    return publishedOpen();
}

void SocketDriver::close()
{
    ++m_connectTicket;
    interruptLine();
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
