// A mutex that clang's -Wthread-safety can reason about, and the annotation
// macros that go with it. On other compilers the macros expand to nothing and
// Mutex is a plain std::mutex.
//
// Mutex and MutexLock are as thread-safe as std::mutex and std::lock_guard.
#pragma once

#include <mutex>

#if defined(__clang__)
#define SORVANE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define SORVANE_THREAD_ANNOTATION(x)
#endif

#define SORVANE_CAPABILITY(x) SORVANE_THREAD_ANNOTATION(capability(x))
#define SORVANE_SCOPED_CAPABILITY SORVANE_THREAD_ANNOTATION(scoped_lockable)
#define SORVANE_GUARDED_BY(x) SORVANE_THREAD_ANNOTATION(guarded_by(x))
#define SORVANE_PT_GUARDED_BY(x) SORVANE_THREAD_ANNOTATION(pt_guarded_by(x))
#define SORVANE_REQUIRES(...) SORVANE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define SORVANE_ACQUIRE(...) SORVANE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define SORVANE_RELEASE(...) SORVANE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define SORVANE_EXCLUDES(...) SORVANE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define SORVANE_NO_THREAD_SAFETY_ANALYSIS SORVANE_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace sorvane {

class SORVANE_CAPABILITY("mutex") Mutex {
public:
    void lock() SORVANE_ACQUIRE() { m_mutex.lock(); }
    void unlock() SORVANE_RELEASE() { m_mutex.unlock(); }
    // For std::condition_variable; the analysis does not follow waits.
    std::mutex& native() { return m_mutex; }

private:
    std::mutex m_mutex;
};

class SORVANE_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) SORVANE_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~MutexLock() SORVANE_RELEASE() { m_mutex.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& m_mutex;
};

} // namespace sorvane
