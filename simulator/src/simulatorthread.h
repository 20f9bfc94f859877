#ifndef SIMULATORTHREAD_H
#define SIMULATORTHREAD_H

#include "simulatedlink.h"

#include <QString>

class QThread;
class SimulatorServer;

// Runs a simulated link on a private thread with its own event loop, so that a client
// may block the caller's thread while the simulator answers. start() returns once the
// endpoints are open; the destructor stops everything. The link may be configured from
// any thread while it runs. A QCoreApplication must exist (QtTest makes one).
class SimulatorThread
{
public:
    enum Endpoint {
        Tcp = 0x1,
        Pty = 0x2
    };

    SimulatorThread();
    ~SimulatorThread();
    SimulatorThread(const SimulatorThread &) = delete;
    SimulatorThread &operator=(const SimulatorThread &) = delete;

    SimulatedLink &link() { return m_link; }

    // endpoints: Tcp, Pty or both; port 0 picks a free TCP port.
    bool start(int endpoints = Tcp, quint16 port = 0);
    void stop();
    bool isRunning() const;

    quint16 tcpPort() const { return m_port; }
    QString url() const { return m_url; }          // "socks://127.0.0.1:PORT"
    QString ptyName() const { return m_ptyName; }  // "/dev/pts/N"
    // The pseudo-terminal as a port name with a speed query, "/dev/pts/N?baudrate=9600".
    QString serialPortName(int baudRate = 9600) const;
    QString errorString() const { return m_error; }

private:
    SimulatedLink m_link;
    QThread *m_thread = nullptr;
    bool m_running = false;
    quint16 m_port = 0;
    QString m_url;
    QString m_ptyName;
    QString m_error;
};

#endif // SIMULATORTHREAD_H
