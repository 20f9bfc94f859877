#include "posixline_p.h"

#include "qvprivate_p.h"

#if defined(Q_OS_UNIX)

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

using QvPrivate::steadyMs;

// Start, 8 data bits, a parity bit at most, stop bits: 11 bit times a byte at most.
constexpr int BitsPerByte = 11;

} // namespace

PosixLine::PosixLine()
    : m_wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

PosixLine::~PosixLine()
{
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

void PosixLine::interrupt()
{
    m_interrupted.store(true, std::memory_order_release);
    if (m_wakeFd >= 0) {
        const uint64_t one = 1;
        const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
        Q_UNUSED(written) // a counter already at its limit wakes the waiters as well
    }
    // A socket blocked in recv() waits in the kernel, not in poll(): shutting it down
    // ends that wait. The lock keeps the descriptor from being closed meanwhile.
    std::lock_guard<std::mutex> lock(m_fdMutex);
    if (m_fd >= 0 && m_kind == Socket)
        ::shutdown(m_fd, SHUT_RDWR);
}

void PosixLine::clearInterrupt()
{
    drainWake();
    m_interrupted.store(false, std::memory_order_release);
}

bool PosixLine::endedByInterrupt()
{
    if (!isInterrupted())
        return false;
    m_error = ECANCELED;
    return true;
}

void PosixLine::drainWake()
{
    uint64_t count = 0;
    if (m_wakeFd >= 0)
        while (::read(m_wakeFd, &count, sizeof count) > 0) {}
}

void PosixLine::setBitsPerSecond(int bitsPerSecond)
{
    m_bitsPerSecond.store(qMax(0, bitsPerSecond), std::memory_order_relaxed);
}

int PosixLine::transferMs(int bytes) const
{
    const qint64 speed = m_bitsPerSecond.load(std::memory_order_relaxed);
    if (speed <= 0 || bytes <= 0)
        return 0;
    return int((qint64(bytes) * BitsPerByte * 1000 + speed - 1) / speed);
}

void PosixLine::attach(int descriptor, Kind kind)
{
    clearInterrupt();
    std::lock_guard<std::mutex> lock(m_fdMutex);
    m_fd = descriptor;
    m_kind = kind;
    m_error = 0;
    m_blocking = false;
    m_receiveTimeout = -1;
}

void PosixLine::detach()
{
    if (m_fd >= 0 && m_blocking)
        setBlocking(false);
    std::lock_guard<std::mutex> lock(m_fdMutex);
    m_fd = -1;
}

void PosixLine::setLentToQt(bool lent)
{
    m_lent = lent;
    if (lent && m_fd >= 0 && m_blocking)
        setBlocking(false);
}

bool PosixLine::setBlocking(bool blocking)
{
    const int flags = ::fcntl(m_fd, F_GETFL);
    if (flags < 0 || ::fcntl(m_fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) < 0) {
        m_error = errno;
        return false;
    }
    m_blocking = blocking;
    return true;
}

QString PosixLine::errorText() const
{
    return QString::fromLocal8Bit(std::strerror(m_error));
}

// The revents when fd is ready, 0 when the deadline passed, -1 when it failed or the line
// was interrupted.
int PosixLine::waitFor(int fd, short events, qint64 deadline)
{
    for (;;) {
        if (endedByInterrupt())
            return -1;
        pollfd entries[2] = { { fd, events, 0 }, { m_wakeFd, POLLIN, 0 } };
        const int ready = ::poll(entries, m_wakeFd >= 0 ? 2 : 1, int(qMax<qint64>(0, deadline - steadyMs())));
        if (ready > 0) {
            if (entries[1].revents && endedByInterrupt())
                return -1;
            if (entries[0].revents & POLLNVAL) {
                m_error = EBADF;
                return -1;
            }
            if (entries[0].revents)
                return entries[0].revents;
            drainWake(); // left over from an interrupt already cleared
            continue;
        }
        if (ready == 0)
            return 0;
        if (errno != EINTR) {
            m_error = errno;
            return -1;
        }
    }
}

bool PosixLine::send(const char *data, int size, int msecs)
{
    if (endedByInterrupt())
        return false;
    qint64 deadline = -1; // read from the clock only when the line is full
    int sent = 0;
    while (sent < size) {
        // A socket whose peer has gone must fail the write, not raise SIGPIPE; a full
        // buffer is waited for below, with the time-out, even on a blocking socket.
        const ssize_t n = m_kind == Socket
                              ? ::send(m_fd, data + sent, size_t(size - sent), MSG_NOSIGNAL | MSG_DONTWAIT)
                              : ::write(m_fd, data + sent, size_t(size - sent));
        if (n > 0) {
            sent += int(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (deadline < 0)
                deadline = steadyMs() + qMax(0, msecs);
            const int ready = waitFor(m_fd, POLLOUT, deadline);
            if (ready > 0)
                continue;
            if (ready == 0)
                m_error = ETIMEDOUT;
            return false;
        }
        m_error = n < 0 ? errno : EIO;
        return false;
    }
    return true;
}

int PosixLine::receive(char *buffer, int capacity, int msecs)
{
    if (endedByInterrupt())
        return -1;
    if (capacity <= 0)
        return 0;
    if (m_kind == Socket && !m_lent)
        return receiveFromSocket(buffer, capacity, qMax(0, msecs));
    const qint64 deadline = steadyMs() + qMax(0, msecs);
    bool readNothing = false;
    for (;;) {
        const int ready = waitFor(m_fd, POLLIN, deadline);
        if (ready <= 0)
            return ready;
        const ssize_t n = ::read(m_fd, buffer, size_t(capacity));
        if (n > 0)
            return int(n);
        if (n == 0) {
            // A socket ready with nothing to read has ended; a terminal has ended when it
            // is hung up. A terminal hung up between the poll and the read drops what it
            // held and reads 0 without the poll having said so: poll once more, which tells
            // the hang-up, rather than take it for a wait that ran out.
            if (m_kind == Socket || (ready & (POLLHUP | POLLERR))) {
                m_error = 0;
                return -1;
            }
            if (readNothing)
                return 0;
            readNothing = true;
            continue;
        }
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            m_error = errno;
            return -1;
        }
    }
}

// One recv() that waits in the kernel: the socket is made blocking once, and its receive
// time-out is set only when the wait changes. A time-out of 0 would wait for ever, so no
// wait at all is asked for per call.
int PosixLine::receiveFromSocket(char *buffer, int capacity, int msecs)
{
    if (msecs > 0 && !m_blocking && !setBlocking(true))
        return -1;
    const qint64 deadline = msecs > 0 ? steadyMs() + msecs : 0;
    for (int wait = msecs;;) {
        if (wait > 0 && wait != m_receiveTimeout) {
            const timeval timeout = { wait / 1000, (wait % 1000) * 1000 };
            if (::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
                m_error = errno;
                return -1;
            }
            m_receiveTimeout = wait;
        }
        const ssize_t n = ::recv(m_fd, buffer, size_t(capacity), wait > 0 ? 0 : MSG_DONTWAIT);
        // An interrupt shuts the socket down, which ends the wait as if the peer had gone.
        if (endedByInterrupt())
            return -1;
        if (n > 0)
            return int(n);
        if (n == 0) {
            m_error = 0; // the peer closed the connection
            return -1;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (errno != EINTR) {
            m_error = errno;
            return -1;
        }
        wait = int(qMax<qint64>(0, deadline - steadyMs()));
    }
}

int PosixLine::discard()
{
    char scratch[QvPrivate::DiscardChunk];
    int dropped = 0;
    for (int i = 0; i < QvPrivate::MaxDiscardReads; ++i) {
        const int count = receive(scratch, sizeof scratch, 0);
        if (count <= 0)
            return count < 0 ? -1 : dropped;
        dropped += count;
    }
    return dropped;
}

int PosixLine::connectSocket(const sockaddr *address, unsigned addressLength, int msecs)
{
    const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_error = errno;
        return -1;
    }
    const auto fail = [&](int error) {
        m_error = error;
        ::close(fd);
        return -1;
    };
    if (::connect(fd, address, socklen_t(addressLength)) != 0) {
        if (errno != EINPROGRESS && errno != EINTR)
            return fail(errno);
        const int ready = waitFor(fd, POLLOUT, steadyMs() + qMax(0, msecs));
        if (ready == 0)
            return fail(ETIMEDOUT);
        if (ready < 0)
            return fail(m_error);
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            return fail(errno);
        if (error != 0)
            return fail(error);
    }
    // Frames are small and each one is answered before the next: send them at once.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0)
        return fail(errno);
    return fd;
}

#else // Elsewhere nothing attaches, and the drivers take the defaults through device().

PosixLine::PosixLine() {}
PosixLine::~PosixLine() {}
void PosixLine::attach(int, Kind) {}
void PosixLine::detach() {}
void PosixLine::interrupt() { m_interrupted = true; }
void PosixLine::clearInterrupt() { m_interrupted = false; }
bool PosixLine::endedByInterrupt()
{
    if (!isInterrupted())
        return false;
    m_error = ECANCELED;
    return true;
}

void PosixLine::drainWake() {}
void PosixLine::setBitsPerSecond(int) {}
int PosixLine::transferMs(int) const { return 0; }
int PosixLine::connectSocket(const sockaddr *, unsigned, int) { return -1; }
void PosixLine::setLentToQt(bool) {}
int PosixLine::receiveFromSocket(char *, int, int) { return -1; }
bool PosixLine::setBlocking(bool) { return false; }
QString PosixLine::errorText() const { return QString(); }
int PosixLine::waitFor(int, short, qint64) { return -1; }
bool PosixLine::send(const char *, int, int) { return false; }
int PosixLine::receive(char *, int, int) { return -1; }
int PosixLine::discard() { return -1; }

#endif
