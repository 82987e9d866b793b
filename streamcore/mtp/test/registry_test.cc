// The process-wide registries, tested in a process where nothing has made them yet.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "mtp/thread.h"

namespace {

TEST(QueueRegistry, DeletedWithTheLastQueueAndMadeAgainByTheNext) {
    ASSERT_FALSE(mtp::QueueRegistry::Exists());
    auto* first = new mtp::MessageQueue;
    auto* second = new mtp::MessageQueue;
    EXPECT_TRUE(mtp::QueueRegistry::Exists());
    delete first;
    EXPECT_TRUE(mtp::QueueRegistry::Exists());
    delete second;
    EXPECT_FALSE(mtp::QueueRegistry::Exists());
    {
        mtp::MessageQueue again;
        EXPECT_TRUE(mtp::QueueRegistry::Exists());
    }
    EXPECT_FALSE(mtp::QueueRegistry::Exists());

    // Queues made and destroyed on many threads at once never lose the registry under a
    // live queue: each thread checks that its queue is registered by clearing through it.
    std::vector<std::thread> threads;
    std::atomic<int> faults{0};
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            struct Handler : mtp::MessageHandler {
                void OnMessage(mtp::Message*) override {}
            };
            for (int n = 0; n < 2000; ++n) {
                mtp::MessageQueue q;
                auto* h = new Handler;
                q.Post(h, 1);
                delete h;  // clears through the registry
                mtp::Message msg;
                if (q.Get(&msg, 0)) ++faults;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(faults.load(), 0);
    EXPECT_FALSE(mtp::QueueRegistry::Exists());
}

TEST(ThreadRegistry, FirstUseFromSeveralThreadsAtOnceMakesOneRegistry) {
    constexpr int kThreads = 8;
    std::atomic<int> waiting{kThreads};
    std::vector<mtp::ThreadRegistry*> seen(kThreads, nullptr);
    std::vector<mtp::Thread*> current(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            --waiting;
            while (waiting.load() > 0) {
            }
            seen[i] = mtp::ThreadRegistry::Instance();
            current[i] = seen[i]->CurrentThread();
        });
    }
    for (std::thread& t : threads) t.join();

    mtp::ThreadRegistry* registry = mtp::ThreadRegistry::Instance();
    int adopted = 0;
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(seen[i], registry);
        if (current[i]) {
            ++adopted;
            EXPECT_EQ(current[i], registry->Adopted());
            EXPECT_FALSE(current[i]->IsOwned());
            EXPECT_FALSE(current[i]->Start());
        }
    }
    // Exactly the creating thread was adopted; the main thread was not.
    EXPECT_EQ(adopted, 1);
    EXPECT_EQ(registry->CurrentThread(), nullptr);
}

}  // namespace
