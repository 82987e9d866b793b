// Lock annotations that clang's -Wthread-safety checks, and mutex types that carry them.
//
// A member written `int m_count OV_GUARDED_BY(m_lock);` may only be touched while m_lock is
// held; clang reports every access without it. On other compilers the macros expand to
// nothing and the types are plain wrappers around the standard ones.
// Threads: the types are as thread-safe as the standard mutexes they wrap.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define OV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define OV_THREAD_ANNOTATION(x)
#endif

#define OV_CAPABILITY(x) OV_THREAD_ANNOTATION(capability(x))
#define OV_SCOPED_CAPABILITY OV_THREAD_ANNOTATION(scoped_lockable)
#define OV_GUARDED_BY(x) OV_THREAD_ANNOTATION(guarded_by(x))
#define OV_PT_GUARDED_BY(x) OV_THREAD_ANNOTATION(pt_guarded_by(x))
#define OV_REQUIRES(...) OV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define OV_REQUIRES_SHARED(...) OV_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define OV_ACQUIRE(...) OV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define OV_ACQUIRE_SHARED(...) OV_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define OV_RELEASE(...) OV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define OV_RELEASE_SHARED(...) OV_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define OV_RELEASE_GENERIC(...) OV_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define OV_TRY_ACQUIRE(...) OV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define OV_EXCLUDES(...) OV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define OV_NO_THREAD_SAFETY_ANALYSIS OV_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace Orvane {
namespace Common {

// std::mutex with the annotations. BasicLockable, so std::condition_variable_any waits on
// a MutexLock over it.
class OV_CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() OV_ACQUIRE() { m_mutex.lock(); }
    void unlock() OV_RELEASE() { m_mutex.unlock(); }
    bool try_lock() OV_TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

private:
    std::mutex m_mutex;
};

// std::shared_mutex with the annotations.
class OV_CAPABILITY("shared mutex") SharedMutex {
public:
    SharedMutex() = default;
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;

    void lock() OV_ACQUIRE() { m_mutex.lock(); }
    void unlock() OV_RELEASE() { m_mutex.unlock(); }
    void lock_shared() OV_ACQUIRE_SHARED() { m_mutex.lock_shared(); }
    void unlock_shared() OV_RELEASE_SHARED() { m_mutex.unlock_shared(); }

private:
    std::shared_mutex m_mutex;
};

// Holds a Mutex for its scope. unlock() and lock() let it be released early or waited on
// (std::condition_variable_any::wait(lock) calls them).
class OV_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) OV_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~MutexLock() OV_RELEASE() {
        if (m_locked) m_mutex.unlock();
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void lock() OV_ACQUIRE() {
        m_mutex.lock();
        m_locked = true;
    }
    void unlock() OV_RELEASE() {
        m_locked = false;
        m_mutex.unlock();
    }

private:
    Mutex& m_mutex;
    bool m_locked = true;
};

// Holds a SharedMutex exclusively for its scope.
class OV_SCOPED_CAPABILITY WriteLock {
public:
    explicit WriteLock(SharedMutex& mutex) OV_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~WriteLock() OV_RELEASE() { m_mutex.unlock(); }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

private:
    SharedMutex& m_mutex;
};

// Holds a SharedMutex shared for its scope.
class OV_SCOPED_CAPABILITY ReadLock {
public:
    explicit ReadLock(SharedMutex& mutex) OV_ACQUIRE_SHARED(mutex) : m_mutex(mutex) { m_mutex.lock_shared(); }
    ~ReadLock() OV_RELEASE_GENERIC() { m_mutex.unlock_shared(); }
    ReadLock(const ReadLock&) = delete;
    ReadLock& operator=(const ReadLock&) = delete;

private:
    SharedMutex& m_mutex;
};

}  // namespace Common
}  // namespace Orvane
