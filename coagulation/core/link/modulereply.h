#ifndef MODULEREPLY_H
#define MODULEREPLY_H

#include <QtCore/QByteArray>
#include <QtCore/QObject>

#include "modulestatus.h"
#include "qvcore_global.h"

#include <memory>

/**
 * \file modulereply.h
 * \brief The outcome of an asynchronous module operation (Modbus::ModuleReply).
 */

namespace Modbus {

class AsyncRequest;

/**
 * The outcome of one asynchronous module operation (AbstractDeviceModule::readWordAsync()
 * and its kind). The operation is queued on its line, runs on a thread the library owns
 * with the same frames, chunks, statuses and client signals as the blocking call, and
 * finished() is emitted in the thread that made the request, from its event loop: that
 * thread needs a running event loop. A request that cannot be queued (no client, no
 * driver) finishes the same way, with NotOpenError.
 *
 * The caller owns the reply: give it a parent, or deleteLater() it after finished().
 * Deleting it earlier cancels the request. Closing or destroying the driver ends every
 * pending reply at once with NotOpenError.
 *
 * The getters belong to the reply's thread and never block; cancel() and setDeadline()
 * may be called from any thread. \ref threads_async tells how requests take their turns.
 */
class QVCORE_EXPORT ModuleReply : public QObject
{
    Q_OBJECT
public:
    /// Cancels the request if it has not finished; finished() is not emitted then.
    ~ModuleReply() override;

    /// True once finished() has been emitted; the results below are final then.
    bool isFinished() const;
    /**
     * The status of the operation, as the blocking call returns it or leaves it in its
     * status pointer; CanceledError after cancel(), TimeoutError when the deadline passed,
     * NotOpenError when the line was closed. Success until finished.
     */
    ModuleStatus status() const;
    /**
     * What was read: registers and file records as big-endian byte pairs, bits packed
     * (item k in bit k % 8 of byte k / 8), as the blocking calls give them; the bytes of a
     * trunk, an object or a pass-through reply; the status word and event count of the
     * event counter (two big-endian words); the final status word of a wait; empty for
     * writes. Empty until finished.
     */
    QByteArray data() const;
    /**
     * Items read or written: bits, registers or records for a run; the bytes of data() for
     * a trunk, an object or a pass-through; 1 for an operation of one exchange (and a wait)
     * that succeeded. 0 until finished.
     */
    int count() const;

    /**
     * Gives the request up: a queued request is dropped, a running one ends before its
     * next attempt on the line (at once when it waits for its turn on the line, within an
     * interval when it waits before a write for replies owed to earlier writes).
     * finished() follows with CanceledError, unless it came
     * first. Any thread.
     */
    void cancel();
    /**
     * The request ends with TimeoutError if it has not finished msecs from now (at least
     * 1 ms): queued, it is dropped then; running, it ends before its next attempt (as cancel()). A later
     * call replaces the deadline. Does nothing once finished. Any thread.
     */
    void setDeadline(int msecs);

Q_SIGNALS:
    /// The operation is over, whatever its status; emitted once, in the reply's thread.
    void finished();

private:
    friend class AsyncRequest;
    explicit ModuleReply(QObject *parent = nullptr);
    // Queued by name from the worker: the call is then made entirely inside Qt, whose
    // hand-over between threads a ThreadSanitizer build cannot see.
    Q_INVOKABLE void deliver();

    std::shared_ptr<AsyncRequest> m_request;
    ModuleStatus m_status;
    QByteArray m_data;
    int m_count = 0;
    bool m_finished = false;
};

} // namespace Modbus

#endif // MODULEREPLY_H
