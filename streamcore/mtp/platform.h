// The operating-system layer under the message-thread runtime: events, a joinable thread,
// a re-entrant lock, the 32-bit millisecond clock and the diagnostic log's output. One
// backend per system (platform_linux.cc, platform_win32.cc); everything above it is portable.
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

// Names the calling thread for debuggers (Linux keeps at most 15 characters).
void SetCurrentThreadName(const std::string& name);

// The system's description of an error code (errno on Linux, GetLastError on Windows), with
// trailing white space removed; "" when the system has none.
std::string SystemErrorMessage(int error);

// Writes one finished diagnostic line (newline included): to the debugger output where the
// system has one, then to standard error, in the console colour attribute given (7 normal,
// 14 yellow, 12 light red) when standard error is a console. One write call per line.
void WriteLogLine(const std::string& line, int colourAttribute);

// An event in the Windows sense: automatic-reset (a successful wait consumes the signal and
// releases one waiter) or manual-reset (stays signalled until Reset). Any thread. A Set may
// still touch the event after a waiter has returned: whoever destroys an event makes sure no
// Set is in progress (the runtime sets a sender's event only under the target's lock, which
// the sender takes before it leaves).
class Event {
public:
    Event(bool manual_reset, bool initially_signalled);
#ifdef _WIN32
    ~Event();
#endif
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // Waits at most timeout_ms (negative: no limit, 0: just test). True when signalled.
    bool Wait(int timeout_ms);
    // True while signalled, without consuming the signal (meant for manual-reset events).
    bool IsSet() const;

private:
#ifdef _WIN32
    void* m_hEvent;  // the kernel event (HANDLE)
#else
    const bool m_bManualReset;
    std::atomic<bool> m_bSignalled;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    int m_nWaiters = 0;  // guarded by m_mutex
#endif
};

// A re-entrant lock: the owning thread may take it again; it is free after as many unlocks.
// Spins briefly before sleeping, since the runtime holds it only for a few list operations.
class RecursiveLock {
public:
#ifdef _WIN32
    RecursiveLock();
    ~RecursiveLock();
#else
    RecursiveLock() = default;
#endif
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

    void Lock();
    void Unlock();

private:
#ifdef _WIN32
    // A CRITICAL_SECTION (24 bytes on 32-bit Windows, 40 on 64-bit), kept opaque here so that
    // this header does not pull in the Windows headers.
    alignas(8) unsigned char m_section[sizeof(void*) == 4 ? 24 : 40];
#else
    std::mutex m_mutex;
    std::atomic<const void*> m_owner{nullptr};  // a per-thread token, null when free
    int m_nDepth = 0;                           // written by the owner only
#endif
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
    // Attaches the calling thread, which this object did not create, so that it has a handle
    // the system can wait on. Join then only lets go of it. False when the system refuses,
    // with its error code in *error.
    bool Adopt(int* error);
    // Waits without limit for the thread to end and detaches it. No effect when none.
    void Join();
    // The kernel id of the attached thread, 0 when none.
    ThreadId Id() const { return m_id.load(std::memory_order_acquire); }

private:
    struct StartRecord;
#ifdef _WIN32
    static unsigned __stdcall Trampoline(void* record);
#else
    static void* Trampoline(void* record);
#endif

    std::mutex m_joinMutex;  // serialises Start, Adopt and Join
    bool m_bAttached = false;
    bool m_bAdopted = false;
#ifdef _WIN32
    void* m_handle = nullptr;  // HANDLE
#else
    unsigned long m_handle = 0;  // pthread_t
#endif
    std::atomic<ThreadId> m_id{0};
};

}  // namespace os
}  // namespace mtp
