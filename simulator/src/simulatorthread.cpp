#include "simulatorthread.h"

#include "simulatorserver.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <future>
#include <mutex>

namespace {

// The server is made, opened, run and destroyed on the thread itself, so nothing
// crosses threads except through the thread's start and the promise.
class ServingThread : public QThread
{
public:
    ServingThread(SimulatedLink *link, int endpoints, quint16 port)
        : m_link(link), m_endpoints(endpoints), m_port(port) {}

    std::promise<bool> opened;
    // Set last thing on the thread: stop() takes this lock after wait(), so that a
    // ThreadSanitizer build, which does not see Qt's own hand-over at a thread's end,
    // sees everything the thread did happen before the link is destroyed.
    std::mutex endMutex;
    bool ended = false;
    quint16 tcpPort = 0;
    QString url;
    QString ptyName;
    QString error;

protected:
    void run() override
    {
        serve();
        std::lock_guard<std::mutex> lock(endMutex);
        ended = true;
    }

private:
    void serve()
    {
        SimulatorServer server(m_link);
        bool ok = true;
        if ((m_endpoints & SimulatorThread::Tcp) && !server.listen(m_port))
            ok = false;
        if (ok && (m_endpoints & SimulatorThread::Pty) && !server.openPty())
            ok = false;
        tcpPort = server.tcpPort();
        url = server.url();
        ptyName = server.ptyName();
        error = server.errorString();
        opened.set_value(ok);
        if (ok)
            exec();
    }

    SimulatedLink *m_link;
    int m_endpoints;
    quint16 m_port;
};

} // namespace

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
    auto *thread = new ServingThread(&m_link, endpoints, port);
    thread->setObjectName(QStringLiteral("simulator"));
    std::future<bool> opened = thread->opened.get_future();
    thread->start();
    const bool ok = opened.get();
    m_thread = thread;
    m_port = thread->tcpPort;
    m_url = thread->url;
    m_ptyName = thread->ptyName;
    m_error = thread->error;
    m_running = ok;
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
    m_thread->quit();
    m_thread->wait();
    {
        auto *serving = static_cast<ServingThread *>(m_thread);
        std::lock_guard<std::mutex> lock(serving->endMutex);
        Q_ASSERT(serving->ended);
    }
    delete m_thread;
    m_thread = nullptr;
    m_running = false;
    m_port = 0;
    m_url.clear();
    m_ptyName.clear();
}

bool SimulatorThread::isRunning() const
{
    return m_thread && m_running;
}

QString SimulatorThread::serialPortName(int baudRate) const
{
    if (m_ptyName.isEmpty())
        return QString();
    return QStringLiteral("%1?baudrate=%2").arg(m_ptyName).arg(baudRate);
}
