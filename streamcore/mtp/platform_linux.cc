// Linux backend of the runtime's OS layer: pthreads, mutex + condition-variable events,
// CLOCK_MONOTONIC.
#include "mtp/platform.h"

#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

#include "mtp/logging.h"

namespace mtp {
namespace {

uint32_t MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

std::atomic<ClockFunction> g_clock{nullptr};

}  // namespace

uint32_t NowMs() {
    ClockFunction clock = g_clock.load(std::memory_order_acquire);
    return clock ? clock() : MonotonicMs();
}

void SetClockForTesting(ClockFunction clock) { g_clock.store(clock, std::memory_order_release); }

namespace os {

ThreadId CurrentThreadId() {
    static thread_local ThreadId t_id = static_cast<ThreadId>(syscall(SYS_gettid));
    return t_id;
}

void SetCurrentThreadName(const std::string& name) {
    // The kernel keeps 15 characters and a terminating zero.
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

std::string SystemErrorMessage(int error) {
    char buffer[256];
    // GNU strerror_r: returns the text, which may or may not live in buffer.
    const char* message = strerror_r(error, buffer, sizeof buffer);
    std::string text = message ? message : "";
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r' || text.back() == '\t'))
        text.pop_back();
    return text;
}

namespace {
void WriteAll(const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to write; a log line is not worth more
        p += n;
        left -= static_cast<size_t>(n);
    }
}
}  // namespace

void WriteLogLine(const std::string& line, int colourAttribute) {
    // No debugger channel here: standard error only, coloured with ANSI escapes on a terminal.
    const std::string colour = LogMessage::AnsiForAttribute(colourAttribute);
    if (colour.empty() || line.empty() || !isatty(STDERR_FILENO)) {
        WriteAll(line);
        return;
    }
    // Colour around the text only, so the newline leaves the terminal in its own colour.
    std::string text = line;
    const bool newline = text.back() == '\n';
    if (newline) text.pop_back();
    WriteAll(colour + text + "\x1b[0m" + (newline ? "\n" : ""));
}

// ---- Event

Event::Event(bool manual_reset, bool initially_signalled)
    : m_bManualReset(manual_reset), m_bSignalled(initially_signalled) {}

void Event::Set() {
    // Already signalled: nothing changes, and a waiter that consumes the signal after this
    // point still looks at whatever the caller published before calling Set.
    if (m_bSignalled.load(std::memory_order_seq_cst)) return;
    bool wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bSignalled.store(true, std::memory_order_seq_cst);
        wake = m_nWaiters > 0;
    }
    // Notified after the unlock so that the woken thread does not at once block on the
    // mutex. So the event must outlive a Set in progress (see the class comment).
    if (wake) {
        if (m_bManualReset)
            m_cond.notify_all();
        else
            m_cond.notify_one();
    }
}

bool Event::IsSet() const { return m_bSignalled.load(std::memory_order_acquire); }

void Event::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bSignalled.store(false, std::memory_order_seq_cst);
}

bool Event::Wait(int timeout_ms) {
    auto take = [this]() {
        if (m_bManualReset) return m_bSignalled.load(std::memory_order_seq_cst);
        return m_bSignalled.exchange(false, std::memory_order_seq_cst);
    };
    std::unique_lock<std::mutex> lock(m_mutex);
    if (take()) return true;
    if (timeout_ms == 0) return false;
    if (timeout_ms < 0) {
        while (!take()) {
            ++m_nWaiters;
            m_cond.wait(lock);
            --m_nWaiters;
        }
        return true;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!take()) {
        ++m_nWaiters;
        const std::cv_status status = m_cond.wait_until(lock, until);
        --m_nWaiters;
        if (status == std::cv_status::timeout) return take();
    }
    return true;
}

// ---- RecursiveLock

namespace {
// The address of a thread-local object identifies the calling thread.
const void* ThreadToken() {
    static thread_local char t_token;
    return &t_token;
}
}  // namespace

void RecursiveLock::Lock() {
    const void* self = ThreadToken();
    // Only this thread ever stores its own token, so reading it back means we own the lock.
    if (m_owner.load(std::memory_order_relaxed) == self) {
        ++m_nDepth;
        return;
    }
    bool taken = m_mutex.try_lock();
    // Spin on a plain read while the owner holds it (the owner clears m_owner just before
    // it unlocks), then try again; sleep only after that.
    for (int spin = 0; spin < 256 && !taken; ++spin) {
        if (m_owner.load(std::memory_order_relaxed) == nullptr) {
            taken = m_mutex.try_lock();
        } else {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
    }
    if (!taken) m_mutex.lock();
    m_owner.store(self, std::memory_order_relaxed);
    m_nDepth = 1;
}

void RecursiveLock::Unlock() {
    if (--m_nDepth > 0) return;
    m_owner.store(nullptr, std::memory_order_relaxed);
    m_mutex.unlock();
}

// ---- OsThread

struct OsThread::StartRecord {
    Entry entry;
    void* arg;
    OsThread* owner;
    // Start waits for this and then frees the record, so the child must be done with it
    // when the creator wakes: everything happens under the mutex.
    std::mutex mutex;
    std::condition_variable cond;
    bool started = false;
};

OsThread::~OsThread() { Join(); }

void* OsThread::Trampoline(void* p) {
    StartRecord* record = static_cast<StartRecord*>(p);
    const Entry entry = record->entry;
    void* arg = record->arg;
    record->owner->m_id.store(CurrentThreadId(), std::memory_order_release);
    {
        std::lock_guard<std::mutex> lock(record->mutex);
        record->started = true;
        record->cond.notify_one();
    }  // the record belongs to Start from here on
    entry(arg);
    return nullptr;
}

bool OsThread::Start(Entry entry, void* arg) {
    std::lock_guard<std::mutex> lock(m_joinMutex);
    if (m_bAttached) return false;
    StartRecord record;
    record.entry = entry;
    record.arg = arg;
    record.owner = this;
    pthread_t handle;
    if (pthread_create(&handle, nullptr, &OsThread::Trampoline, &record) != 0) return false;
    {
        std::unique_lock<std::mutex> wait(record.mutex);
        record.cond.wait(wait, [&] { return record.started; });
    }
    m_handle = static_cast<unsigned long>(handle);
    m_bAttached = true;
    return true;
}

bool OsThread::Adopt(int* error) {
    std::lock_guard<std::mutex> lock(m_joinMutex);
    if (m_bAttached) {
        if (error) *error = EBUSY;
        return false;
    }
    // A thread is referred to by its pthread_t; there is no handle to open.
    m_handle = static_cast<unsigned long>(pthread_self());
    m_bAttached = m_bAdopted = true;
    m_id.store(CurrentThreadId(), std::memory_order_release);
    return true;
}

void OsThread::Join() {
    std::lock_guard<std::mutex> lock(m_joinMutex);
    if (!m_bAttached) return;
    if (!m_bAdopted) pthread_join(static_cast<pthread_t>(m_handle), nullptr);
    m_bAttached = m_bAdopted = false;
    m_handle = 0;
    m_id.store(0, std::memory_order_release);
}

}  // namespace os
}  // namespace mtp
