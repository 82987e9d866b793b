// The operating-system layer under the message-thread runtime: events, a joinable thread,
// a re-entrant lock and the 32-bit millisecond clock. Everything above it is portable.
// Internal to the runtime (and its tests); the public headers only forward-declare these.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace mtp {

// Milliseconds of the monotonic clock truncated to 32 bits: it wraps after about 49.7 days,
// so durations are always 32-bit differences. Any thread.
uint32_t NowMs();

// Replaces the clock (null restores the monotonic one). For tests that need to place time,
// for example right before the 32-bit wrap. Any thread; set it while no runtime thread reads
// the clock.
using ClockFunction = uint32_t (*)();
void SetClockForTesting(ClockFunction clock);

namespace os {

// The kernel id of a thread (what debuggers and `top -H` show); never 0.
using ThreadId = uint32_t;
ThreadId CurrentThreadId();

// Names the calling thread for debuggers (at most 15 characters are kept).
void SetCurrentThreadName(const std::string& name);

// An event in the Windows sense: automatic-reset (a successful wait consumes the signal and
// releases one waiter) or manual-reset (stays signalled until Reset). Any thread. A Set may
// still touch the event after a waiter has returned: whoever destroys an event makes sure no
// Set is in progress (the runtime sets a sender's event only under the target's lock, which
// the sender takes before it leaves).
class Event {
public:
    Event(bool manual_reset, bool initially_signalled);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // Waits at most timeout_ms (negative: no limit, 0: just test). True when signalled.
    bool Wait(int timeout_ms);
    // True while signalled, without consuming the signal.
    bool IsSet() const { return m_bSignalled.load(std::memory_order_acquire); }

private:
    const bool m_bManualReset;
    std::atomic<bool> m_bSignalled;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    int m_nWaiters = 0;  // guarded by m_mutex
};

// A re-entrant lock: the owning thread may take it again; it is free after as many unlocks.
// Spins briefly before sleeping, since the runtime holds it only for a few list operations.
class RecursiveLock {
public:
    RecursiveLock() = default;
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

    void Lock();
    void Unlock();

private:
    std::mutex m_mutex;
    std::atomic<const void*> m_owner{nullptr};  // a per-thread token, null when free
    int m_nDepth = 0;                           // written by the owner only
};

class ScopedLock {
public:
    explicit ScopedLock(RecursiveLock& lock) : m_lock(lock) { m_lock.Lock(); }
    ~ScopedLock() { m_lock.Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    RecursiveLock& m_lock;
};

// One joinable OS thread with the default stack size.
// Threads: Start and Join from the controlling thread(s); Join may be called more than once.
class OsThread {
public:
    using Entry = void (*)(void* arg);

    OsThread() = default;
    ~OsThread();
    OsThread(const OsThread&) = delete;
    OsThread& operator=(const OsThread&) = delete;

    // Creates the thread running entry(arg); returns once the thread's id is known.
    // False when the system refuses to create it or a thread is already attached.
    bool Start(Entry entry, void* arg);
    // Waits without limit for the thread to end and detaches it. No effect when none.
    void Join();
    // The kernel id of the attached thread, 0 when none.
    ThreadId Id() const { return m_id.load(std::memory_order_acquire); }

private:
    struct StartRecord;
    static void* Trampoline(void* record);

    std::mutex m_joinMutex;  // serialises Start and Join
    bool m_bAttached = false;
    unsigned long m_handle = 0;  // pthread_t
    std::atomic<ThreadId> m_id{0};
};

}  // namespace os
}  // namespace mtp
