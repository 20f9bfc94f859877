#include "modulereply.h"

#include "lineworker_p.h"

#include <QtCore/QTimer>

namespace Modbus {

ModuleReply::ModuleReply(QObject *parent)
    : QObject(parent)
{
}

ModuleReply::~ModuleReply()
{
    if (m_request) {
        m_request->detach();
        m_request->cancel();
    }
}

bool ModuleReply::isFinished() const
{
    return m_finished;
}

ModuleStatus ModuleReply::status() const
{
    return m_status;
}

QByteArray ModuleReply::data() const
{
    return m_data;
}

int ModuleReply::count() const
{
    return m_count;
}

void ModuleReply::cancel()
{
    if (m_request)
        m_request->cancel();
}

void ModuleReply::setDeadline(int msecs)
{
    if (!m_request || m_finished)
        return;
    m_request->setDeadline(msecs);
    // A request still queued when the deadline passes ends then, not when its turn comes.
    const std::weak_ptr<AsyncRequest> request = m_request;
    QTimer::singleShot(qMax(1, msecs), this, [request] {
        if (const std::shared_ptr<AsyncRequest> pending = request.lock())
            pending->expire();
    });
}

// In this reply's thread: takes the outcome the worker left.
void ModuleReply::deliver()
{
    if (m_finished || !m_request)
        return;
    m_request->outcome(&m_status, &m_data, &m_count);
    m_finished = true;
    Q_EMIT finished();
}

} // namespace Modbus
