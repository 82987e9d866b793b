// The bitrate following the uplink, with figures: the endpoint with the real capture engine
// publishes a moving 1280x720 desktop at 2500 kbit/s (30 fps) with the sound mixer to nginx, all
// inside the network namespace it is run in (run.sh makes one), whose loopback passes through a
// token bucket: 60 s at 1.6 Mbit/s, then 60 s at 10 Mbit/s. Printed per 10 s: video frames the
// server got of those captured, the longest stretch without a frame, the longest lag, audio
// frames the server got and those missing between them, the bitrate in use; then the time to
// settle after each change of the link.
//
//   bitrate_bench LABEL      (STREAMCORE_FIXED_BITRATE=1 in the environment: controller off)
#include "IStreamCore.h"
#include "pulse_server.h"
#include "support/peers.h"
#include "support/process.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

const int kAskedKbps = 2500, kFps = 30, kPhaseSeconds = 60, kNarrowKbps = 1600, kWideKbps = 10000;
const double kAacFrameSeconds = 1024.0 / 16000;  // the mixer's AAC at 16 kHz
const char kMixer[] = "#soundcard#mix#mic";

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

class Sink : public StreamCoreSink, public IStreamCoreBitrateSink {
public:
    void OnStreamCoreEvent(int, int) override {}
    void OnPublishResult(int value, const char*) override { connected = connected || value == 0; }
    void OnPlayResult(int, const char*) override {}
    void OnBitrateChanged(int kbps, const char*) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_changes.emplace_back(Since(start), kbps);
    }
    // The bitrate in use at t seconds.
    int At(double t) {
        std::lock_guard<std::mutex> lock(m_lock);
        int kbps = kAskedKbps;
        for (const auto& c : m_changes)
            if (c.first <= t) kbps = c.second;
        return kbps;
    }
    std::vector<std::pair<double, int>> Changes() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_changes;
    }
    std::atomic<bool> connected{false};
    Clock::time_point start;

private:
    std::mutex m_lock;
    std::vector<std::pair<double, int>> m_changes;
};

struct Tag {
    bool video;
    double t;  // media time, s
};

// The audio and video tags of an FLV file the server may still be writing (whole tags only).
std::vector<Tag> ReadTags(const std::string& path) {
    const std::string b = ReadFile(path);
    std::vector<Tag> tags;
    for (size_t at = 13; at + 15 <= b.size();) {
        const auto* p = reinterpret_cast<const unsigned char*>(b.data() + at);
        const size_t body = (size_t(p[1]) << 16) | (size_t(p[2]) << 8) | p[3];
        if (at + 15 + body > b.size()) break;
        const uint32_t ms = (uint32_t(p[7]) << 24) | (uint32_t(p[4]) << 16) | (uint32_t(p[5]) << 8) | p[6];
        // Media frames only: not the sequence headers (second body byte 0).
        if ((p[0] == 8 || p[0] == 9) && body >= 2 && p[12] == 1) tags.push_back(Tag{p[0] == 9, ms / 1000.0});
        at += 11 + body + 4;
    }
    return tags;
}

