// An uplink narrower than the stream: nginx and the publisher in a network namespace of their
// own whose loopback passes through a token bucket at 60 % of the stream's bitrate. Every
// audio frame must reach the server (also those still queued when the publication is closed
// half a second after its last frame), the delay must stay bounded, and the copy must decode.
//
// The test runs itself again inside the namespace (`ip netns exec`). With
// RTMPLINK_NARROW_SECONDS=N it publishes for N seconds instead of 30, and with
// RTMPLINK_NARROW_FFMPEG=1 it then sends the same media with `ffmpeg -re -c copy` through the
// same link and prints both sets of figures (bench/rtmplink/narrow.sh).
#include "media.h"
#include "rtmp_mgr.h"

#include "support/ffprobe.h"
#include "support/peers.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

using namespace rtmptest;
using Clock = std::chrono::steady_clock;

namespace {

struct Manager {
    RecordingSink sink;
    IRtmpMgr* mgr = CreateRtmpMgr(&sink);
    ~Manager() { DestroyRtmpMgr(mgr); }
};

// What an FLV file the server is still writing holds so far.
struct FlvSoFar {
    int audio = 0;        // AAC frames (not the sequence header)
    int video = 0;        // pictures
    uint32_t lastTs = 0;  // newest media timestamp, ms
};

FlvSoFar ReadFlv(const std::string& path) {
    const std::string b = testsupport::ReadFile(path);
    FlvSoFar f;
    size_t at = 13;
    while (at + 11 <= b.size()) {
        const uint8_t* t = reinterpret_cast<const uint8_t*>(b.data() + at);
        const size_t size = (size_t(t[1]) << 16) | (size_t(t[2]) << 8) | t[3];
        if (at + 11 + size + 4 > b.size()) break;
        const uint32_t ts = (uint32_t(t[7]) << 24) | (uint32_t(t[4]) << 16) | (uint32_t(t[5]) << 8) | t[6];
        const uint8_t* body = t + 11;
        if (t[0] == 8 && size >= 2 && body[1] == 1) ++f.audio;
        if (t[0] == 9 && size >= 2 && body[1] == 1) ++f.video;
        if (t[0] == 8 || t[0] == 9) f.lastTs = std::max(f.lastTs, ts);
        at += 11 + size + 4;
    }
    return f;
}

// The unsent bytes the kernel holds on connections to port (ss's Send-Q), summed.
long SendQueue(int port) {
    const std::string out = testsupport::RunCapture(
        {"sh", "-c", "ss -tnH state established \"dport = :$0\" | awk '{s+=$2} END {print s+0}'",
         std::to_string(port)},
        5000);
    return std::atol(out.c_str());
}

struct Figures {
    double delayAt[3] = {-1, -1, -1};  // at 1/6, 1/2 and the end of the run (10, 30, 60 s of 60)
    double maxDelay = 0;
    long sendQ[3] = {0, 0, 0};
    FlvSoFar delivered;
};

// Watches the server's copy while media plays out from `start`: the delay is how far the
// newest timestamp the server has lags behind the media clock.
Figures Watch(const std::string& rec, int port, Clock::time_point start, double seconds,
              const std::function<bool()>& running) {
    Figures fig;
    const double marks[3] = {seconds / 6, seconds / 2, seconds - 0.5};
    int next = 0;
    while (running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const double now = std::chrono::duration<double>(Clock::now() - start).count();
        const FlvSoFar f = ReadFlv(rec);
        if (f.video + f.audio == 0) continue;
        const double delay = now - f.lastTs / 1000.0;
        if (now < seconds) fig.maxDelay = std::max(fig.maxDelay, delay);
        if (next < 3 && now >= marks[next]) {
            fig.delayAt[next] = delay;
            fig.sendQ[next] = SendQueue(port);
            ++next;
        }
    }
    return fig;
}

struct NarrowMedia {
    TestMedia media;
    std::string flv;
    double kbps = 0;
};

// `seconds` of 640x360 25 fps H.264 at about 2.5 Mbit/s (a key frame every 2 s) with AAC at
// 16 kHz mono, as an FLV file for ffmpeg and as frames for the publisher.
bool MakeMedia(const testsupport::TempDir& dir, int seconds, NarrowMedia* out) {
    out->flv = dir.file("media.flv");
    int status = -1;
    testsupport::RunCapture(
        {"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25", "-f",
         "lavfi", "-i", "sine=frequency=440:sample_rate=16000", "-t", std::to_string(seconds), "-c:v", "libx264",
         "-preset", "ultrafast", "-b:v", "2400k", "-maxrate", "2400k", "-bufsize", "2400k", "-g", "50", "-bf", "0",
         "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k", "-ac", "1", "-f", "flv", out->flv},
        300000, &status);
    if (status != 0) return false;
    const std::string h264 = dir.file("media.h264"), aac = dir.file("media.aac");
    testsupport::RunCapture({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", out->flv, "-map", "0:v", "-c", "copy",
                             "-bsf:v", "h264_mp4toannexb,h264_metadata=aud=insert", "-f", "h264", h264},
                            120000, &status);
    if (status != 0) return false;
    testsupport::RunCapture(
        {"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", out->flv, "-map", "0:a", "-c", "copy", "-f", "adts", aac},
        120000, &status);
    if (status != 0) return false;
    const std::string hv = testsupport::ReadFile(h264), ha = testsupport::ReadFile(aac);
    out->media.video = SplitAccessUnits(std::vector<uint8_t>(hv.begin(), hv.end()), 25);
    out->media.audio = SplitAdts(std::vector<uint8_t>(ha.begin(), ha.end()), &out->media.aacConfig);
    out->kbps = (hv.size() + ha.size()) * 8.0 / 1000.0 / seconds;
    return !out->media.video.empty() && !out->media.audio.empty();
}

void Print(const char* who, const Figures& f, size_t videoGiven, size_t audioGiven) {
    std::printf("%-12s delay %.2f / %.2f / %.2f s (max %.2f s), Send-Q %ld / %ld / %ld bytes, "
                "video %d of %zu, audio %d of %zu\n",
                who, f.delayAt[0], f.delayAt[1], f.delayAt[2], f.maxDelay, f.sendQ[0], f.sendQ[1], f.sendQ[2],
                f.delivered.video, videoGiven, f.delivered.audio, audioGiven);
}

void RunInside() {
    const char* secondsText = getenv("RTMPLINK_NARROW_SECONDS");
    const int seconds = secondsText ? std::atoi(secondsText) : 30;
    testsupport::TempDir dir("narrow");
    NarrowMedia m;
    ASSERT_TRUE(MakeMedia(dir, seconds, &m));
    const int rate = static_cast<int>(m.kbps * 0.6);
    int status = -1;
    testsupport::RunCapture({"sh", "-c",
                             "ip link set lo mtu 1500 up && tc qdisc add dev lo root tbf rate ${0}kbit burst 8kb "
                             "latency 50ms",
                             std::to_string(rate)},
                            10000, &status);
    ASSERT_EQ(status, 0) << "tc";
    std::printf("stream %.0f kbit/s, link %d kbit/s, %d s\n", m.kbps, rate, seconds);
    testsupport::NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start());

