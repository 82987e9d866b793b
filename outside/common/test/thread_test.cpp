#include "common/thread.h"

#include <gtest/gtest.h>

#include <Poco/Exception.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

using namespace Orvane::Common;

namespace {

class CountingSink : public CThreadSink {
public:
    bool run(unsigned a, unsigned b) override {
        lastA = a;
        lastB = b;
        ++passes;
        return busy.load();
    }
    std::atomic<int> passes{0};
    std::atomic<unsigned> lastA{0}, lastB{0};
    std::atomic<bool> busy{false};
};

// A pass that does not return until released.
class StuckSink : public CThreadSink {
public:
    bool run(unsigned, unsigned) override {
        entered = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return false;
    }
    std::atomic<bool> entered{false}, release{false};
};

class GroupSink : public CThreadSink {
public:
    explicit GroupSink(CMutliThread& group) : m_group(group) {}
    bool run(unsigned id, unsigned index) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            seen.insert(index);
            ids.insert(id);
        }
        while (!m_group.isThreadStop(id, index)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++returned;
        return true;
    }
    std::mutex m_mutex;
    std::set<unsigned> seen, ids;
    std::atomic<int> returned{0};

private:
    CMutliThread& m_group;
};

void WaitFor(const std::function<bool()>& cond) {
    for (int i = 0; i < 5000 && !cond(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

TEST(CThreadEx, RunsPassesUntilStopAndRestarts) {
    CountingSink sink;
    CThreadEx thread;
    EXPECT_FALSE(thread.isRunning());
    EXPECT_FALSE(thread.start(0, nullptr, 0));
    ASSERT_TRUE(thread.start(7, &sink, 9));
    EXPECT_FALSE(thread.start(7, &sink, 9));  // already running
    WaitFor([&] { return sink.passes >= 3; });
    EXPECT_GE(sink.passes, 3);
    EXPECT_EQ(sink.lastA, 7u);
    EXPECT_EQ(sink.lastB, 9u);
    EXPECT_TRUE(thread.isRunning());
    thread.stop();
    EXPECT_FALSE(thread.isRunning());
    const int after = sink.passes;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(sink.passes, after);

    // Idle passes are paced; busy passes follow each other at once.
    ASSERT_TRUE(thread.start(1, &sink, 2));
    sink.passes = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int idle = sink.passes;
    sink.busy = true;
    sink.passes = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int busy = sink.passes;
    thread.stop();
    EXPECT_LT(idle, 150);
    EXPECT_GT(busy, idle * 10);
}

TEST(CThreadEx, StopOnAPassThatNeverReturnsTimesOut) {
    StuckSink sink;
    CThreadEx thread;
    ASSERT_TRUE(thread.start(0, &sink, 0));
    WaitFor([&] { return sink.entered.load(); });
    EXPECT_THROW(thread.stop(50), Poco::TimeoutException);
    EXPECT_TRUE(thread.isRunning());
    sink.release = true;
    thread.stop();  // waits again, now successfully
    EXPECT_FALSE(thread.isRunning());
}

TEST(CMutliThread, RunsOncePerThreadAndStopsAll) {
    CMutliThread group;
    GroupSink sink(group);
    EXPECT_TRUE(group.isThreadStop(16, 0));  // not started
    ASSERT_TRUE(group.start(3, 16, &sink));
    EXPECT_FALSE(group.start(1, 16, &sink));
    WaitFor([&] {
        std::lock_guard<std::mutex> lock(sink.m_mutex);
        return sink.seen.size() == 3;
    });
    EXPECT_EQ(group.runningCount(), 3u);
    EXPECT_FALSE(group.isThreadStop(16, 2));
    EXPECT_TRUE(group.isThreadStop(16, 3));  // not one of the group
    EXPECT_TRUE(group.isThreadStop(17, 0));
    group.stopAll();
    EXPECT_EQ(sink.returned, 3);
    EXPECT_EQ(group.runningCount(), 0u);
    EXPECT_EQ(sink.ids, std::set<unsigned>{16});
    EXPECT_FALSE(group.start(0, 16, &sink));
}

TEST(CMutliThread, StopAllTimesOutOnAStuckThread) {
    StuckSink sink;
    CMutliThread group;
    ASSERT_TRUE(group.start(1, 1, &sink));
    WaitFor([&] { return sink.entered.load(); });
    EXPECT_THROW(group.stopAll(50), Poco::TimeoutException);
    sink.release = true;
    group.stopAll();
    EXPECT_EQ(group.runningCount(), 0u);
}

TEST(CAccurateWaitTime, DeadlinesFollowTheScheduleNotTheWakeUps) {
    const int64_t p = 16000;
    EXPECT_EQ(CAccurateWaitTime::NextDeadline(0, 1000000, p, false), 1000000 + p);  // first call
    // Woken late within the period: the next deadline stays on the grid.
    EXPECT_EQ(CAccurateWaitTime::NextDeadline(1016000, 1019000, p, false), 1032000);
    // Already past the next deadline by less than a period: it is due at once.
    EXPECT_EQ(CAccurateWaitTime::NextDeadline(1016000, 1030000, p, false), 1032000);
    // More than a period behind: restart from now.
    EXPECT_EQ(CAccurateWaitTime::NextDeadline(1016000, 1040000, p, false), 1040000 + p);
    EXPECT_EQ(CAccurateWaitTime::NextDeadline(1016000, 1017000, p, true), 1017000 + p);
}

TEST(CAccurateWaitTime, SleepsAtLeastThePeriods) {
    CAccurateWaitTime pacer;
    const auto start = std::chrono::steady_clock::now();
    pacer.Wait(16, true);
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 4));
        pacer.Wait(16);
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 11 * 16 - 1);
}
