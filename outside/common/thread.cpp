#include "common/thread.h"
#include "common/util.h"

#include <Poco/Event.h>
#include <Poco/Exception.h>

#include <signal.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace Orvane {
namespace Common {

namespace {

// Time left of a budget that started at startUs, in whole milliseconds (at least 0).
long RemainingMs(int64_t startUs, long budgetMs) {
    const int64_t left = budgetMs - (ovMonotonicUs() - startUs) / 1000;
    return left > 0 ? static_cast<long>(left) : 0;
}

}  // namespace

// Shared with the worker, so that a thread that outlives a timed-out stop still has it.
struct CThreadEx::State {
    std::mutex mutex;
    std::condition_variable wake;
    bool stopRequested = false;
    std::atomic<bool> running{false};
};

CThreadEx::CThreadEx() : m_thread(new Poco::Thread) {}

CThreadEx::~CThreadEx() {
    if (!m_state) return;
    try {
        stop();
    } catch (...) {
        // The thread ends on its own when its pass returns; it holds its own state.
    }
}

bool CThreadEx::start(unsigned arg1, CThreadSink* sink, unsigned arg2) {
    if (!sink || isRunning()) return false;
    if (m_bStarted) {
        // A Poco::Thread runs once; a restart gets a fresh one. The last one has ended its
        // loop (or is leaving it) and is detached if it was never joined.
        m_thread.reset(new Poco::Thread);
    }
    std::shared_ptr<State> state = std::make_shared<State>();
    state->running = true;
    try {
        m_thread->startFunc([state, sink, arg1, arg2] {
            while (true) {
                {
                    std::lock_guard<std::mutex> lock(state->mutex);
                    if (state->stopRequested) break;
                }
                bool busy = false;
                try {
                    busy = sink->run(arg1, arg2);
                } catch (...) {
                    busy = false;
                }
                if (!busy) {
                    std::unique_lock<std::mutex> lock(state->mutex);
                    state->wake.wait_for(lock, std::chrono::milliseconds(kIdlePauseMs),
                                         [&] { return state->stopRequested; });
                }
            }
            state->running = false;
        });
    } catch (...) {
        return false;
    }
    m_state = state;
    m_bStarted = true;
    return true;
}

void CThreadEx::stop(long timeoutMs) {
    if (!m_state) return;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->stopRequested = true;
    }
    m_state->wake.notify_all();
    if (isCurrent()) return;  // a pass that stops its own thread: the loop ends after it
    if (!m_thread->tryJoin(timeoutMs)) throw Poco::TimeoutException("CThreadEx::stop");
    m_state.reset();
}

bool CThreadEx::isRunning() const { return m_state && m_state->running.load(); }

bool CThreadEx::isCurrent() const { return Poco::Thread::current() == m_thread.get(); }

struct CMutliThread::State {
    std::atomic<bool> stop{false};
    unsigned id = 0;
    unsigned count = 0;
    std::atomic<unsigned> running{0};
};

CMutliThread::CMutliThread() = default;

CMutliThread::~CMutliThread() {
    try {
        stopAll();
    } catch (...) {
    }
}

bool CMutliThread::start(unsigned char count, unsigned id, CThreadSink* sink,
                         Poco::Thread::Priority priority) {
    if (!sink || count == 0 || !m_threads.empty()) return false;
    std::shared_ptr<State> state = std::make_shared<State>();
    state->id = id;
    state->count = count;
    m_state = state;
    for (unsigned i = 0; i < count; ++i) {
        std::unique_ptr<Poco::Thread> thread(new Poco::Thread);
        try {
            thread->setPriority(priority);
        } catch (...) {
            // Priorities that the system refuses fall back to the default.
        }
        state->running++;
        try {
            thread->startFunc([state, sink, id, i] {
                try {
                    sink->run(id, i);
                } catch (...) {
                }
                state->running--;
            });
        } catch (...) {
            state->running--;
            try {
                stopAll();
            } catch (...) {
            }
            return false;
        }
        m_threads.push_back(std::move(thread));
    }
    return true;
}

bool CMutliThread::isThreadStop(unsigned id, unsigned index) const {
    std::shared_ptr<State> state = m_state;
    if (!state) return true;
    return state->stop.load() || id != state->id || index >= state->count;
}

void CMutliThread::stopAll(long timeoutMs) {
    if (m_state) m_state->stop = true;
    const int64_t startUs = ovMonotonicUs();
    for (auto& thread : m_threads) {
        if (Poco::Thread::current() == thread.get()) continue;
        if (!thread->tryJoin(RemainingMs(startUs, timeoutMs)))
            throw Poco::TimeoutException("CMutliThread::stopAll");
    }
    m_threads.clear();
}

unsigned CMutliThread::runningCount() const { return m_state ? m_state->running.load() : 0; }

CAccurateWaitTime::CAccurateWaitTime() : m_nextDeadlineUs(0) {}

int64_t CAccurateWaitTime::NextDeadline(int64_t lastUs, int64_t nowUs, int64_t periodUs, bool bRestart) {
    // Falling more than a whole period behind (a stall) restarts the schedule instead of
    // firing a burst of catch-up passes.
    if (bRestart || lastUs == 0 || nowUs - lastUs > periodUs) return nowUs + periodUs;
    return lastUs + periodUs;
}

int CAccurateWaitTime::Wait(int periodMs, bool bRestart) {
    if (periodMs < 0) periodMs = 0;
    const int64_t period = static_cast<int64_t>(periodMs) * 1000;
    const int64_t now = ovMonotonicUs();
    m_nextDeadlineUs = NextDeadline(m_nextDeadlineUs, now, period, bRestart);
    if (m_nextDeadlineUs <= now) return 0;
#ifdef _WIN32
    // winpthreads sleeps until an absolute time on the real-time clock only (EINVAL for the
    // monotonic one, without sleeping): sleep what is left instead.
    for (int64_t left; (left = m_nextDeadlineUs - ovMonotonicUs()) > 0;)
        std::this_thread::sleep_for(std::chrono::microseconds(left));
#else
    timespec ts;
    ts.tv_sec = static_cast<time_t>(m_nextDeadlineUs / 1000000);
    ts.tv_nsec = static_cast<long>((m_nextDeadlineUs % 1000000) * 1000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
#endif
    return static_cast<int>((ovMonotonicUs() - now) / 1000);
}

}  // namespace Common
}  // namespace Orvane
