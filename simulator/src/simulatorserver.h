#ifndef SIMULATORSERVER_H
#define SIMULATORSERVER_H

#include <QObject>
#include <QString>

class QTcpServer;
class SimulatedLink;
class SimulatorPtyStream;
class SimulatorStream;

// Serves a simulated link over loopback TCP (any number of clients) and over a
// pseudo-terminal whose slave a client opens as a serial port. Lives on the thread
// whose event loop runs it; the link it serves is not owned.
class SimulatorServer : public QObject
{
    Q_OBJECT
public:
    explicit SimulatorServer(SimulatedLink *link, QObject *parent = nullptr);
    ~SimulatorServer() override;

    // Listens on 127.0.0.1 only; port 0 picks a free port.
    bool listen(quint16 port = 0);
    // Opens a pseudo-terminal in raw mode; its slave's name is ptyName().
    bool openPty();
    void close();

    bool isListening() const;
    quint16 tcpPort() const;
    QString url() const;      // "socks://127.0.0.1:PORT", empty when not listening
    QString ptyName() const;  // "/dev/pts/N", empty when no pseudo-terminal is open
    QString errorString() const;

signals:
    void clientConnected();
    // What passes on any of its streams: each request frame cut from the bytes
    // received, and each reply once sent (see SimulatorStream).
    void requestReceived(const QByteArray &frame);
    void replySent(const QByteArray &reply);

private:
    void acceptClients();
    void closePty();
    void relaySignals(SimulatorStream *stream);

    SimulatedLink *m_link;
    QTcpServer *m_tcp;
    SimulatorPtyStream *m_pty = nullptr;
    int m_master = -1;
    int m_slave = -1;
    QString m_ptyName;
    QString m_error;
};

#endif // SIMULATORSERVER_H
