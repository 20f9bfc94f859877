#include "simulatorstream.h"

#include <QMetaMethod>
#include <QSocketNotifier>
#include <QTcpSocket>

#include <cerrno>
#include <unistd.h>

namespace {

// An open-ended request is complete when the line stays quiet this long after a valid
// checksum; the host writes a frame in one go, so a few milliseconds are plenty.
constexpr int QuietMs = 3;
// Bytes of an incomplete frame older than this are given up when new bytes arrive,
// as a module restarts its receiver after a pause on the line.
constexpr int StaleInputMs = 200;
constexpr int ReadChunk = 1024;
// Output the peer does not take is dropped beyond this, rather than held without bound.
constexpr int MaxPendingOutput = 64 * 1024;

} // namespace

SimulatorStream::SimulatorStream(SimulatedLink *link, QObject *parent)
    : QObject(parent)
    , m_link(link)
    , m_framer([link](quint8 address) { return link->hasModule(address); })
{
    m_quietTimer.setSingleShot(true);
    m_quietTimer.setTimerType(Qt::PreciseTimer);
    m_quietTimer.setInterval(QuietMs);
    connect(&m_quietTimer, &QTimer::timeout, this, &SimulatorStream::lineQuiet);
    m_reply.bytes.reserve(512);
    m_lastArrival.start();
}

SimulatorStream::~SimulatorStream() = default;

void SimulatorStream::received(const char *data, int size)
{
    if (size <= 0 || m_hungUp)
        return;
    if (m_framer.size() > 0 && m_lastArrival.elapsed() > StaleInputMs)
        m_framer.reset();
    m_lastArrival.restart();
    m_quietTimer.stop();
    m_framer.append(data, size);
    process();
}

void SimulatorStream::process()
{
    for (;;) {
        const int length = m_framer.next();
        if (length > 0) {
            answer(m_framer.data(), length);
            m_framer.consume(length);
            continue;
        }
        if (length == SimulatedFramer::AwaitQuiet)
            m_quietTimer.start();
        return;
    }
}

void SimulatorStream::lineQuiet()
{
    const int length = m_framer.quiet();
    if (length > 0) {
        answer(m_framer.data(), length);
        m_framer.consume(length);
    }
    process();
}

void SimulatorStream::answer(const char *frame, int size)
{
    if (m_hungUp)
        return;
    // Copies only for a listener: the benchmarks run this path without one.
    if (isSignalConnected(QMetaMethod::fromSignal(&SimulatorStream::requestReceived)))
        emit requestReceived(QByteArray(frame, size));
    if (!m_link->handleFrame(frame, size, &m_reply))
        return;
    const QByteArray &bytes = m_reply.bytes;
    const bool hangUp = m_reply.hangUp;
    if (!m_reply.parts.isEmpty()) {
        sendParts();
        return;
    }
    if (bytes.isEmpty()) {
        schedule(m_reply.delayMs, bytes, bytes, hangUp);
        return;
    }
    // Later requests are answered while a delayed reply waits, as a line would carry them.
    const int pieces = qMin(m_reply.pieces, bytes.size());
    int offset = 0;
    for (int i = 0; i < pieces; ++i) {
        const bool last = i + 1 == pieces;
        const int end = last ? bytes.size() : (i + 1) * bytes.size() / pieces;
        schedule(m_reply.delayMs + i * m_reply.pieceDelayMs, bytes.mid(offset, end - offset),
                 last ? bytes : QByteArray(), last && hangUp);
        offset = end;
    }
}

// A chaos schedule's parts, each at its own time, dripped where it says; each part is told
// as sent when its last byte has left.
void SimulatorStream::sendParts()
{
    int last = 0;
    for (const SimulatedReply::Part &part : qAsConst(m_reply.parts))
        last = qMax(last, part.atMs + qMax(0, part.bytes.size() - 1) * qMax(0, part.dripMs));
    bool hangUpDone = false;
    for (const SimulatedReply::Part &part : qAsConst(m_reply.parts)) {
        const int pieces = part.dripMs > 0 ? part.bytes.size() : 1;
        for (int i = 0; i < pieces; ++i) {
            const int at = part.atMs + i * qMax(0, part.dripMs);
            const bool end = i + 1 == pieces;
            const bool thenHangUp = m_reply.hangUp && end && at == last && !hangUpDone;
            hangUpDone = hangUpDone || thenHangUp;
            schedule(at, pieces == 1 ? part.bytes : part.bytes.mid(i, 1), end ? part.bytes : QByteArray(), thenHangUp);
        }
    }
}

