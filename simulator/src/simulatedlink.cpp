#include "simulatedlink.h"

#include "simulatedgateway.h"
#include "simulatorprotocol.h"

#include <mutex>
#include <QStringList>

using namespace SimulatorProtocol;

SimulatedLink::SimulatedLink() = default;
SimulatedLink::~SimulatedLink()
{
    // The serving thread's last entry in the log is seen here through the log's lock (a
    // ThreadSanitizer build does not see Qt's own hand-over when the thread ended).
    std::lock_guard<std::mutex> lock(m_logMutex);
    m_log.clear();
}

SimulatedModule *SimulatedLink::module(quint8 address) const
{
    return m_modules.find(address).get();
}

SimulatedModule *SimulatedLink::module(const QString &path) const
{
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    SimulatedModule *current = nullptr;
    for (int i = 0; i < parts.size(); ++i) {
        bool ok = false;
        const int address = parts.at(i).toInt(&ok);
        if (!ok || address < 0 || address > 255)
            return nullptr;
        if (i == 0) {
            current = module(quint8(address));
        } else {
            if (!current->isGateway())
                return nullptr;
            current = static_cast<SimulatedGateway *>(current)->module(quint8(address));
        }
        if (!current)
            return nullptr;
    }
    return current;
}

SimulatedGateway *SimulatedLink::gateway(const QString &path) const
{
    SimulatedModule *m = module(path);
    return m && m->isGateway() ? static_cast<SimulatedGateway *>(m) : nullptr;
}

QList<QByteArray> SimulatedLink::requests() const
{
    std::lock_guard<std::mutex> lock(m_logMutex);
    return m_log;
}

QByteArray SimulatedLink::lastRequest() const
{
    std::lock_guard<std::mutex> lock(m_logMutex);
    return m_log.isEmpty() ? QByteArray() : m_log.last();
}

int SimulatedLink::requestCount() const
{
    std::lock_guard<std::mutex> lock(m_logMutex);
    return m_requestCount;
}

void SimulatedLink::clearRequests()
{
    std::lock_guard<std::mutex> lock(m_logMutex);
    m_log.clear();
    m_requestCount = 0;
}

void SimulatedLink::setRequestLogLimit(int limit)
{
    std::lock_guard<std::mutex> lock(m_logMutex);
    m_logLimit = qMax(0, limit);
    while (m_log.size() > m_logLimit)
        m_log.removeFirst();
}

void SimulatedLink::setChaos(quint32 seed, double rate, int timeoutMs)
{
    m_chaos.reset(rate > 0 ? new SimulatedChaos(seed, rate, timeoutMs) : nullptr);
}

bool SimulatedLink::handleFrame(const char *frame, int size, SimulatedReply *reply)
{
    const bool sent = answer(frame, size, reply);
    if (m_observer)
        m_observer(QByteArray(frame, qMax(0, size)), *reply);
    return sent;
}

bool SimulatedLink::answer(const char *frame, int size, SimulatedReply *reply)
{
    reply->bytes.resize(0);
    reply->delayMs = 0;
    reply->pieces = 1;
    reply->pieceDelayMs = 0;
    reply->hangUp = false;
    reply->parts.clear();
    if (size <= 0)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_logMutex);
        ++m_requestCount;
        if (m_logLimit > 0) {
            if (m_log.size() >= m_logLimit)
                m_log.removeFirst();
            m_log.append(QByteArray(frame, size));
        }
    }

    const quint8 *request = reinterpret_cast<const quint8 *>(frame);
    // A frame followed by its own checksum sums to zero.
    if (size < 4 || crc16(request, size) != 0)
        return false;
    const std::shared_ptr<SimulatedModule> first = m_modules.find(request[0]);
    if (!first)
        return false;

    SimulatedRequestContext context;
    context.linkFaults = &m_faults;
    const SimulatedChaos::Kind chaos = m_chaos ? m_chaos->draw(request, size, &context.fault) : SimulatedChaos::None;
    QByteArray &out = reply->bytes;
    if (!first->respond(request, size - 2, out, context) || out.isEmpty()) {
        out.resize(0);
        return false;
    }
    const SimulatedFault &fault = context.fault;
    if (fault.misroute)
        misroute(request, size - 2, out);
    appendCrc(out);

    if (fault.drop) {
        out.resize(0);
        return false;
    }
    if (fault.corruptCrc) {
        out[out.size() - 2] = char(~out.at(out.size() - 2));
        out[out.size() - 1] = char(~out.at(out.size() - 1));
    }
    if (fault.truncateTo >= 0 && fault.truncateTo < out.size())
        out.resize(fault.truncateTo);
    if (!fault.staleBytes.isEmpty())
        out.prepend(fault.staleBytes);
    if (fault.hangUpAfter >= 0 && fault.hangUpAfter < out.size())
        out.resize(fault.hangUpAfter);
    reply->hangUp = fault.hangUpAfter >= 0;
    reply->delayMs = fault.delayMs;
    reply->pieces = qMax(1, fault.pieces);
    reply->pieceDelayMs = fault.pieceDelayMs;
    if (chaos != SimulatedChaos::None && !out.isEmpty())
        m_chaos->apply(chaos, request, size, reply);
    return !out.isEmpty() || !reply->parts.isEmpty() || reply->hangUp;
}

// The reply names another module where the request's route ends: address + 1 in the
// last route triplet, or in the address byte of a request without a route.
void SimulatedLink::misroute(const quint8 *request, int size, QByteArray &reply)
{
    int at = 0;
    while (at + 3 < size && request[at + 1] == EncapsulatedInterface && request[at + 2] == MeiRoute)
        at += 3;
    if (at >= reply.size())
        return;
    if (at > 0 && (quint8(reply.at(at - 2)) != EncapsulatedInterface || quint8(reply.at(at - 1)) != MeiRoute))
        return;  // a gateway answered for the route: no module of the route's end is named
    reply[at] = char(quint8(reply.at(at)) + 1);
}

QByteArray SimulatedLink::reply(const QByteArray &request)
{
    SimulatedReply r;
    handleFrame(request.constData(), request.size(), &r);
    return r.bytes;
}
