#ifndef PROFILE_P_H
#define PROFILE_P_H

#include <QtCore/QDeadlineTimer>
#include <QtCore/QDir>
#include <QtCore/QHash>
#include <QtCore/QQueue>
#include <QtCore/QReadWriteLock>
#include <QtCore/QString>
#include <QtCore/QStringList>
#include <QtCore/QThread>
#include <QtCore/QVariant>
#include <QtSql/QSqlDatabase>

#include <atomic>

#include "profile.h"
#include "qvprivate_p.h"

class QTimer;

// Guards the cache. Not recursive: no member takes it twice, and none holds it
// while a signal is emitted.
class CacheLock
{
public:
    CacheLock() { QV_RWLOCK_CREATE(&m_lock); }
    ~CacheLock() { QV_RWLOCK_DESTROY(&m_lock); }

    void lockForRead() { m_lock.lockForRead(); QV_RWLOCK_ACQUIRED(&m_lock, 0); }
    void lockForWrite() { m_lock.lockForWrite(); QV_RWLOCK_ACQUIRED(&m_lock, 1); }
    void unlockRead() { QV_RWLOCK_RELEASED(&m_lock, 0); m_lock.unlock(); }
    void unlockWrite() { QV_RWLOCK_RELEASED(&m_lock, 1); m_lock.unlock(); }

private:
    Q_DISABLE_COPY(CacheLock)
    QReadWriteLock m_lock{QReadWriteLock::NonRecursive};
};

class CacheReadLocker
{
public:
    explicit CacheReadLocker(CacheLock &lock) : m_lock(lock) { m_lock.lockForRead(); }
    ~CacheReadLocker() { m_lock.unlockRead(); }

private:
    Q_DISABLE_COPY(CacheReadLocker)
    CacheLock &m_lock;
};

class CacheWriteLocker
{
public:
    explicit CacheWriteLocker(CacheLock &lock) : m_lock(lock) { m_lock.lockForWrite(); }
    ~CacheWriteLocker() { m_lock.unlockWrite(); }

private:
    Q_DISABLE_COPY(CacheWriteLocker)
    CacheLock &m_lock;
};

// One write-through waiting for the store's thread: the row of key to store,
// or to delete when value is invalid.
struct PendingWrite
{
    QString key;
    QVariant value;
    quint64 sequence = 0;
};

class ProfilePrivate
{
public:
    explicit ProfilePrivate(Profile *q) : q_ptr(q) {}

    bool onStoreThread() const { return QThread::currentThread() == q_ptr->thread(); }
    // The named connection, made first if the store still owes it (first use
    // on another thread). Only the store's thread may use it.
    QSqlDatabase connection(const char *name) const;
    void openPendingConnections() const;

    // Changes the cache and queues its write in one step, then writes or has
    // the store's thread write. remove forgets the key, else value is set.
    void changeAndSave(const QString &key, const QVariant &value, bool remove);
    // Writes the saves queued when it began, oldest first, and tells whether
    // none is left. It stops early when the database is busy (the rest stay
    // queued and a retry is timed); saves queued meanwhile get a drain posted.
    // Without a deadline a statement waits the connection's busy time-out, or
    // not at all while saves are pending already; with one, at most until it.
    // On the store's thread only.
    bool drain(const QDeadlineTimer *deadline = nullptr);
    void postDrain();
    enum WriteResult { Written, Busy, Failed };
    WriteResult write(const PendingWrite &pending, int busyWaitMs);
    void scheduleRetry();
    // With lock held for writing.
    void recordFailure(const QString &key, const QString &reason);
    void recordProblem(Profile::Status problem, const QString &text);
    // Shows a start-up problem in a warning box and records it.
    void startupProblem(const QString &text);

    Profile *const q_ptr;
    QDir workdir;
    // Every key the store knows; a looked-up miss is held as an invalid QVariant.
    QHash<QString, QVariant> cache;
    mutable CacheLock lock;

    // Guarded by lock. Saves are queued in the order they change the cache, so
    // the file ends as the cache ended. A queued save that a later one of the
    // same key supersedes is skipped: latest holds the newest queued sequence
    // number of each key with a save waiting.
    QQueue<PendingWrite> writes;
    QHash<QString, quint64> latest;
    quint64 sequence = 0;
    bool drainPosted = false;
    Profile::Status status = Profile::NoError;
    QString errorString;

    // Guarded by lock. busy: the head of writes failed because another program
    // held the database; busyReason is the database's text for it.
    bool busy = false;
    QString busyReason;

    // Set at start-up. persistent: a profile was found and read whole, so
    // saves go to its file; otherwise notSaved tells why they do not.
    bool persistent = false;
    QString notSaved;
    QString profilePath;
    QStringList otherPaths; // data, quality control, system log
    // Set when the store was first used off the main thread and its
    // connections are still to be made there.
    mutable std::atomic<bool> connectionsPending{false};

    // On the store's thread only: a drain is running (a save made meanwhile,
    // by a message handler say, is left to the drain it posts).
    bool draining = false;
    // On the store's thread only: the timer of the next try while busy, and
    // its interval, which grows while the lock stays.
    QTimer *retryTimer = nullptr;
    int retryDelay = 0;
    // On the store's thread only: the store is being destroyed; no more tries are timed.
    bool closing = false;
    // Writes what is queued, once, and counts what is lost (at destruction,
    // or for the process-wide store when the application object goes).
    void close();
    bool closed = false;
};

#endif // PROFILE_P_H
