// Several threads posting, sending, invoking and deleting handlers at once, with every
// message accounted for: each payload is destroyed exactly once, either by the handler that
// got it or by a clear, and no handler sees a message after its deletion.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "mtp/asyncinvoker.h"
#include "test_support.h"

namespace {

using mtp::Message;
using mtp::Thread;

constexpr uint32_t kPost = 1;
constexpr uint32_t kDelayed = 2;
constexpr uint32_t kSend = 3;
constexpr uint32_t kBounce = 4;  // the receiving worker sends to its partner
constexpr uint32_t kPing = 5;

struct Ledger {
    std::atomic<long> created{0};
    std::atomic<long> delivered_destroyed{0};
    std::atomic<long> cleared_destroyed{0};
    std::atomic<long> delivered{0};
    std::atomic<long> order_faults{0};
    std::atomic<long> dead_deliveries{0};
    std::atomic<long> executed{0};
};

class Payload : public mtp::MessageData {
public:
    Payload(Ledger* ledger, uint64_t sequence) : m_ledger(ledger), sequence(sequence) { ++m_ledger->created; }
    ~Payload() override {
        if (delivered)
            ++m_ledger->delivered_destroyed;
        else
            ++m_ledger->cleared_destroyed;
    }
    Ledger* m_ledger;
    uint64_t sequence;  // 0: not ordered
    bool delivered = false;
};

class StressHandler : public mtp::MessageHandler {
public:
    explicit StressHandler(Ledger* ledger) : m_ledger(ledger) {}
    ~StressHandler() override { m_magic = 0; }
    void OnMessage(Message* msg) override {
        if (m_magic != kAlive) ++m_ledger->dead_deliveries;
        auto* payload = static_cast<Payload*>(msg->data);
        if (payload) {
            if (payload->sequence != 0) {
                if (payload->sequence <= m_lastSequence) ++m_ledger->order_faults;
                m_lastSequence = payload->sequence;
            }
            payload->delivered = true;
            delete payload;
            msg->data = nullptr;
        }
        ++m_ledger->delivered;
    }

private:
    static constexpr uint32_t kAlive = 0x600DF00D;
    Ledger* m_ledger;
    volatile uint32_t m_magic = kAlive;
    uint64_t m_lastSequence = 0;  // only its worker dispatches to it
};

// Workers 0 and 1 send to each other when asked to bounce.
class BounceHandler : public mtp::MessageHandler {
public:
    BounceHandler(Ledger* ledger, Thread* partner, BounceHandler** partner_handler)
        : m_ledger(ledger), m_partner(partner), m_partnerHandler(partner_handler) {}
    void OnMessage(Message* msg) override {
        auto* payload = static_cast<Payload*>(msg->data);
        if (payload) payload->delivered = true;
        delete payload;
        msg->data = nullptr;
        ++m_ledger->delivered;
        if (msg->id == kBounce && m_partner) m_partner->Send(*m_partnerHandler, kPing, new Payload(m_ledger, 0));
    }

private:
    Ledger* m_ledger;
    Thread* m_partner;
    BounceHandler** m_partnerHandler;
};

struct Counter {
    Ledger* ledger;
    void Bump(std::shared_ptr<int> token, std::string) {
        (void)token;
        ++ledger->executed;
    }
};

// One producer: its own handler on each worker, replaced now and then on that worker.
class Producer {
public:
    Producer(Ledger* ledger, std::vector<Thread*> workers, unsigned seed)
        : m_ledger(ledger), m_workers(std::move(workers)), m_random(seed) {
        for (size_t i = 0; i < m_workers.size(); ++i) m_handlers.push_back(new StressHandler(ledger));
        m_next.assign(m_workers.size(), 1);
    }
    ~Producer() {
        for (StressHandler* h : m_handlers) delete h;
    }

