// Clang's thread-safety annotations, and a mutex and a lock that carry them, so that the
// compiler checks which lock guards which shared word (-Wthread-safety in the dev preset).
// Other compilers see plain code.
//
//   sorvel::Mutex g_lock;
//   int g_count GUARDED_BY(g_lock);
//   void Bump() REQUIRES(g_lock);
//   { sorvel::MutexLock lock(g_lock); ++g_count; }
#pragma once

#include <mutex>

#if defined(__clang__)
#define SORVEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define SORVEL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) SORVEL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY SORVEL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) SORVEL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) SORVEL_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) SORVEL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) SORVEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) SORVEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) SORVEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) SORVEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) SORVEL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS SORVEL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace sorvel {

// A std::mutex the analysis knows as a lock. Also a standard Lockable, for std::lock_guard and
// std::unique_lock where the analysis is not wanted (tests).
class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

private:
    std::mutex m_mutex;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~MutexLock() RELEASE() { m_mutex.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& m_mutex;
};

} // namespace sorvel
