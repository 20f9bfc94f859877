#ifndef POSIXLINE_P_H
#define POSIXLINE_P_H

#include <QtCore/QString>
#include <QtCore/QtGlobal>

#include <atomic>
#include <mutex>

struct sockaddr;

// Transfers on the descriptor of a connected socket or a serial line, each bounded by its
// own time-out: what the drivers run an exchange on, under their lock, while Qt's
// notifiers for the descriptor are quiet. On a healthy line an exchange is a send and a
// receive that waits in the kernel (a socket blocks in recv() with a receive time-out),
// or a write, a poll and a read (a terminal, whose own time-outs count in tenths of a
// second).
//
// interrupt() ends any wait on the line at once, from any thread and without the driver's
// lock: a blocked receive or send, and a connect in progress. The waits poll a wake-up
// descriptor beside the line; a socket blocked in recv() is woken by shutting it down,
// which is what closing it next would do anyway. The line stays interrupted (every
// transfer fails at once) until it is attached again.
class PosixLine
{
public:
    enum Kind { Socket, Terminal };

    PosixLine();
    ~PosixLine();
    PosixLine(const PosixLine &) = delete;
    PosixLine &operator=(const PosixLine &) = delete;

    void attach(int descriptor, Kind kind);
    void detach();
    bool isAttached() const { return m_fd >= 0; }
    Kind kind() const { return m_kind; }
    // While Qt drives the device (a DeviceLocker holds it) the descriptor stays in the
    // non-blocking mode Qt expects, and receives wait in poll() instead.
    void setLentToQt(bool lent);

    // Thread-safe; see above.
    void interrupt();
    bool isInterrupted() const { return m_interrupted.load(std::memory_order_acquire); }
    // Forgets an interrupt that came before a new connect began.
    void clearInterrupt();

    // Writes the whole frame, waiting at most msecs for room; false when the line failed
    // or stayed full.
    bool send(const char *data, int size, int msecs);
    // Waits at most msecs for input and reads what has arrived: the count, 0 when nothing
    // came in time, -1 when the line failed, the other end closed it or it was interrupted.
    int receive(char *buffer, int capacity, int msecs);
    // Reads and drops what has arrived, without waiting: the count dropped, -1 when the
    // line failed.
    int discard();

    // Connects a new TCP socket to address, waiting at most msecs; interrupt() ends the
    // wait. The connected descriptor (blocking, close-on-exec, no delay), or -1 with the
    // reason in errorText().
    int connectSocket(const sockaddr *address, unsigned addressLength, int msecs);

    // The speed of a serial line, so that the time a frame takes on it is known; 0 (for a
    // socket) counts as instant.
    void setBitsPerSecond(int bitsPerSecond);
    // Milliseconds the line needs to carry that many bytes, rounded up.
    int transferMs(int bytes) const;

    // After a failure: whether the other end closed the line, else the system's reason.
    bool closedByPeer() const { return m_error == 0; }
    int errorCode() const { return m_error; }
    QString errorText() const;

private:
    int waitFor(int fd, short events, qint64 deadline);
    int receiveFromSocket(char *buffer, int capacity, int msecs);
    bool setBlocking(bool blocking);
    void drainWake();
    // Whether the line was interrupted: the transfer ends, with ECANCELED as its error.
    bool endedByInterrupt();

    // Written only under m_fdMutex, so that interrupt() never shuts down a descriptor that
    // another thread has closed and the system has handed out again.
    int m_fd = -1;
    std::mutex m_fdMutex;
    int m_wakeFd = -1;
    std::atomic<bool> m_interrupted{ false };
    std::atomic<int> m_bitsPerSecond{ 0 };
    Kind m_kind = Socket;
    int m_error = 0;
    bool m_blocking = false;
    bool m_lent = false;
    int m_receiveTimeout = -1; // ms last given to SO_RCVTIMEO
};

#endif // POSIXLINE_P_H