    Manager mgr;
    const int id = mgr.mgr->GetPublishId();
    ASSERT_TRUE(mgr.mgr->OpenPublishUrl(id, true, "uni", nginx.Url("narrow").c_str(), 0));
    ASSERT_TRUE(mgr.sink.WaitFor(RTMP_PUBLISH_CONNECTED, 1, 10000));
    mgr.mgr->SetAACExtraData(id, m.media.aacConfig.data(), static_cast<int>(m.media.aacConfig.size()));
    std::atomic<bool> feeding{true};
    const Clock::time_point start = Clock::now();
    std::thread feeder([&] {
        FeedRealTime(mgr.mgr, id, m.media.video, m.media.audio);
        // The stop comes half a second after the last frame, with the link still behind:
        // closing sends what is queued first.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        feeding = false;
    });
    Figures ours = Watch(nginx.Recording("narrow"), nginx.port(), start, seconds, [&] { return feeding.load(); });
    feeder.join();
    mgr.mgr->ClosePublish(id);
    const std::string rec = nginx.Recording("narrow");
    testsupport::WaitUntil([&] { return ReadFlv(rec).audio >= static_cast<int>(m.media.audio.size()); }, 3000);
    ours.delivered = ReadFlv(rec);
    Print("RtmpPublish", ours, m.media.video.size(), m.media.audio.size());

    if (getenv("RTMPLINK_NARROW_FFMPEG")) {
        testsupport::ChildProcess ff;
        const Clock::time_point ffStart = Clock::now();
        ASSERT_TRUE(ff.Start({"ffmpeg", "-nostdin", "-v", "error", "-re", "-i", m.flv, "-c", "copy", "-f", "flv",
                              nginx.Url("ffmpeg")},
                             dir.file("ffmpeg.log")));
        Figures theirs = Watch(nginx.Recording("ffmpeg"), nginx.port(), ffStart, seconds, [&] { return ff.Running(); });
        theirs.delivered = ReadFlv(nginx.Recording("ffmpeg"));
        Print("ffmpeg -re", theirs, m.media.video.size(), m.media.audio.size());
    }
    nginx.Stop();

    EXPECT_EQ(static_cast<size_t>(ours.delivered.audio), m.media.audio.size());
    EXPECT_GT(ours.delivered.video, 0);
    // Bounded: without dropping, the delay would grow by 40 % of the run (12 s over 30 s).
    EXPECT_LT(ours.maxDelay, 3.0);
    EXPECT_EQ(testsupport::DecodeErrors(nginx.Recording("narrow")), "");
}

}  // namespace

TEST(NarrowLink, AudioCompleteDelayBoundedCopyDecodes) {
    if (getenv("RTMPLINK_NARROW_INSIDE")) {
        RunInside();
        return;
    }
    const int status = testsupport::RunSelfInNetworkNamespace("NarrowLink.*", "RTMPLINK_NARROW_INSIDE", 600000);
    if (status == -2) GTEST_SKIP() << "no network namespace can be made here (ip netns add)";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