void SimulatorStream::schedule(int delayMs, const QByteArray &bytes, const QByteArray &wholeReply, bool thenHangUp)
{
    const auto go = [this, bytes, wholeReply, thenHangUp] {
        if (m_hungUp)
            return;
        if (!bytes.isEmpty())
            send(bytes.constData(), bytes.size());
        if (!wholeReply.isEmpty())
            emit replySent(wholeReply);
        if (thenHangUp) {
            m_hungUp = true;
            hangUp();
        }
    };
    if (delayMs <= 0)
        go();
    else
        QTimer::singleShot(delayMs, Qt::PreciseTimer, this, go);
}

// --- TCP ----------------------------------------------------------------------------

SimulatorTcpStream::SimulatorTcpStream(SimulatedLink *link, QTcpSocket *socket, QObject *parent)
    : SimulatorStream(link, parent)
    , m_socket(socket)
{
    socket->setParent(this);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QTcpSocket::readyRead, this, &SimulatorTcpStream::readSocket);
    connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    // Bytes that came with the connection: read once the creator has connected to
    // this stream's signals.
    QMetaObject::invokeMethod(this, &SimulatorTcpStream::readSocket, Qt::QueuedConnection);
}

void SimulatorTcpStream::hangUp()
{
    // What was written goes out first, then the connection closes; nothing more is read.
    disconnect(m_socket, &QTcpSocket::readyRead, this, &SimulatorTcpStream::readSocket);
    m_socket->disconnectFromHost();
}

void SimulatorTcpStream::readSocket()
{
    char chunk[ReadChunk];
    for (;;) {
        const qint64 n = m_socket->read(chunk, sizeof chunk);
        if (n <= 0)
            break;
        received(chunk, int(n));
    }
}

void SimulatorTcpStream::send(const char *data, int size)
{
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (m_socket->bytesToWrite() > MaxPendingOutput)
        return;
    m_socket->write(data, size);
    m_socket->flush();
}

// --- pseudo-terminal ----------------------------------------------------------------

SimulatorPtyStream::SimulatorPtyStream(SimulatedLink *link, int masterFd, QObject *parent)
    : SimulatorStream(link, parent)
    , m_fd(masterFd)
    , m_readNotifier(new QSocketNotifier(masterFd, QSocketNotifier::Read, this))
    , m_writeNotifier(new QSocketNotifier(masterFd, QSocketNotifier::Write, this))
{
    m_writeNotifier->setEnabled(false);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &SimulatorPtyStream::readMaster);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &SimulatorPtyStream::writePending);
}

SimulatorPtyStream::~SimulatorPtyStream()
{
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
}

void SimulatorPtyStream::readMaster()
{
    char chunk[ReadChunk];
    for (;;) {
        const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n > 0) {
            received(chunk, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // EAGAIN: all read. EIO or end of file: no slave is open; the notifier would fire
        // again at once, so pause it briefly instead of spinning.
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            m_readNotifier->setEnabled(false);
            QTimer::singleShot(20, this, [this] { m_readNotifier->setEnabled(true); });
        }
        return;
    }
}

void SimulatorPtyStream::send(const char *data, int size)
{
    if (!m_pending.isEmpty()) {
        if (m_pending.size() + size <= MaxPendingOutput)
            m_pending.append(data, size);
        return;
    }
    int written = 0;
    while (written < size) {
        const ssize_t n = ::write(m_fd, data + written, size_t(size - written));
        if (n > 0) {
            written += int(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    if (written < size) {
        m_pending.append(data + written, size - written);
        m_writeNotifier->setEnabled(true);
    }
}

void SimulatorPtyStream::hangUp()
{
    m_readNotifier->setEnabled(false);
    emit hungUp();
}

void SimulatorPtyStream::writePending()
{
    while (!m_pending.isEmpty()) {
        const ssize_t n = ::write(m_fd, m_pending.constData(), size_t(m_pending.size()));
        if (n > 0) {
            m_pending.remove(0, int(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                m_pending.clear();  // the line is gone; nothing will take these bytes
            break;
        }
    }
    m_writeNotifier->setEnabled(!m_pending.isEmpty());
}
