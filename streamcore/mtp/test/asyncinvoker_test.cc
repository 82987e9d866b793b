#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "mtp/asyncinvoker.h"
#include "test_support.h"

namespace {

using mtp::AsyncInvoker;
using mtp::Message;
using mtp::Thread;
using mtp_test::Gate;

// Counts its live copies, so a test sees every bound argument freed.
struct Tracked {
    static std::atomic<int>& Live() {
        static std::atomic<int> live{0};
        return live;
    }
    Tracked() { ++Live(); }
    Tracked(const Tracked&) { ++Live(); }
    ~Tracked() { --Live(); }
};

struct Target {
    std::atomic<int> runs{0};
    std::string last;  // written on the target thread
    void Take(std::shared_ptr<int> p, Tracked) { runs += *p; }
    void Keep(std::string s) {
        last = s;
        ++runs;
    }
    int Sum5(int a, std::string b, const std::string& c, std::shared_ptr<int> d, bool e) {
        return a + static_cast<int>(b.size() + c.size()) + *d + (e ? 1 : 0);
    }
    int Twice(int v) const { return 2 * v; }
    void Block(Gate* busy, Gate* release) {
        busy->Open();
        release->Wait();
    }
};

TEST(AsyncInvoke, RunsOnTheTargetInPostingOrder) {
    Thread t;
    ASSERT_TRUE(t.Start());
    Target target;
    AsyncInvoker invoker;
    for (int i = 0; i < 50; ++i) invoker.AsyncInvoke<void>(&t, mtp::Bind(&Target::Keep, &target, std::to_string(i)));
    mtp::AsyncInvoke(&invoker, &t, mtp::Bind(&Target::Keep, &target, std::string("last")));
    ASSERT_TRUE(mtp_test::WaitUntil([&] { return target.runs.load() == 51; }));
    t.Stop();  // joins: `last` may be read here
    EXPECT_EQ(target.last, "last");
}

TEST(AsyncInvoke, ACallFromTheTargetThreadRunsLaterNotInsideTheCall) {
    Thread t;
    ASSERT_TRUE(t.Start());
    AsyncInvoker invoker;
    std::vector<int> order;  // touched on t only
    Gate done;
    struct Steps {
        std::vector<int>* order;
        AsyncInvoker* invoker;
        Thread* t;
        Gate* done;
        void Later() {
            order->push_back(2);
            done->Open();
        }
        int Now() {
            order->push_back(1);
            invoker->AsyncInvoke<void>(t, mtp::Bind(&Steps::Later, this));
            order->push_back(3);
            return 0;
        }
    } steps{&order, &invoker, &t, &done};
    // Invoke from a thread other than t: it runs there; its AsyncInvoke is queued.
    EXPECT_EQ(mtp::Invoke<int>(&t, mtp::Bind(&Steps::Now, &steps)), 0);
    ASSERT_TRUE(done.Wait());
    t.Stop();
    EXPECT_EQ(order, (std::vector<int>{1, 3, 2}));
}

TEST(AsyncInvoke, InvokeFromTheTargetRunsAtOnceAndBindsFiveArguments) {
    Thread t;
    ASSERT_TRUE(t.Start());
    Target target;
    struct Nested {
        Thread* t;
        Target* target;
        int Run() {
            // Already on t: runs inside this call.
            return mtp::Invoke<int>(t, mtp::Bind(&Target::Sum5, target, 1, std::string("ab"), std::string("cde"),
                                                 std::make_shared<int>(10), true));
        }
    } nested{&t, &target};
    EXPECT_EQ(mtp::Invoke<int>(&t, mtp::Bind(&Nested::Run, &nested)), 1 + 5 + 10 + 1);
    const Target& ct = target;
    EXPECT_EQ(mtp::Invoke<int>(&t, mtp::Bind(&Target::Twice, &ct, 21)), 42);
}

TEST(AsyncInvoke, ClosuresNotRunWhenTheInvokerDiesAreFreedWithTheirArguments) {
    Thread t;
    ASSERT_TRUE(t.Start());
    Target target;
    Gate busy, release;
    auto blocker = std::make_unique<AsyncInvoker>();
    blocker->AsyncInvoke<void>(&t, mtp::Bind(&Target::Block, &target, &busy, &release));
    ASSERT_TRUE(busy.Wait());

    auto shared = std::make_shared<int>(1);
    const int live_before = Tracked::Live().load();
    auto invoker = std::make_unique<AsyncInvoker>();
    for (int i = 0; i < 20; ++i) invoker->AsyncInvoke<void>(&t, mtp::Bind(&Target::Take, &target, shared, Tracked()));
    EXPECT_EQ(shared.use_count(), 21);
    EXPECT_EQ(Tracked::Live().load(), live_before + 20);
    invoker.reset();
    EXPECT_EQ(shared.use_count(), 1);
    EXPECT_EQ(Tracked::Live().load(), live_before);
    release.Open();
    t.Stop();
    EXPECT_EQ(target.runs.load(), 0);
}

TEST(AsyncInvoke, AQuittingThreadFreesTheClosureUnrun) {
    Thread t;
    ASSERT_TRUE(t.Start());
    t.Stop();
    Target target;
    AsyncInvoker invoker;
    auto shared = std::make_shared<int>(1);
    invoker.AsyncInvoke<void>(&t, mtp::Bind(&Target::Take, &target, shared, Tracked()));
    EXPECT_EQ(shared.use_count(), 1);
    EXPECT_EQ(target.runs.load(), 0);
}

TEST(AsyncInvoke, CallsDuringTheInvokersDestructionAreRefusedWithAWarning) {
    Thread t;
    ASSERT_TRUE(t.Start());
    Target target;
    auto shared = std::make_shared<int>(1);
    struct Late : sigslot::has_slots<> {
        AsyncInvoker* invoker;
        Thread* t;
        Target* target;
        std::shared_ptr<int> shared;
        void OnDestroyed() { invoker->AsyncInvoke<void>(t, mtp::Bind(&Target::Take, target, shared, Tracked())); }
    };
    auto* invoker = new AsyncInvoker;
    Late late;
    late.invoker = invoker;
    late.t = &t;
    late.target = &target;
    late.shared = shared;
    invoker->invoker_destroyed.connect(&late, &Late::OnDestroyed);
    testing::internal::CaptureStderr();
    delete invoker;
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("***** Warning *****(mtp_asyncinvoker.cc:"), std::string::npos) << out;
    EXPECT_NE(out.find("): Tried to invoke while destroying the invoker.\n"), std::string::npos) << out;
    late.shared.reset();
    EXPECT_EQ(shared.use_count(), 1);
    t.Stop();
    EXPECT_EQ(target.runs.load(), 0);
}

