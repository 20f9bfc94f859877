#ifndef PROFILE_P_H
#define PROFILE_P_H

#include <QtCore/QDir>
#include <QtCore/QHash>
#include <QtCore/QReadWriteLock>
#include <QtCore/QString>
#include <QtCore/QVariant>

// Qt's lock is not instrumented, so a ThreadSanitizer build is told what it
// does; otherwise these cost nothing.
#if defined(__SANITIZE_THREAD__)
extern "C" {
void AnnotateRWLockCreate(const char *file, int line, const volatile void *lock);
void AnnotateRWLockDestroy(const char *file, int line, const volatile void *lock);
void AnnotateRWLockAcquired(const char *file, int line, const volatile void *lock, long isWrite);
void AnnotateRWLockReleased(const char *file, int line, const volatile void *lock, long isWrite);
}
#  define QV_RWLOCK_CREATE(l) AnnotateRWLockCreate(__FILE__, __LINE__, (l))
#  define QV_RWLOCK_DESTROY(l) AnnotateRWLockDestroy(__FILE__, __LINE__, (l))
#  define QV_RWLOCK_ACQUIRED(l, w) AnnotateRWLockAcquired(__FILE__, __LINE__, (l), (w))
#  define QV_RWLOCK_RELEASED(l, w) AnnotateRWLockReleased(__FILE__, __LINE__, (l), (w))
#else
#  define QV_RWLOCK_CREATE(l) ((void)0)
#  define QV_RWLOCK_DESTROY(l) ((void)0)
#  define QV_RWLOCK_ACQUIRED(l, w) ((void)0)
#  define QV_RWLOCK_RELEASED(l, w) ((void)0)
#endif

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

class ProfilePrivate
{
public:
    QDir workdir;
    // Every key the store knows; a looked-up miss is held as an invalid QVariant.
    QHash<QString, QVariant> cache;
    mutable CacheLock lock;
};

#endif // PROFILE_P_H
