// Worker threads of the support library.
#pragma once

#include <Poco/Thread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace Orvane {
namespace Common {

// The body of a worker thread.
class CThreadSink {
public:
    // CThreadEx: one pass, called again and again. Return true when the pass did work (the
    // next pass follows at once) and false when it found nothing to do (the next pass
    // follows after a pause of kIdlePauseMs, cut short by stop).
    // CMutliThread: the whole life of one thread of the group, (id, index).
    virtual bool run(unsigned arg1, unsigned arg2) = 0;

protected:
    ~CThreadSink() = default;
};

// One worker thread that calls its sink's run until stop.
// Threads: start, stop and isRunning from one controlling thread.
class CThreadEx {
public:
    enum { kIdlePauseMs = 1, kDefaultStopTimeoutMs = 5000 };

    CThreadEx();
    // Stops the thread (waiting at most the default time-out, errors swallowed).
    ~CThreadEx();
    CThreadEx(const CThreadEx&) = delete;
    CThreadEx& operator=(const CThreadEx&) = delete;

    // Starts calling sink->run(arg1, arg2). False when already running or sink is null.
    bool start(unsigned arg1, CThreadSink* sink, unsigned arg2);
    // Asks the thread to end after its current pass and waits up to timeoutMs for it.
    // Throws Poco::TimeoutException when the pass does not return in time; the thread then
    // ends on its own once the pass returns, and a later stop waits for it again.
    void stop(long timeoutMs = kDefaultStopTimeoutMs);
    // True while the thread is running (started and not yet ended).
    bool isRunning() const;
    // True on the worker thread itself.
    bool isCurrent() const;
    // The thread object of the current (or last) start.
    Poco::Thread& GetThread() { return *m_thread; }

private:
    struct State;
    std::shared_ptr<State> m_state;
    std::unique_ptr<Poco::Thread> m_thread;
    bool m_bStarted = false;
};

// A group of threads that each run the sink's run(id, index) once.
// Threads: start and stopAll from one controlling thread; isThreadStop from any thread.
class CMutliThread {
public:
    enum { kDefaultStopTimeoutMs = 5000 };

    CMutliThread();
    ~CMutliThread();
    CMutliThread(const CMutliThread&) = delete;
    CMutliThread& operator=(const CMutliThread&) = delete;

    // Starts count threads, thread i calling sink->run(id, i). False when the group is
    // already running, count is 0, sink is null or a thread cannot be started (those that
    // did start are stopped again).
    bool start(unsigned char count, unsigned id, CThreadSink* sink,
               Poco::Thread::Priority priority = Poco::Thread::PRIO_NORMAL);
    // True once stopAll has asked the group to end (for a run that polls it), or for an id
    // or index that is not one of this group's.
    bool isThreadStop(unsigned id, unsigned index) const;
    // Asks every thread to end and waits up to timeoutMs in all; throws
    // Poco::TimeoutException when one has not returned by then.
    void stopAll(long timeoutMs = kDefaultStopTimeoutMs);
    // Number of threads of the group still running.
    unsigned runningCount() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
    std::vector<std::unique_ptr<Poco::Thread>> m_threads;
};

// Sleeps to absolute deadlines so that a fixed-period loop does not drift: each Wait ends
// one period after the previous deadline, not after the previous wake-up.
// Threads: one thread.
class CAccurateWaitTime {
public:
    CAccurateWaitTime();
    // Sleeps until the next deadline, periodMs after the last one. bRestart true (or the
    // first call, or a deadline already more than one period in the past) restarts the
    // schedule from now. Returns the milliseconds actually slept.
    int Wait(int periodMs, bool bRestart = false);

    // The schedule rule on its own: the deadline that follows lastUs (0: none yet) at nowUs.
    static int64_t NextDeadline(int64_t lastUs, int64_t nowUs, int64_t periodUs, bool bRestart);

private:
    int64_t m_nextDeadlineUs;
};

}  // namespace Common
}  // namespace Orvane