bool Tc(const char* verb, int kbps) {
    int status = -1;
    RunCapture({"sh", "-c", std::string("tc qdisc ") + verb + " dev lo root tbf rate ${0}kbit burst 8kb latency 50ms",
                std::to_string(kbps)},
               10000, &status);
    return status == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string label = argc > 1 ? argv[1] : "";
    int status = -1;
    RunCapture({"ip", "link", "set", "lo", "mtu", "1500", "up"}, 10000, &status);
    if (status != 0 || !Tc("replace", kNarrowKbps)) {
        std::fprintf(stderr, "bitrate_bench: needs a network namespace of its own, as root (run.sh)\n");
        return 1;
    }
    TempDir dir("bitrate_bench");
    XvfbDisplay x;
    audiotest::PulseServer pulse;
    NginxRtmp server;
    if (!x.Start(false) || !pulse.Start() || !server.Start()) {
        std::fprintf(stderr, "bitrate_bench: Xvfb, pulseaudio or nginx did not start\n");
        return 1;
    }
    setenv("DISPLAY", x.display().c_str(), 1);
    ChildProcess animator;
    const std::string ready = dir.file("ready");
    if (!animator.Start({MEDIATAP_BENCH_PATH, "--scene", "moving", x.display(), ready, dir.file("flips")}, dir.file("animator.log")) ||
        !WaitUntil([&] { return FileExists(ready); }, 10000)) {
        std::fprintf(stderr, "bitrate_bench: no moving content\n");
        return 1;
    }
    Sink sink;
    IStreamCore* core = CreateStreamCore();
    core->SetSink(&sink);
    core->SetBitrateSink(&sink);
    char capture[128] = {0};
    const std::string url = server.Url("bench");
    if (!core->Initialize(nullptr, nullptr, nullptr, false) ||
        !core->StartCaptureApplication(nullptr, false, nullptr, kAskedKbps, 1280, 720, capture, kFps) ||
        !core->PublishMixStream(url.c_str(), capture, kMixer, 0) ||
        !WaitUntil([&] { return sink.connected.load(); }, 15000)) {
        std::fprintf(stderr, "bitrate_bench: publishing did not start\n");
        return 1;
    }
    sink.start = Clock::now();
    const int windows = 2 * kPhaseSeconds / 10;
    std::vector<double> maxLag(windows, 0);
    bool widened = false;
    while (Since(sink.start) < 2 * kPhaseSeconds + 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const double now = Since(sink.start);
        if (!widened && now >= kPhaseSeconds) widened = Tc("change", kWideKbps);
        const std::vector<Tag> tags = ReadTags(server.Recording("bench"));
        const int w = static_cast<int>(now / 10);
        if (!tags.empty() && w < windows) maxLag[w] = std::max(maxLag[w], now - tags.back().t);
    }
    core->StopCaptureApplication(capture);
    core->StopEncodeMixer(kMixer);
    core->StopPublish(url.c_str());
    core->UnInitialize();
    DestroyStreamCore(core);
    server.Stop();

    const std::vector<Tag> tags = ReadTags(server.Recording("bench"));
    std::printf("%s: link %d kbit/s for %d s, then %d kbit/s; asked %d kbit/s\n", label.c_str(), kNarrowKbps,
                kPhaseSeconds, kWideKbps, kAskedKbps);
    std::printf("  window   video   frozen    lag   audio (missing)  kbit/s\n");
    int narrowVideo = 0;
    for (const Tag& t : tags) narrowVideo += t.video && t.t >= 5 && t.t < kPhaseSeconds;
    for (int w = 0; w < windows; ++w) {
        const double from = w * 10.0, to = from + 10;
        int video = 0, audio = 0, missing = 0;
        double frozen = 0, lastVideo = -1, lastAudio = -1;
        for (const Tag& t : tags) {
            const bool in = t.t >= from && t.t < to;
            double& last = t.video ? lastVideo : lastAudio;
            if (in && last >= 0 && t.video) frozen = std::max(frozen, t.t - last);
            if (in && last >= 0 && !t.video) missing += std::max(0, static_cast<int>((t.t - last) / kAacFrameSeconds + 0.5) - 1);
            if (in) ++(t.video ? video : audio);
            if (t.t < to) last = t.t;
        }
        std::printf("  %3.0f-%-3.0fs %4d/%d %6.2f s %5.2f s %5d (%d) %7d\n", from, to, video, 10 * kFps, frozen,
                    maxLag[w], audio, missing, sink.At(to));
    }
    std::printf("  narrow link after 5 s: %.0f %% of the video frames delivered\n",
                100.0 * narrowVideo / ((kPhaseSeconds - 5) * kFps));
    double down = -1, up = -1;
    for (const auto& c : sink.Changes()) {
        if (down < 0 && c.first < kPhaseSeconds) down = c.first;
        if (up < 0 && c.first >= kPhaseSeconds && c.second == kAskedKbps) up = c.first - kPhaseSeconds;
    }
    std::printf("  settled: down %.1f s after the narrow link began, back at %d kbit/s %.1f s after it widened\n",
                down, kAskedKbps, up);
    return 0;
}
