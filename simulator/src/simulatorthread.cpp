#include "simulatorthread.h"

#include "simulatorserver.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <future>

SimulatorThread::SimulatorThread() = default;

SimulatorThread::~SimulatorThread()
{
    stop();
}

bool SimulatorThread::start(int endpoints, quint16 port)
{
    if (m_thread)
        return true;
    m_error.clear();
    // A thread's event loop needs the application object.
    if (!QCoreApplication::instance()) {
        m_error = QStringLiteral("no QCoreApplication: the simulator thread cannot run");
        return false;
    }
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("simulator"));
    auto *server = new SimulatorServer(&m_link);
    server->moveToThread(m_thread);
    m_thread->start();

    bool ok = true;
    // Open the endpoints on the simulator's thread and wait until that is done.
    std::promise<void> opened;
    QMetaObject::invokeMethod(
        server,
        [&] {
            if ((endpoints & Tcp) && !server->listen(port))
                ok = false;
            if (ok && (endpoints & Pty) && !server->openPty())
                ok = false;
            m_port = server->tcpPort();
            m_url = server->url();
            m_ptyName = server->ptyName();
            m_error = server->errorString();
            opened.set_value();
        },
        Qt::QueuedConnection);
    opened.get_future().wait();
    m_server = server;
    if (!ok) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("simulator thread did not start");
        stop();
        return false;
    }
    return true;
}

void SimulatorThread::stop()
{
    if (!m_thread)
        return;
    if (m_server) {
        SimulatorServer *server = m_server;
        std::promise<void> deleted;
        QMetaObject::invokeMethod(server, [server, &deleted] {
            delete server;
            deleted.set_value();
        }, Qt::QueuedConnection);
        deleted.get_future().wait();
        m_server = nullptr;
    }
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
    m_thread = nullptr;
    m_port = 0;
    m_url.clear();
    m_ptyName.clear();
}

bool SimulatorThread::isRunning() const
{
    return m_thread && m_server;
}

QString SimulatorThread::serialPortName(int baudRate) const
{
    if (m_ptyName.isEmpty())
        return QString();
    return QStringLiteral("%1?baudrate=%2").arg(m_ptyName).arg(baudRate);
}
