#include "modulereply.h"

#include "lineworker_p.h"

#include <QtCore/QThread>
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
    if (!m_request)
        return;
    // The worker sees it before its next exchange.
    m_request->setDeadline(msecs);
    // A request still queued when the deadline passes ends then, not when its turn comes:
    // a timer in this reply's thread, armed from there.
    const std::weak_ptr<AsyncRequest> request = m_request;
    const auto arm = [this, request, msecs] {
        QTimer::singleShot(qMax(1, msecs), this, [request] {
            if (const std::shared_ptr<AsyncRequest> pending = request.lock())
                pending->expire();
        });
    };
    if (QThread::currentThread() == thread())
        arm();
    else
        QMetaObject::invokeMethod(this, arm, Qt::QueuedConnection);
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
