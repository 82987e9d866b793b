// Frames through the endpoint's media path: the engine callback (where the frame is copied
// into its one buffer), the publish control hop (uniName to publish ids), the publish data
// hop, and the RTMP manager's PublishVideoRtmpData / PublishAudioRtmpData, which is where a
// publisher queues the frame. The RTMP manager here only takes the time of arrival, so the
// figures are the endpoint's own cost.
//
// Prints: frames per second for 1 KiB and 100 KiB video frames (and, for comparison, the same
// frames copied once on the calling thread with no hop at all); the p50 and p99 delay from the
// callback to the RTMP manager at 30 video and 47 audio frames per second; heap buffers of at
// least the frame size allocated per frame (each copy of a frame needs one; 1 is the goal).
#include "IStreamCore.h"
#include "doubles.h"
#include "paneshare/IPaneShareMgr.h"
#include "rtmplink/IRtmpMgr.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<size_t> g_bigAllocThreshold{~size_t(0)};
std::atomic<long> g_bigAllocs{0};

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// The RTMP manager: counts frames, checks that each frame still carries its sequence number
// and stamps its arrival.
class ArrivalRtmpMgr : public IRtmpMgr {
public:
    virtual ~ArrivalRtmpMgr() = default;
    std::atomic<long> received{0};
    std::mutex mutex;
    std::vector<int64_t> arrivals;  // by sequence number, when recording
    bool record = false;

    void Arrive(const unsigned char* data, int len) {
        if (record && len >= 4) {
            uint32_t seq;
            std::memcpy(&seq, data, sizeof seq);
            std::lock_guard<std::mutex> lock(mutex);
            if (seq < arrivals.size()) arrivals[seq] = NowNs();
        }
        received.fetch_add(1, std::memory_order_release);
    }

    bool OpenPublishUrl(int, bool, std::string, const char*, int) override { return true; }
    bool OpenPublishUrl(int, const char*, int) override { return true; }
    int GetPublishId() override { return m_next++; }
    int PublishVideoRtmpData(int, unsigned char* data, int len, unsigned int, bool) override {
        Arrive(data, len);
        return 0;
    }
    int PublishAudioRtmpData(int, int, unsigned char* data, int len, unsigned int) override {
        Arrive(data, len);
        return 0;
    }
    int OnSendVideoPacketCount(int) override { return 0; }
    void SetAACExtraData(int, unsigned char*, int) override {}
    void PausePublish(int) override {}
    void ContinuePublish(int) override {}
    void ClosePublish(int) override {}
    bool HasAudio(int) override { return false; }
    const std::string& GetUniName(int) override { return m_empty; }
    bool GetSendDataTimeOut(int) override { return false; }
    int GetPlayId() override { return 10000; }
    bool OpenPlayUrl(int, unsigned long long, unsigned long long, const char*) override { return true; }
    void ClosePlay(int) override {}
    unsigned long long GetVideoId(int) override { return ~0ull; }
    unsigned long long GetAudioId(int) override { return ~0ull; }
    void SetRtmpMgrSink(IRtmpMgrSink*) override {}

private:
    int m_next = 1000;
    std::string m_empty;
};

ArrivalRtmpMgr* g_rtmp = nullptr;

class NoWindows : public IPaneShareMgr {
public:
    virtual ~NoWindows() = default;
    std::vector<WindowProcessInfo*>* RefreshWindowList() override { return &m_list; }
    bool ShowWindowToTop(OvHwnd) override { return false; }
    OvHwnd GetWindowsHandleByProcessid(int) override { return 0; }
    void AddExceptionExeName(const char*) override {}
    void AddExceptionExeNameForAllOs(const char*) override {}
    void* RegisterAppThumbnail(OvHwnd, OvHwnd) override { return nullptr; }
    void UnregisterAppThumbnail(void*) override {}
    void AddWindow(OvHwnd) override {}
    void RemoveWindow(OvHwnd) override {}

private:
    std::vector<WindowProcessInfo*> m_list;
};

std::vector<unsigned char> Frame(size_t payload, uint32_t seq) {
    std::vector<unsigned char> f(12 + payload, 0x5a);
    f[0] = 0x80;
    f[1] = 0xE0;
    std::memcpy(f.data() + 12, &seq, sizeof seq);
    return f;
}

struct Throughput {
    double framesPerSecond;
    double bigAllocsPerFrame;
};

// Pushes count frames of payload bytes through the endpoint, keeping at most window frames in
// flight so that memory stays bounded.
Throughput RunThroughput(IMediaTapSink* sink, size_t payload, long count) {
    const long window = payload > 16384 ? 64 : 1024;
    std::vector<unsigned char> f = Frame(payload, ~0u);
    const long before = g_rtmp->received.load();
    g_bigAllocs = 0;
    g_bigAllocThreshold = payload;
    const auto start = Clock::now();
    for (long i = 0; i < count; ++i) {
        while (i - (g_rtmp->received.load(std::memory_order_acquire) - before) >= window) std::this_thread::yield();
        sink->OnRtpVideoData("app0", f.data(), static_cast<int>(f.size()), i % 30 == 0, static_cast<unsigned>(i));
    }
    while (g_rtmp->received.load(std::memory_order_acquire) - before < count) std::this_thread::yield();
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();
    g_bigAllocThreshold = ~size_t(0);
    return {count / secs, static_cast<double>(g_bigAllocs.load()) / count};
}

