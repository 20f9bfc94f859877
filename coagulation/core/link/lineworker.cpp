#include "lineworker_p.h"

#include "modbusclient.h"
#include "modulereply.h"
#include "qvprivate_p.h"

#include <QtCore/QMetaObject>

#include <algorithm>

namespace Modbus {

namespace {

thread_local AsyncRequest *runningHere = nullptr;

} // namespace

int asyncStopCode()
{
    return runningHere ? runningHere->stopCode() : 0;
}

AsyncRequest::AsyncRequest(ModbusClient *client, Operation operation)
    : m_client(client)
    , m_operation(std::move(operation))
{
}

ModuleReply *AsyncRequest::submit(ModbusClient *client, Operation operation)
{
    auto *reply = new ModuleReply;
    std::shared_ptr<AsyncRequest> request(new AsyncRequest(client, std::move(operation)));
    reply->m_request = request;
    request->m_reply = reply;
    if (!client || !client->queueRequest(request))
        request->finish(ModuleStatus::NotOpenError);
    return reply;
}

int AsyncRequest::stopCode() const
{
    if (m_canceled.load(std::memory_order_acquire))
        return ModuleStatus::CanceledError;
    const qint64 deadline = m_deadline.load(std::memory_order_acquire);
    if (deadline > 0 && QvPrivate::steadyMs() >= deadline)
        return ModuleStatus::TimeoutError;
    return 0;
}

void AsyncRequest::cancel()
{
    m_canceled.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> lock(m_mutex);
    // Not begun: dropped now; running: it ends at its next exchange.
    if (!m_started)
        finishLocked(ModuleStatus::CanceledError);
}

void AsyncRequest::setDeadline(int msecs)
{
    m_deadline.store(QvPrivate::steadyMs() + qMax(1, msecs), std::memory_order_release);
}

void AsyncRequest::expire()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_started)
        finishLocked(ModuleStatus::TimeoutError);
}

void AsyncRequest::run()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_finished)
            return;
        const int stop = stopCode();
        if (stop) {
            finishLocked(ModuleStatus(stop));
            return;
        }
        m_started = true;
    }
    runningHere = this;
    m_operation(*this);
    runningHere = nullptr;
    finish();
}

void AsyncRequest::finish(ModuleStatus endStatus)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    finishLocked(endStatus);
}

void AsyncRequest::finish()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    finishLocked(status);
}

void AsyncRequest::finishLocked(ModuleStatus endStatus)
{
    if (m_finished)
        return;
    m_finished = true;
    status = endStatus;
    if (m_reply)
        QMetaObject::invokeMethod(m_reply, "deliver", Qt::QueuedConnection);
}

void AsyncRequest::detach()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reply = nullptr;
}

void AsyncRequest::outcome(ModuleStatus *endStatus, QByteArray *bytes, int *items)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    *endStatus = status;
    *bytes = data;
    *items = count;
}

bool AsyncRequest::isFinished()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_finished;
}

LineWorker::LineWorker()
    : m_thread([this] { run(); })
{
}

LineWorker::~LineWorker()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    failQueued();
    m_changed.notify_all();
    m_thread.join();
}

void LineWorker::enqueue(std::shared_ptr<AsyncRequest> request)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(std::move(request));
    m_changed.notify_all();
}

void LineWorker::failQueued()
{
    std::deque<std::shared_ptr<AsyncRequest>> queued;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        queued.swap(m_queue);
    }
    for (const std::shared_ptr<AsyncRequest> &request : queued)
        request->finish(ModuleStatus::NotOpenError);
}

void LineWorker::forget(ModbusClient *client)
{
    std::deque<std::shared_ptr<AsyncRequest>> gone;
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto ofClient = [client](const std::shared_ptr<AsyncRequest> &request) { return request->client() == client; };
    std::copy_if(m_queue.begin(), m_queue.end(), std::back_inserter(gone), ofClient);
    m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(), ofClient), m_queue.end());
    // One running ends before its next exchange (a wait without a limit would not end).
    if (m_running && m_running->client() == client)
        m_running->cancel();
    m_changed.wait(lock, [&] { return !m_running || m_running->client() != client; });
    lock.unlock();
    for (const std::shared_ptr<AsyncRequest> &request : gone)
        request->finish(ModuleStatus::NotOpenError);
}

void LineWorker::run()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            m_running = m_queue.front();
            m_queue.pop_front();
        }
        m_running->run();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running.reset();
        m_changed.notify_all();
    }
}

} // namespace Modbus
