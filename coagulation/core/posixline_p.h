#ifndef POSIXLINE_P_H
#define POSIXLINE_P_H

#include <QtCore/QString>
#include <QtCore/QtGlobal>

// Transfers on a descriptor opened non-blocking (a connected socket or a serial line),
// each bounded by its own time-out: what the drivers run an exchange on, under their
// lock, while Qt's notifiers for the descriptor are quiet. One write, one wait and one
// read make an exchange on a healthy line.
class PosixLine
{
public:
    enum Kind { Socket, Terminal };

    void attach(int descriptor, Kind kind);
    void detach();
    bool isAttached() const { return m_fd >= 0; }

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

    int m_fd = -1;
    Kind m_kind = Socket;
    int m_error = 0;
};

#endif // POSIXLINE_P_H
