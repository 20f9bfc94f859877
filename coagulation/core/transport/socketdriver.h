#ifndef SOCKETDRIVER_H
#define SOCKETDRIVER_H

#include "devicedriver.h"

#include <atomic>

class QTcpSocket;
class PosixLine;

// A TCP connection. The port name is a URL with host and port,
// "socks://127.0.0.1:5020"; its scheme is not looked at here.
//
// A peer that closes the connection, or a connection that breaks, ends the transfer in
// progress at once: the driver is then closed, with the reason in errorString().
class QVCORE_EXPORT SocketDriver : public DeviceDriver
{
public:
    explicit SocketDriver(QObject *parent = nullptr);
    ~SocketDriver() override;

    // Connects, blocking for at most 30 seconds (a host name is looked up first, for as
    // long as the system's resolver takes). A name without a port number fails at once.
    // The driver's lock is not held while the connection is made: exchanges of other
    // threads answer NotOpenError meanwhile, and close() or destroying the driver end
    // the wait at once (open() then fails).
    bool open() override;
    bool isOpen() const override;
    void close() override;
    // Empty: there is nothing to enumerate.
    QStringList avaliablePorts() const override;
    QString portName() const override;
    void setPortName(const QString &name) override;
    // Discards what the socket has received, including what still waits in the
    // system's buffer, so stale bytes cannot start the next reply.
    void clear() override;
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
