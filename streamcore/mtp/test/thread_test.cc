#include <gtest/gtest.h>

#include <future>
#include <string>

#include "mtp/asyncinvoker.h"
#include "mtp/thread.h"
#include "test_support.h"

namespace {

using mtp::Message;
using mtp::Thread;
using mtp_test::CountedData;
using mtp_test::Gate;
using mtp_test::RecordingHandler;
using mtp_test::WaitUntil;

// Runs a function object as its OnMessage.
template <class F>
class LambdaHandler : public mtp::MessageHandler {
public:
    explicit LambdaHandler(F f) : m_f(std::move(f)) {}
    void OnMessage(Message* msg) override { m_f(msg); }

private:
    F m_f;
};
template <class F>
LambdaHandler<F> MakeHandler(F f) {
    return LambdaHandler<F>(std::move(f));
}

TEST(ThreadLife, StartsRunsPostedMessagesInOrderAndStops) {
    Thread t;
    ASSERT_TRUE(t.SetName("worker"));
    testing::internal::CaptureStderr();
    ASSERT_TRUE(t.Start());
    EXPECT_TRUE(t.IsRunning());
    EXPECT_FALSE(t.Start());
    EXPECT_FALSE(t.SetName("renamed"));
    EXPECT_NE(t.OsId(), 0u);
    const uint32_t id = t.OsId();

    std::atomic<bool> on_thread{true};
    std::vector<uint32_t> ids;  // written on t only, read after Stop
    auto h = MakeHandler([&](Message* msg) {
        if (!t.IsCurrent() || Thread::Current() != &t) on_thread = false;
        ids.push_back(msg->id);
    });
    for (uint32_t i = 0; i < 100; ++i) t.Post(&h, i);
    t.Stop();
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(t.OsId(), 0u);
    EXPECT_TRUE(on_thread.load());
    ASSERT_EQ(ids.size(), 100u);
    for (uint32_t i = 0; i < 100; ++i) EXPECT_EQ(ids[i], i);
    EXPECT_NE(out.find("Thread worker Id = " + std::to_string(id) + " begin.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Thread worker Id = " + std::to_string(id) + " end.\n"), std::string::npos) << out;

    // A stopped thread starts again.
    ASSERT_TRUE(t.Start());
    Gate ran;
    auto h2 = MakeHandler([&](Message*) { ran.Open(); });
    t.Post(&h2);
    EXPECT_TRUE(ran.Wait());
}

TEST(ThreadLife, DefaultNameCarriesTheAddressAndAdoptedThreadsCannotStart) {
    Thread t;
    EXPECT_EQ(t.name().rfind("Thread 0x", 0), 0u);
    EXPECT_GT(t.name().size(), 9u);

    Thread* current = Thread::Current();  // the test's main thread has one
    ASSERT_NE(current, nullptr);
    if (!current->IsOwned()) {
        EXPECT_TRUE(current->IsRunning());
        EXPECT_FALSE(current->Start());
    }
}

TEST(ThreadLife, AutoThreadGivesAPlainThreadAThreadForItsScope) {
    mtp::ThreadRegistry::Instance();
    std::thread plain([] {
        EXPECT_EQ(Thread::Current(), nullptr);
        {
            mtp::AutoThread scoped;
            EXPECT_EQ(Thread::Current(), &scoped);
            EXPECT_TRUE(scoped.IsCurrent());
            mtp::AutoThread nested;  // the slot is taken: not registered
            EXPECT_EQ(Thread::Current(), &scoped);
        }
        EXPECT_EQ(Thread::Current(), nullptr);
    });
    plain.join();
}

TEST(ThreadLife, AffinityBindsToTheFirstCallerAfterUnbind) {
    mtp::ThreadAffinity affinity;
    EXPECT_TRUE(affinity.IsOnBoundThread());
    bool other = true;
    std::thread([&] { other = affinity.IsOnBoundThread(); }).join();
    EXPECT_FALSE(other);
    affinity.Unbind();
    std::thread([&] { other = affinity.IsOnBoundThread(); }).join();
    EXPECT_TRUE(other);
    EXPECT_FALSE(affinity.IsOnBoundThread());
}

TEST(ThreadSend, RunsOnTheTargetAndReturnsAfterTheHandler) {
    Thread t;
    ASSERT_TRUE(t.Start());
    std::atomic<int> destroyed{0};
    bool on_target = false;
    int value = 0;
    auto h = MakeHandler([&](Message* msg) {
        on_target = t.IsCurrent();
        value = static_cast<CountedData*>(msg->data)->value;
        delete msg->data;
    });
    t.Send(&h, 1, new CountedData(&destroyed, 42));
    EXPECT_TRUE(on_target);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(destroyed.load(), 1);

    // From a plain thread too (it gets a Thread for the call).
    std::thread([&] { t.Send(&h, 1, new CountedData(&destroyed, 7)); }).join();
    EXPECT_EQ(value, 7);
}

TEST(ThreadSend, FromTheTargetItselfRunsInline) {
    Thread t;
    ASSERT_TRUE(t.Start());
    std::vector<int> order;  // touched on t only
    auto inner = MakeHandler([&](Message*) { order.push_back(2); });
    auto outer = MakeHandler([&](Message*) {
        order.push_back(1);
        t.Send(&inner);
        order.push_back(3);
    });
    t.Send(&outer);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(ThreadSend, ToAStoppedThreadReturnsWithoutRunning) {
    Thread t;
    ASSERT_TRUE(t.Start());
    t.Stop();
    std::atomic<int> destroyed{0};
    bool ran = false;
    auto h = MakeHandler([&](Message*) { ran = true; });
    t.Send(&h, 1, new CountedData(&destroyed));
    EXPECT_FALSE(ran);
    EXPECT_EQ(destroyed.load(), 1);

    Thread never_started;
    never_started.Quit();
    never_started.Send(&h);
    EXPECT_FALSE(ran);
}

TEST(ThreadSend, TwoThreadsSendingToEachOtherBothComplete) {
    for (int round = 0; round < 20; ++round) {
        Thread a, b;
        ASSERT_TRUE(a.Start());
        ASSERT_TRUE(b.Start());
        std::atomic<int> arrived{0};
        bool a_served = false, b_served = false;
        auto on_a = MakeHandler([&](Message*) { a_served = a.IsCurrent(); });
        auto on_b = MakeHandler([&](Message*) { b_served = b.IsCurrent(); });
        // Each side waits until both are about to send, so the sends cross.
        auto meet = [&] {
            arrived.fetch_add(1);
            WaitUntil([&] { return arrived.load() >= 2; });
        };
        auto a_sends = MakeHandler([&](Message*) { meet(); b.Send(&on_b); });
        auto b_sends = MakeHandler([&](Message*) { meet(); a.Send(&on_a); });
        std::thread sa([&] { a.Send(&a_sends); });
        std::thread sb([&] { b.Send(&b_sends); });
        sa.join();
        sb.join();
        EXPECT_TRUE(a_served);
        EXPECT_TRUE(b_served);
    }
}

TEST(ThreadSend, ClearReleasesAWaitingSenderWithoutRunningTheHandler) {
    Thread t;
    ASSERT_TRUE(t.Start());
    Gate busy, release;
    auto blocker = MakeHandler([&](Message*) {
        busy.Open();
        release.Wait();
    });
    t.Post(&blocker);
    ASSERT_TRUE(busy.Wait());

    std::atomic<int> destroyed{0};
    std::atomic<bool> ran{false};
    auto h = MakeHandler([&](Message*) { ran = true; });
    auto sent = std::async(std::launch::async, [&] { t.Send(&h, 3, new CountedData(&destroyed)); });
    // The send may not be queued yet; clear until the sender comes back.
    while (sent.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) t.Clear(&h);
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(destroyed.load(), 1);

    // With a removed list the message is handed over with its data.
    auto sent2 = std::async(std::launch::async, [&] { t.Send(&h, 4, new CountedData(&destroyed)); });
    mtp::MessageList removed;
    while (sent2.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) t.Clear(&h, 4, &removed);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed.front().id, 4u);
    EXPECT_EQ(destroyed.load(), 1);
    delete removed.front().data;
    release.Open();
    EXPECT_FALSE(ran.load());
}

// A thread whose test can wait until a send (or post) has been queued for it.
class ObservedThread : public Thread {
public:
    ObservedThread() : Thread(false) { RegisterQueue(); }
    ~ObservedThread() override { DestroyThread(); }
    bool WaitQueued() { return WakeEvent().Wait(10000); }
};

// A sender released by the target's destruction (or served just before it) must not touch
// the target again; under AddressSanitizer a late touch shows as a use after free.
TEST(ThreadSend, DeletingTheTargetReleasesWaitingSendersWithoutTouchingItAgain) {
    for (int i = 0; i < 200; ++i) {
        const bool served = i % 2 == 1;
        ObservedThread* t = new ObservedThread();  // unstarted: the send waits for the destructor
        if (served) {
            ASSERT_TRUE(t->Start());
        }
        std::atomic<bool> ran{false};
        auto h = MakeHandler([&](Message*) { ran = true; });
        std::thread s([&] { t->Send(&h); });
        if (served) {
            while (!ran) std::this_thread::yield();
        } else {
            ASSERT_TRUE(t->WaitQueued());
        }
        delete t;
        s.join();
        EXPECT_EQ(ran.load(), served);
    }
}

TEST(ThreadInvoke, OnAQuittingThreadReturnsTheZeroValueWithoutRunning) {
    struct Target {
        int calls = 0;
        int Answer() { return ++calls, 42; }
        std::string Name() { return ++calls, "name"; }
    } target;
    Thread t;
    ASSERT_TRUE(t.Start());
    EXPECT_EQ(mtp::Invoke<int>(&t, mtp::Bind(&Target::Answer, &target)), 42);
    t.Quit();
    EXPECT_EQ(mtp::Invoke<int>(&t, mtp::Bind(&Target::Answer, &target)), 0);
    EXPECT_EQ(mtp::Invoke<std::string>(&t, mtp::Bind(&Target::Name, &target)), "");
    t.Stop();
    EXPECT_EQ(mtp::Invoke<int>(&t, mtp::Bind(&Target::Answer, &target)), 0);
    EXPECT_EQ(target.calls, 1);
}

TEST(ThreadInvoke, ACallerReleasedByClearGetsTheZeroValue) {
    struct Target {
        std::atomic<int> calls{0};
        int Answer() { return ++calls, 42; }
    } target;
    Thread t;
    ASSERT_TRUE(t.Start());
    Gate busy, release;
    auto blocker = MakeHandler([&](Message*) {
        busy.Open();
        release.Wait();
    });
    t.Post(&blocker);
    ASSERT_TRUE(busy.Wait());
    auto result = std::async(std::launch::async, [&] { return mtp::Invoke<int>(&t, mtp::Bind(&Target::Answer, &target)); });
    while (result.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) t.Clear(nullptr);
    EXPECT_EQ(result.get(), 0);
    release.Open();
    t.Stop();
    EXPECT_EQ(target.calls.load(), 0);
}

TEST(ThreadDestroy, DeletingARunningThreadWaitsForItsMessageAndDropsTheRest) {
    std::atomic<int> destroyed{0};
    Gate busy;
    std::atomic<bool> finished{false};
    RecordingHandler later;
    {
        Thread t;
        ASSERT_TRUE(t.Start());
        auto slow = MakeHandler([&](Message*) {
            busy.Open();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            finished = true;
        });
        t.Post(&slow);
        ASSERT_TRUE(busy.Wait());
        t.Post(&later, 1, new CountedData(&destroyed));
        t.PostDelayed(100000, &later, 2, new CountedData(&destroyed));
    }
    EXPECT_TRUE(finished.load());
    EXPECT_EQ(destroyed.load(), 2);
    EXPECT_TRUE(later.ids().empty() || later.ids() == std::vector<uint32_t>{1});
}

TEST(ThreadCheck, PassesOnItsThreadAndEndsTheProcessElsewhere) {
    Thread t;
    t.SetName("owner");
    ASSERT_TRUE(t.Start());
    std::atomic<bool> checked{false};
    auto h = MakeHandler([&](Message*) {
        mtp::CheckRunOn(&t, "t", __FILE__, __LINE__);
        checked = true;
    });
    t.Send(&h);
    EXPECT_TRUE(checked.load());
    t.Stop();
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_DEATH(mtp::CheckRunOn(&t, "t", __FILE__, __LINE__), "must run on t \\(owner\\)");
    EXPECT_DEATH(mtp::CheckRunOn(nullptr, "m_owner", __FILE__, __LINE__), "must run on m_owner \\(no thread\\)");
}

}  // namespace