// The same frames copied once on the calling thread and handed straight to the manager.
double RunDirect(size_t payload, long count) {
    std::vector<unsigned char> f = Frame(payload, ~0u);
    const auto start = Clock::now();
    for (long i = 0; i < count; ++i) {
        std::vector<unsigned char> copy(f.begin(), f.end());
        g_rtmp->PublishVideoRtmpData(1000, copy.data() + 12, static_cast<int>(copy.size() - 12), 0, false);
    }
    return count / std::chrono::duration<double>(Clock::now() - start).count();
}

void RunLatency(IMediaTapSink* sink, int seconds) {
    const int videoFrames = 30 * seconds, audioFrames = 47 * seconds;
    const int total = videoFrames + audioFrames;
    std::vector<int64_t> sent(total, 0);
    {
        std::lock_guard<std::mutex> lock(g_rtmp->mutex);
        g_rtmp->arrivals.assign(total, 0);
        g_rtmp->record = true;
    }
    const long before = g_rtmp->received.load();
    // Video (about 20 KiB a frame) and audio (about 200 bytes) from two engine threads.
    std::thread video([&] {
        const auto start = Clock::now();
        for (int i = 0; i < videoFrames; ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1000000LL / 30));
            std::vector<unsigned char> f = Frame(20 * 1024, static_cast<uint32_t>(i));
            sent[i] = NowNs();
            sink->OnRtpVideoData("app0", f.data(), static_cast<int>(f.size()), i % 30 == 0, static_cast<unsigned>(i));
        }
    });
    std::thread audio([&] {
        const auto start = Clock::now();
        for (int i = 0; i < audioFrames; ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1000000LL / 47));
            std::vector<unsigned char> a(200, 0x11);
            uint32_t seq = static_cast<uint32_t>(videoFrames + i);
            std::memcpy(a.data(), &seq, sizeof seq);
            sent[seq] = NowNs();
            sink->OnMixerAudioDataAt("#soundcard#mix#mic", a.data(), static_cast<int>(a.size()), static_cast<unsigned>(i));
        }
    });
    video.join();
    audio.join();
    while (g_rtmp->received.load() - before < total) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::vector<double> delays;
    {
        std::lock_guard<std::mutex> lock(g_rtmp->mutex);
        g_rtmp->record = false;
        for (int i = 0; i < total; ++i)
            if (g_rtmp->arrivals[i] && sent[i]) delays.push_back((g_rtmp->arrivals[i] - sent[i]) / 1000.0);
    }
    std::sort(delays.begin(), delays.end());
    auto pct = [&](double p) { return delays[std::min(delays.size() - 1, static_cast<size_t>(p * delays.size()))]; };
    std::printf("delay callback -> RTMP manager, 30 video (20 KiB) + 47 audio fps for %d s, %zu frames:\n", seconds,
                delays.size());
    std::printf("  p50 %8.1f us   p99 %8.1f us   max %8.1f us\n", pct(0.50), pct(0.99), delays.back());
}

}  // namespace

// Counts heap buffers at least as large as a frame while a throughput run is going on.
void* operator new(size_t size) {
    if (size >= g_bigAllocThreshold.load(std::memory_order_relaxed)) g_bigAllocs.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

extern "C" {
IRtmpMgr* CreateRtmpMgr(IRtmpMgrSink*) {
    if (g_rtmp == nullptr) g_rtmp = new ArrivalRtmpMgr();
    return g_rtmp;
}
void DestroyRtmpMgr(IRtmpMgr*) {
    delete g_rtmp;
    g_rtmp = nullptr;
}
IPaneShareMgr* CreatePaneShareMgr(IPaneShareMgrSink*) { return new NoWindows(); }
void DestroyPaneShareMgr(IPaneShareMgr* mgr) { delete static_cast<NoWindows*>(mgr); }
}

int main(int argc, char** argv) {
    const long count = argc > 1 ? std::atol(argv[1]) : 20000;
    IStreamCore* core = CreateStreamCore();
    core->Initialize(nullptr, nullptr, nullptr, false);
    doubles::SetEngineResult("IsVideoEncoding", 1);
    core->PublishMixStream("rtmp://127.0.0.1/live/bench", "app0", "#soundcard#mix#mic", 0);
    IMediaTapSink* sink = doubles::Engine()->Sink();

    std::printf("endpoint media path (engine callback, two hops, RTMP manager)\n");
    for (size_t payload : {size_t(1024), size_t(100 * 1024)}) {
        const long n = payload > 16384 ? count / 4 : count;
        RunThroughput(sink, payload, n / 10);  // warm-up
        Throughput t = RunThroughput(sink, payload, n);
        double direct = RunDirect(payload, n);
        std::printf("  %6zu-byte frames: %10.0f frames/s through the endpoint   %10.0f frames/s copied once, no hop   "
                    "%.2f frame-sized buffers per frame\n",
                    payload, t.framesPerSecond, direct, t.bigAllocsPerFrame);
    }
    RunLatency(sink, argc > 2 ? std::atoi(argv[2]) : 5);
    core->UnInitialize();
    DestroyStreamCore(core);
    return 0;
}
