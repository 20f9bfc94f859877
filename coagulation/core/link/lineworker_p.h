#ifndef LINEWORKER_P_H
#define LINEWORKER_P_H

#include "modulestatus.h"

#include <QtCore/QByteArray>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class DeviceDriver;
class ModbusClient;
class QObject;

namespace Modbus {

class ModuleReply;

// One asynchronous operation: what runs on its line's worker, and its outcome until the
// reply, in the thread that made the request, takes it.
class AsyncRequest : public std::enable_shared_from_this<AsyncRequest>
{
public:
    using Operation = std::function<void(AsyncRequest &)>;

    // Makes the reply in the calling thread and queues operation on the line of client's
    // driver; a client without a driver, or a driver closed, ends the reply with
    // NotOpenError from the event loop.
    static ModuleReply *submit(ModbusClient *client, Operation operation);

    ModbusClient *client() const { return m_client; }

    // The outcome, set by the operation on the worker.
    ModuleStatus status;
    QByteArray data;
    int count = 0;

    // What a safe point (before an exchange) must do now: 0, or the status to end with.
    int stopCode() const;
    void cancel();
    void setDeadline(int msecs);
    // The deadline has passed: a request not begun ends now with TimeoutError.
    void expire();
    bool isFinished();
    // The outcome, read in the reply's thread once the request has finished.
    void outcome(ModuleStatus *endStatus, QByteArray *bytes, int *items);

    // On the worker: runs the operation, unless it was stopped before it began.
    void run();
    // Ends the request with status (unless it ended already) and hands the outcome to the
    // reply's thread. Any thread.
    void finish(ModuleStatus endStatus);
    void finish();
    // The reply is being destroyed: nothing is handed to it any more.
    void detach();

private:
    AsyncRequest(ModbusClient *client, Operation operation);
    void finishLocked(ModuleStatus endStatus);

    ModbusClient *m_client;
    Operation m_operation;
    std::mutex m_mutex;
    ModuleReply *m_reply = nullptr;
    bool m_started = false;
    bool m_finished = false;
    std::atomic<bool> m_canceled{ false };
    std::atomic<qint64> m_deadline{ 0 }; // ms on the steady clock; 0: none
    friend class Modbus::ModuleReply;
};

// Runs the asynchronous operations of one line on a thread of its own, one at a time, in
// the order they were made; each of their exchanges takes its turn on the line with the
// blocking calls of other threads. Owned by the driver.
class LineWorker
{
public:
    LineWorker();
    ~LineWorker();

    void enqueue(std::shared_ptr<AsyncRequest> request);
    // The line was closed: the queued requests end with NotOpenError at once; the running
    // one ends on its own (its line interrupted).
    void failQueued();
    // client is going away: its queued requests end with NotOpenError, a running one is
    // cancelled; returns once none of its requests runs.
    void forget(ModbusClient *client);

private:
    void run();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::shared_ptr<AsyncRequest>> m_queue;
    std::shared_ptr<AsyncRequest> m_running;
    bool m_stopping = false;
    std::thread m_thread;
};

// The stop the asynchronous request running on this thread asks for at a safe point: 0,
// or the status to end the exchange with.
int asyncStopCode();

} // namespace Modbus

#endif // LINEWORKER_P_H
