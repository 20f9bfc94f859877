#include "virtualline.h"

#include <simulatedlink.h>

#include <QtCore/QBuffer>

VirtualLine::VirtualLine(SimulatedLink *link)
    : m_link(link)
    , m_device(new QBuffer)
{
    adoptDevice(m_device);
}

VirtualLine::~VirtualLine()
{
    retire();
}

void VirtualLine::inject(int atMs, const QByteArray &bytes)
{
    for (char byte : bytes)
        m_due.emplace(m_now + atMs, byte);
}

int VirtualLine::takeWrites()
{
    const int writes = m_writes;
    m_writes = 0;
    return writes;
}

// Like a serial line, a reopened line still delivers what was on its way.
bool VirtualLine::open()
{
    m_hangUpAt = -1;
    const bool opened = m_device->isOpen() || m_device->open(QIODevice::ReadWrite);
    publishDeviceState();
    return opened;
}

bool VirtualLine::isOpen() const
{
    return publishedOpen();
}

void VirtualLine::close()
{
    m_device->close();
    publishDeviceState();
}

QStringList VirtualLine::avaliablePorts() const
{
    return { portName() };
}

QString VirtualLine::portName() const
{
    return QStringLiteral("virtual");
}

void VirtualLine::setPortName(const QString &) {}

void VirtualLine::clear()
{
    discard();
}

QIODevice *VirtualLine::device() const
{
    return m_device;
}

bool VirtualLine::send(const char *data, int size)
{
    ++m_writes;
    if (!m_link)
        return true;
    SimulatedReply reply;
    m_link->handleFrame(data, size, &reply);
    if (!reply.parts.isEmpty()) {
        for (const SimulatedReply::Part &part : qAsConst(reply.parts))
            for (int i = 0; i < part.bytes.size(); ++i)
                m_due.emplace(m_now + part.atMs + i * part.dripMs, part.bytes.at(i));
    } else {
        const int size = reply.bytes.size();
        const int pieces = qMax(1, qMin(reply.pieces, size));
        for (int i = 0; i < size; ++i)
            m_due.emplace(m_now + reply.delayMs + (i * pieces / size) * reply.pieceDelayMs, reply.bytes.at(i));
    }
    if (reply.hangUp) {
        const qint64 last = m_due.empty() ? m_now + reply.delayMs : m_due.rbegin()->first;
        m_hangUpAt = m_hangUpAt < 0 ? last : qMin(m_hangUpAt, last);
    }
    return true;
}

int VirtualLine::receive(char *buffer, int capacity, int msecs)
{
    const qint64 until = m_now + qMax(0, msecs);
    const bool hangsUpFirst = m_hangUpAt >= 0 && m_hangUpAt <= until
                              && (m_due.empty() || m_due.begin()->first > m_hangUpAt);
    if (hangsUpFirst) {
        m_now = qMax(m_now, m_hangUpAt);
        m_due.clear();
        m_hangUpAt = -1;
        failLine(QStringLiteral("The line was closed at the other end"));
        return -1;
    }
    if (m_due.empty() || m_due.begin()->first > until) {
        m_now = until;
        return 0;
    }
    m_now = qMax(m_now, m_due.begin()->first);
    int count = 0;
    while (count < capacity && !m_due.empty() && m_due.begin()->first <= m_now) {
        buffer[count++] = m_due.begin()->second;
        m_due.erase(m_due.begin());
    }
    return count;
}

int VirtualLine::discard()
{
    int dropped = 0;
    while (!m_due.empty() && m_due.begin()->first <= m_now) {
        m_due.erase(m_due.begin());
        ++dropped;
    }
    return dropped;
}