struct TrackedFunctor {
    Tracked tracked;
    int* runs;
    int operator()() const { return ++*runs; }
};

TEST(RefCount, AClosureLivesFromItsFirstReferenceToItsLastRelease) {
    const int live_before = Tracked::Live().load();
    int runs = 0;
    auto* closure = new mtp::RefCountImpl<mtp::FireAndForgetAsyncClosure<TrackedFunctor>>(TrackedFunctor{Tracked(), &runs});
    EXPECT_EQ(closure->RefCount(), 0);
    {
        mtp::ScopedRefMessageData<mtp::AsyncClosure> data(closure);
        EXPECT_EQ(closure->RefCount(), 1);
        EXPECT_EQ(closure->AddRef(), 2);
        closure->Execute();
        EXPECT_EQ(closure->Release(), 1);
        EXPECT_EQ(runs, 1);
        EXPECT_EQ(Tracked::Live().load(), live_before + 1);
    }
    EXPECT_EQ(Tracked::Live().load(), live_before);
}

TEST(RefCount, TheInvokersPayloadHoldsOneReferenceInsideTheClosuresAllocation) {
    using Closure = mtp::internal::InvokerClosure<TrackedFunctor>;
    const int live_before = Tracked::Live().load();
    int runs = 0;
    // The path of a call that runs: 0, 1 while queued, 2 while taken, 1, then gone.
    mtp::AsyncClosure* closure = new Closure(TrackedFunctor{Tracked(), &runs});
    EXPECT_EQ(closure->RefCount(), 0);
    mtp::MessageData* payload = Closure::MakePayload(closure);
    EXPECT_EQ(closure->RefCount(), 1);
    EXPECT_EQ(static_cast<mtp::internal::InlineClosureData*>(payload)->closure(), closure);
    closure->AddRef();
    delete payload;
    EXPECT_EQ(closure->RefCount(), 1);
    closure->Execute();
    EXPECT_EQ(runs, 1);
    closure->Release();
    EXPECT_EQ(Tracked::Live().load(), live_before);

    // The path of a call that is cleared: destroying the payload frees the closure unrun.
    closure = new Closure(TrackedFunctor{Tracked(), &runs});
    payload = Closure::MakePayload(closure);
    EXPECT_EQ(Tracked::Live().load(), live_before + 1);
    delete payload;
    EXPECT_EQ(Tracked::Live().load(), live_before);
    EXPECT_EQ(runs, 1);
}

struct Listener : sigslot::has_slots<> {
    int calls = 0;
    void OnSignal() { ++calls; }
};

TEST(Signal, EmitsToConnectionsAndEitherSideMayGoFirst) {
    Listener kept;
    {
        sigslot::signal0<> signal;
        signal.emit();  // nothing connected
        signal.connect(&kept, &Listener::OnSignal);
        {
            Listener gone;
            signal.connect(&gone, &Listener::OnSignal);
            signal();
            EXPECT_EQ(gone.calls, 1);
            Listener copy(gone);  // a copy is connected like the original
            signal();
            EXPECT_EQ(copy.calls, 2);
        }
        signal();  // the destroyed listeners were forgotten
        EXPECT_EQ(kept.calls, 3);
        signal.disconnect(&kept);
        signal();
        EXPECT_EQ(kept.calls, 3);
        signal.connect(&kept, &Listener::OnSignal);
    }
    // The signal died first; the listener's destructor must not touch it.
    EXPECT_EQ(kept.calls, 3);
}

TEST(Signal, QueueDestroyedIsEmittedWhenTheQueueGoes) {
    Listener listener;
    {
        mtp::MessageQueue q;
        q.queue_destroyed.connect(&listener, &Listener::OnSignal);
    }
    EXPECT_EQ(listener.calls, 1);
}

}  // namespace