    void Run(std::chrono::steady_clock::time_point until, Thread** bounce_targets, BounceHandler** bouncers,
             mtp::AsyncInvoker* invoker, std::shared_ptr<int> token, long* invoked) {
        Counter counter{m_ledger};
        while (std::chrono::steady_clock::now() < until) {
            const size_t w = m_random() % m_workers.size();
            Thread* worker = m_workers[w];
            const unsigned op = m_random() % 100;
            if (op < 45) {
                worker->Post(m_handlers[w], kPost, new Payload(m_ledger, m_next[w]++));
            } else if (op < 55) {
                worker->PostDelayed(static_cast<int>(m_random() % 4), m_handlers[w], kDelayed, new Payload(m_ledger, 0));
            } else if (op < 70) {
                worker->Send(m_handlers[w], kSend, new Payload(m_ledger, 0));
            } else if (op < 80) {
                const size_t b = m_random() % 2;
                bounce_targets[b]->Post(bouncers[b], kBounce, new Payload(m_ledger, 0));
            } else if (op < 95) {
                invoker->AsyncInvoke<void>(worker, mtp::Bind(&Counter::Bump, &counter, token, std::string("frame")));
                ++*invoked;
            } else {
                // Replaced on its own worker, where nothing else is being dispatched to it.
                mtp::Invoke<void>(worker, mtp::Bind(&Producer::Replace, this, w));
                m_next[w] = 1;
            }
        }
        // Wait until the worker ran what this producer queued (the counter lives here).
        for (Thread* worker : m_workers) mtp::Invoke<void>(worker, mtp::Bind(&Producer::Nothing, this));
        std::atomic<int> left{static_cast<int>(m_workers.size())};
        struct Flush : mtp::MessageHandler {
            std::atomic<int>* left;
            void OnMessage(Message*) override { --*left; }
        } flush;
        flush.left = &left;
        for (Thread* worker : m_workers) worker->Post(&flush);
        mtp_test::WaitUntil([&] { return left.load() == 0; }, 60000);
    }

    void Replace(size_t w) {
        delete m_handlers[w];
        m_handlers[w] = new StressHandler(m_ledger);
    }
    void Nothing() {}

private:
    Ledger* m_ledger;
    std::vector<Thread*> m_workers;
    std::vector<StressHandler*> m_handlers;  // m_handlers[w] is replaced on worker w only
    std::vector<uint64_t> m_next;
    std::minstd_rand m_random;
};

TEST(Stress, PostsSendsInvokesAndHandlerDeletionsAtOnceLoseNothing) {
    Ledger ledger;
    constexpr int kWorkers = 3;
    constexpr int kProducers = 3;
    std::vector<std::unique_ptr<Thread>> workers;
    std::vector<Thread*> raw;
    for (int i = 0; i < kWorkers; ++i) {
        workers.emplace_back(new Thread);
        workers.back()->SetName("stress" + std::to_string(i));
        ASSERT_TRUE(workers.back()->Start());
        raw.push_back(workers.back().get());
    }
    BounceHandler* bouncers[2] = {nullptr, nullptr};
    Thread* bounce_targets[2] = {raw[0], raw[1]};
    bouncers[0] = new BounceHandler(&ledger, raw[1], &bouncers[1]);
    bouncers[1] = new BounceHandler(&ledger, raw[0], &bouncers[0]);

    auto invoker = std::make_unique<mtp::AsyncInvoker>();
    auto token = std::make_shared<int>(0);
    std::vector<std::unique_ptr<Producer>> producers;
    for (int i = 0; i < kProducers; ++i) producers.emplace_back(new Producer(&ledger, raw, 1234u + i));
    std::vector<long> invoked(kProducers, 0);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    std::vector<std::thread> threads;
    for (int i = 0; i < kProducers; ++i) {
        threads.emplace_back([&, i] {
            producers[i]->Run(until, bounce_targets, bouncers, invoker.get(), token, &invoked[i]);
        });
    }
    for (std::thread& t : threads) t.join();

    long total_invoked = 0;
    for (long n : invoked) total_invoked += n;
    // Every closure ran before the producers finished (each waited for its workers).
    EXPECT_EQ(ledger.executed.load(), total_invoked);
    invoker.reset();
    EXPECT_EQ(token.use_count(), 1);

    workers.clear();  // destroys what is still queued (delayed messages, for instance)
    producers.clear();
    delete bouncers[0];
    delete bouncers[1];

    EXPECT_GT(ledger.created.load(), 1000);
    EXPECT_EQ(ledger.created.load(), ledger.delivered_destroyed.load() + ledger.cleared_destroyed.load());
    EXPECT_EQ(ledger.delivered.load(), ledger.delivered_destroyed.load());
    EXPECT_EQ(ledger.order_faults.load(), 0);
    EXPECT_EQ(ledger.dead_deliveries.load(), 0);
    std::printf("stress: %ld payloads, %ld delivered, %ld cleared, %ld closures run\n", ledger.created.load(),
                ledger.delivered.load(), ledger.cleared_destroyed.load(), ledger.executed.load());
}

}  // namespace
