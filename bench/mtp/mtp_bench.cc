// Hand-off costs of the runtime, each next to a bare std::mutex + std::condition_variable
// queue doing the same hand-off in the same run:
//   Post -> OnMessage throughput with one producer,
//   AsyncInvoke throughput (a bound member function with a shared pointer argument),
//   Invoke round trip (p50, p99) against a bare ping-pong.
// After the Google Benchmark table a summary prints our figure, the baseline's and the ratio.
//
//   build/bin/mtp_bench [--benchmark_repetitions=N] [google benchmark flags]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mtp/asyncinvoker.h"
#include "mtp/thread.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBatch = 10000;         // messages per iteration of the throughput benchmarks
constexpr int kBatchIterations = 40;  // iterations per repetition
constexpr int kRoundTrips = 20000;    // Invoke calls per repetition

// Every repetition's figure, by name; the summary takes the median.
std::map<std::string, std::vector<double>>& Figures() {
    static std::map<std::string, std::vector<double>> figures;
    return figures;
}
void Record(const std::string& name, double value) { Figures()[name].push_back(value); }

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Percentile(std::vector<double>& samples, double p) {
    std::sort(samples.begin(), samples.end());
    const size_t index = std::min(samples.size() - 1, static_cast<size_t>(p * static_cast<double>(samples.size())));
    return samples[index];
}

// Waits for the consumer without sleeping through the hand-offs being measured.
template <class Cond>
void SpinUntil(Cond cond) {
    while (!cond()) std::this_thread::yield();
}

// ---- the bare queue

class BareHandler {
public:
    virtual ~BareHandler() = default;
    virtual void OnMessage(uint32_t id, void* data) = 0;
};

// A mutex, a condition variable and a deque, drained by one thread.
class BareQueue {
public:
    BareQueue() : m_thread([this] { Loop(); }) {}
    ~BareQueue() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStop = true;
        }
        m_cond.notify_one();
        m_thread.join();
    }
    void Post(BareHandler* handler, uint32_t id, void* data = nullptr) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_items.push_back(Item{handler, id, data, {}});
        }
        m_cond.notify_one();
    }
    void PostClosure(std::function<void()> closure) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_items.push_back(Item{nullptr, 0, nullptr, std::move(closure)});
        }
        m_cond.notify_one();
    }

private:
    struct Item {
        BareHandler* handler;
        uint32_t id;
        void* data;
        std::function<void()> closure;
    };
    void Loop() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (true) {
            m_cond.wait(lock, [this] { return m_bStop || !m_items.empty(); });
            if (m_items.empty()) return;
            Item item = std::move(m_items.front());
            m_items.pop_front();
            lock.unlock();
            if (item.handler)
                item.handler->OnMessage(item.id, item.data);
            else
                item.closure();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<Item> m_items;
    bool m_bStop = false;
    std::thread m_thread;
};

// A caller and a server thread handing one request back and forth.
class BarePingPong {
public:
    BarePingPong() : m_thread([this] { Serve(); }) {}
    ~BarePingPong() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStop = true;
        }
        m_request.notify_one();
        m_thread.join();
    }
    int Call(const std::function<int()>& work) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_pWork = &work;
        m_bDone = false;
        m_request.notify_one();
        m_reply.wait(lock, [this] { return m_bDone; });
        return m_result;
    }

private:
    void Serve() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (true) {
            m_request.wait(lock, [this] { return m_bStop || m_pWork; });
            if (m_bStop) return;
            const std::function<int()>* work = m_pWork;
            m_pWork = nullptr;
            lock.unlock();
            const int result = (*work)();
            lock.lock();
            m_result = result;
            m_bDone = true;
            m_reply.notify_one();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_request, m_reply;
    const std::function<int()>* m_pWork = nullptr;
    bool m_bDone = false;
    bool m_bStop = false;
    int m_result = 0;
    std::thread m_thread;
};

// ---- shared pieces

struct Sink {
    std::atomic<int64_t> count{0};
    int value = 7;
    void Take(std::shared_ptr<int> buffer) { count.fetch_add(*buffer, std::memory_order_release); }
    int Answer() { return value; }
};

class CountingHandler : public mtp::MessageHandler, public BareHandler {
public:
    std::atomic<int64_t> count{0};
    void OnMessage(mtp::Message*) override { count.fetch_add(1, std::memory_order_release); }
    void OnMessage(uint32_t, void*) override { count.fetch_add(1, std::memory_order_release); }
};

void Throughput(benchmark::State& state, const char* name, int64_t items, Clock::duration elapsed) {
    const double per_second = static_cast<double>(items) / std::chrono::duration<double>(elapsed).count();
    state.counters["per_s"] = per_second;
    Record(name, per_second);
}

// ---- Post -> OnMessage

void BM_Post_Mtp(benchmark::State& state) {
    mtp::Thread worker;
    worker.SetName("bench_post");
    worker.Start();
    CountingHandler handler;
    int64_t posted = 0;
    const auto start = Clock::now();
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) worker.Post(&handler, 1);
        posted += kBatch;
        SpinUntil([&] { return handler.count.load(std::memory_order_acquire) >= posted; });
    }
    Throughput(state, "post_mtp", posted, Clock::now() - start);
    state.SetItemsProcessed(posted);
    worker.Stop();
}

