#ifndef QVPRIVATE_P_H
#define QVPRIVATE_P_H

// Small helpers that several of the library's sources share; not installed.

#include <QtCore/QtGlobal>

#include <chrono>

namespace QvPrivate {

// Milliseconds on the monotonic clock, for deadlines and waits: a change of the wall
// clock moves neither.
inline qint64 steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Dropping what waits in a line's input reads at most MaxDiscardReads times, so a peer
// that never pauses cannot hold it, DiscardChunk bytes at a time.
constexpr int MaxDiscardReads = 16;
constexpr int DiscardChunk = 256;

} // namespace QvPrivate

// Qt's locks are not instrumented, so a ThreadSanitizer build is told what they do;
// otherwise these cost nothing. w is 1 for a lock taken for writing (exclusively).
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

#endif // QVPRIVATE_P_H
