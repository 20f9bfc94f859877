#ifndef POSIXLINE_P_H
#define POSIXLINE_P_H

#include <QtCore/QString>
#include <QtCore/QtGlobal>

// Transfers on the descriptor of a connected socket or a serial line, each bounded by its
// own time-out: what the drivers run an exchange on, under their lock, while Qt's
// notifiers for the descriptor are quiet. On a healthy line an exchange is a send and a
// receive that waits in the kernel (a socket blocks in recv() with a receive time-out),
// or a write, a poll and a read (a terminal, whose own time-outs count in tenths of a
// second).
class PosixLine
{
public:
    enum Kind { Socket, Terminal };

    void attach(int descriptor, Kind kind);
    void detach();
    bool isAttached() const { return m_fd >= 0; }
    Kind kind() const { return m_kind; }
    // While Qt drives the device (a DeviceLocker holds it) the descriptor stays in the
    // non-blocking mode Qt expects, and receives wait in poll() instead.
    void setLentToQt(bool lent);

    // Writes the whole frame, waiting at most msecs for room; false when the line failed
    // or stayed full.
    bool send(const char *data, int size, int msecs);
    // Waits at most msecs for input and reads what has arrived: the count, 0 when nothing
    // came in time, -1 when the line failed or the other end closed it.
    int receive(char *buffer, int capacity, int msecs);
    // Reads and drops what has arrived, without waiting: the count dropped, -1 when the
    // line failed.
    int discard();

    // After a failure: whether the other end closed the line, else the system's reason.
    bool closedByPeer() const { return m_error == 0; }
    QString errorText() const;

private:
    int waitFor(short events, qint64 deadline);
    int receiveFromSocket(char *buffer, int capacity, int msecs);
    bool setBlocking(bool blocking);

    int m_fd = -1;
    Kind m_kind = Socket;
    int m_error = 0;
    bool m_blocking = false;
    bool m_lent = false;
    int m_receiveTimeout = -1; // ms last given to SO_RCVTIMEO
};

#endif // POSIXLINE_P_H