void BM_Post_Bare(benchmark::State& state) {
    BareQueue queue;
    CountingHandler handler;
    int64_t posted = 0;
    const auto start = Clock::now();
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) queue.Post(&handler, 1);
        posted += kBatch;
        SpinUntil([&] { return handler.count.load(std::memory_order_acquire) >= posted; });
    }
    Throughput(state, "post_bare", posted, Clock::now() - start);
    state.SetItemsProcessed(posted);
}

// ---- AsyncInvoke

void BM_AsyncInvoke_Mtp(benchmark::State& state) {
    mtp::Thread worker;
    worker.SetName("bench_async");
    worker.Start();
    Sink sink;
    auto buffer = std::make_shared<int>(1);
    int64_t posted = 0;
    {
        mtp::AsyncInvoker invoker;
        const auto start = Clock::now();
        for (auto _ : state) {
            for (int i = 0; i < kBatch; ++i) invoker.AsyncInvoke<void>(&worker, mtp::Bind(&Sink::Take, &sink, buffer));
            posted += kBatch;
            SpinUntil([&] { return sink.count.load(std::memory_order_acquire) >= posted; });
        }
        Throughput(state, "async_mtp", posted, Clock::now() - start);
    }
    state.SetItemsProcessed(posted);
    worker.Stop();
}

void BM_AsyncInvoke_Bare(benchmark::State& state) {
    BareQueue queue;
    Sink sink;
    auto buffer = std::make_shared<int>(1);
    int64_t posted = 0;
    const auto start = Clock::now();
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            Sink* target = &sink;
            queue.PostClosure([target, buffer] { target->Take(buffer); });
        }
        posted += kBatch;
        SpinUntil([&] { return sink.count.load(std::memory_order_acquire) >= posted; });
    }
    Throughput(state, "async_bare", posted, Clock::now() - start);
    state.SetItemsProcessed(posted);
}

// ---- Invoke round trip

void RoundTrips(benchmark::State& state, const char* name, std::vector<double>& samples) {
    const double p50 = Percentile(samples, 0.50);
    const double p99 = Percentile(samples, 0.99);
    state.counters["p50_us"] = p50;
    state.counters["p99_us"] = p99;
    Record(std::string(name) + "_p50", p50);
    Record(std::string(name) + "_p99", p99);
}

void BM_Invoke_Mtp(benchmark::State& state) {
    mtp::Thread worker;
    worker.SetName("bench_invoke");
    worker.Start();
    Sink sink;
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(state.max_iterations));
    for (auto _ : state) {
        const auto t0 = Clock::now();
        const int result = mtp::Invoke<int>(&worker, mtp::Bind(&Sink::Answer, &sink));
        const auto t1 = Clock::now();
        benchmark::DoNotOptimize(result);
        samples.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    RoundTrips(state, "invoke_mtp", samples);
    worker.Stop();
}

void BM_Invoke_Bare(benchmark::State& state) {
    BarePingPong server;
    Sink sink;
    const std::function<int()> work = [&sink] { return sink.Answer(); };
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(state.max_iterations));
    for (auto _ : state) {
        const auto t0 = Clock::now();
        const int result = server.Call(work);
        const auto t1 = Clock::now();
        benchmark::DoNotOptimize(result);
        samples.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    RoundTrips(state, "invoke_bare", samples);
}

BENCHMARK(BM_Post_Mtp)->Iterations(kBatchIterations)->UseRealTime();
BENCHMARK(BM_Post_Bare)->Iterations(kBatchIterations)->UseRealTime();
BENCHMARK(BM_AsyncInvoke_Mtp)->Iterations(kBatchIterations)->UseRealTime();
BENCHMARK(BM_AsyncInvoke_Bare)->Iterations(kBatchIterations)->UseRealTime();
BENCHMARK(BM_Invoke_Mtp)->Iterations(kRoundTrips)->UseRealTime();
BENCHMARK(BM_Invoke_Bare)->Iterations(kRoundTrips)->UseRealTime();

void PrintSummary() {
    std::printf("\nSummary: median over the repetitions; ratio = mtp / bare queue\n");
    std::printf("%-30s %14s %14s %8s %5s  %s\n", "figure", "mtp", "bare queue", "ratio", "runs", "goal");
    auto row = [](const char* what, const char* ours, const char* bare, const char* goal) {
        std::vector<double>& a = Figures()[ours];
        std::vector<double>& b = Figures()[bare];
        if (a.empty() || b.empty()) return;  // filtered out
        const double x = Median(a), y = Median(b);
        std::printf("%-30s %14.1f %14.1f %8.2f %5zu  %s\n", what, x, y, y > 0 ? x / y : 0.0, a.size(), goal);
    };
    row("Post -> OnMessage (msg/s)", "post_mtp", "post_bare", "ratio >= 0.80");
    row("AsyncInvoke (calls/s)", "async_mtp", "async_bare", "ratio >= 0.80");
    row("Invoke round trip p50 (us)", "invoke_mtp_p50", "invoke_bare_p50", "ratio <= 1.20");
    row("Invoke round trip p99 (us)", "invoke_mtp_p99", "invoke_bare_p99", "(for reference)");
}

}  // namespace

int main(int argc, char** argv) {
    // The calling thread gets its Thread now, as the script thread does in the endpoint.
    mtp::Thread::Current();

    // Defaults: nine repetitions, interleaved so that load from other processes falls on
    // both sides alike. Flags given on the command line come later and win.
    std::vector<char*> args(argv, argv + argc);
    std::string reps = "--benchmark_repetitions=9";
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, &interleave[0]);
    args.insert(args.begin() + 1, &reps[0]);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintSummary();
    return 0;
}
