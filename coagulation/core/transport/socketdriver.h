#ifndef SOCKETDRIVER_H
#define SOCKETDRIVER_H

#include "devicedriver.h"

#include <atomic>

class QTcpSocket;
class PosixLine;

/**
 * \file socketdriver.h
 * \brief A TCP connection as the instrument link's transport (SocketDriver).
 */

/**
 * A TCP connection. The port name is a URL with host and port,
 * "socks://127.0.0.1:5020"; its scheme is not looked at here.
 *
 * A peer that closes the connection, or a connection that breaks, ends the transfer in
 * progress at once: the driver is then closed, with the reason in errorString().
 *
 * Every function may be called from any thread, as DeviceDriver tells.
 */
class QVCORE_EXPORT SocketDriver : public DeviceDriver
{
public:
    /// A closed driver without a port name.
    explicit SocketDriver(QObject *parent = nullptr);
    /// Ends an exchange or a connect in progress at once (see DeviceDriver::~DeviceDriver()) and closes the connection.
    ~SocketDriver() override;

    /**
     * Connects, blocking for at most 30 seconds (a host name is looked up first, for as
     * long as the system's resolver takes). A name without a port number fails at once.
     * The driver's lock is not held while the connection is made: exchanges of other
     * threads answer NotOpenError meanwhile, and close() or destroying the driver end
     * the wait at once (open() then fails). False with the reason in errorString(); a
     * connection already open is closed first.
     */
    bool open() override;
    /// Whether the connection is open. Any thread, at once, also during a connect.
    bool isOpen() const override;
    /**
     * Closes the connection; an exchange blocked on it ends at once with NotOpenError, a
     * connect in progress fails, and the asynchronous requests queued on the line end
     * with NotOpenError.
     */
    void close() override;
    /// Empty: there is nothing to enumerate.
    QStringList avaliablePorts() const override;
    /// The URL set with setPortName(), as given.
    QString portName() const override;
    /// The URL to connect to, "socks://host:port"; takes effect at the next open().
    void setPortName(const QString &name) override;
    /**
     * Discards what the socket has received, including what still waits in the
     * system's buffer, so stale bytes cannot start the next reply. Waits for the
     * exchange in progress.
     */
    void clear() override;
    /// The QTcpSocket; see DeviceDriver::device() for what must not be done with it.
    QIODevice *device() const override;

private:
    int connectTo(const QString &host, quint16 port, QString *reason, int *kind);

    QTcpSocket *m_socket;
    QScopedPointer<PosixLine> m_line;
    // Each open() and close() takes a new ticket; a connect that finds another ticket
    // when it is done was cancelled or overtaken.
    std::atomic<quint64> m_connectTicket{ 0 };
};

#endif // SOCKETDRIVER_H
