#include "simulatorserver.h"

#include "simulatedlink.h"
#include "simulatorstream.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

SimulatorServer::SimulatorServer(SimulatedLink *link, QObject *parent)
    : QObject(parent)
    , m_link(link)
    , m_tcp(new QTcpServer(this))
{
    connect(m_tcp, &QTcpServer::newConnection, this, &SimulatorServer::acceptClients);
}

SimulatorServer::~SimulatorServer()
{
    close();
}

bool SimulatorServer::listen(quint16 port)
{
    if (m_tcp->isListening())
        return true;
    if (!m_tcp->listen(QHostAddress::LocalHost, port)) {
        m_error = m_tcp->errorString();
        return false;
    }
    return true;
}

bool SimulatorServer::openPty()
{
    if (m_master >= 0)
        return true;
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    termios attributes;
    if (::tcgetattr(slave, &attributes) == 0) {
        ::cfmakeraw(&attributes);
        ::tcsetattr(slave, TCSANOW, &attributes);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    const char *name = ::ttyname(slave);
    m_ptyName = name ? QString::fromLocal8Bit(name) : QString();
    m_master = master;
    // The slave stays open here too, so that the master does not read end-of-line
    // errors while no client has the port open.
    m_slave = slave;
    m_pty = new SimulatorPtyStream(m_link, master, this);
    relaySignals(m_pty);
    // Queued: the stream is inside its own call when it hangs up. Closing the master
    // (and the slave kept here) hangs the line up for the client as well.
    connect(m_pty, &SimulatorPtyStream::hungUp, this, &SimulatorServer::closePty, Qt::QueuedConnection);
    return true;
}

void SimulatorServer::closePty()
{
    delete m_pty;
    m_pty = nullptr;
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = m_slave = -1;
    m_ptyName.clear();
}

void SimulatorServer::close()
{
    m_tcp->close();
    const auto streams = findChildren<SimulatorTcpStream *>(QString(), Qt::FindDirectChildrenOnly);
    for (SimulatorTcpStream *stream : streams)
        delete stream;
    closePty();
}

bool SimulatorServer::isListening() const
{
    return m_tcp->isListening();
}

quint16 SimulatorServer::tcpPort() const
{
    return m_tcp->isListening() ? m_tcp->serverPort() : 0;
}

QString SimulatorServer::url() const
{
    if (!m_tcp->isListening())
        return QString();
    return QStringLiteral("socks://127.0.0.1:%1").arg(m_tcp->serverPort());
}

QString SimulatorServer::ptyName() const
{
    return m_ptyName;
}

QString SimulatorServer::errorString() const
{
    return m_error;
}

void SimulatorServer::acceptClients()
{
    while (QTcpSocket *socket = m_tcp->nextPendingConnection()) {
        relaySignals(new SimulatorTcpStream(m_link, socket, this));
        emit clientConnected();
    }
}

void SimulatorServer::relaySignals(SimulatorStream *stream)
{
    connect(stream, &SimulatorStream::requestReceived, this, &SimulatorServer::requestReceived);
    connect(stream, &SimulatorStream::replySent, this, &SimulatorServer::replySent);
}
