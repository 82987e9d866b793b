// Player benchmark.
// 1. The packet path: 60 s of 1280x720 25 fps H.264 held in memory as the FLV bodies a server
//    sends, run through the player's handling (PlayPacketizer: Annex-B conversion, parameter
//    sets, the 12-byte header), in MB/s, beside a plain memcpy of the same bytes in the same run.
// 2. The loopback delay: frames leave an RtmpPublish of ours, pass a local nginx and arrive in
//    an RtmpPlay of ours; p50 and p99 of the delay from submission to arrival.
// Usage: play_bench [--media DIR] [--passes N] [--delay-seconds S]
#include "flv_tags.h"
#include "media.h"
#include "play_packets.h"
#include "rtmp_mgr.h"

#include "support/peers.h"
#include "support/process.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

using namespace rtmptest;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<uint8_t> ReadBytes(const std::string& path) {
    const std::string text = testsupport::ReadFile(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// Receives the played frames and notes when each video timestamp arrived.
class DelaySink : public IRtmpMgrSink {
public:
    bool OnPublishEvent(int, std::string, RTMP_RESULT, char*, int) override { return true; }
    bool OnPlayEvent(int, std::string, RTMP_RESULT result, char*, int) override {
        if (result == RTMP_PLAY_CONNECTED) connected = true;
        return true;
    }
    bool OnPlayVideoData(int, unsigned long long, unsigned char* data, int len, bool) override {
        if (len < 12) return true;
        const uint32_t ts90 = (uint32_t(data[4]) << 24) | (uint32_t(data[5]) << 16) | (uint32_t(data[6]) << 8) | data[7];
        std::lock_guard<std::mutex> lock(m);
        arrivals.emplace(ts90 / 90, Clock::now());
        return true;
    }
    bool OnPlayAudioData(int, unsigned long long, unsigned char*, int) override { return true; }
    std::atomic<bool> connected{false};
    std::mutex m;
    std::map<uint32_t, Clock::time_point> arrivals;
};

}  // namespace

int main(int argc, char** argv) {
    std::string mediaDir = "/tmp/rtmplink_play_bench_media";
    int passes = 5;
    double delaySeconds = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--media")) mediaDir = argv[i + 1];
        if (!std::strcmp(argv[i], "--passes")) passes = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--delay-seconds")) delaySeconds = std::atof(argv[i + 1]);
    }
    mkdir(mediaDir.c_str(), 0755);
    const std::string h264 = mediaDir + "/play720.h264";
    if (!testsupport::FileExists(h264)) {
        std::printf("making 60 s of 1280x720 25 fps H.264 (once)...\n");
        std::fflush(stdout);
        int status = -1;
        testsupport::RunCapture({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                 "testsrc2=size=1280x720:rate=25", "-t", "60", "-c:v", "libx264", "-preset", "veryfast",
                                 "-b:v", "4M", "-g", "50", "-bf", "0", "-pix_fmt", "yuv420p", "-x264-params", "aud=1",
                                 "-f", "h264", h264 + ".part"},
                                600000, &status);
        if (status != 0 || rename((h264 + ".part").c_str(), h264.c_str()) != 0) {
            std::fprintf(stderr, "could not make the media\n");
            return 1;
        }
    }
    const std::vector<Frame> frames = SplitAccessUnits(ReadBytes(h264), 25);
    // The bodies a server sends: a sequence header before each key frame, then the picture.
    std::vector<std::vector<uint8_t>> bodies;
    std::vector<uint32_t> stamps;
    size_t total = 0;
    for (const Frame& f : frames) {
        std::vector<uint8_t> body;
        if (f.key) {
            rtmplink::KeyFrameParts parts;
            if (rtmplink::ParseKeyFrame(f.data.data(), f.data.size(), &parts) != rtmplink::KeyFrameError::kNone) continue;
            rtmplink::BuildSequenceHeader(parts.sps, parts.pps, &body);
            bodies.push_back(body);
            stamps.push_back(f.timestamp);
            total += body.size();
            rtmplink::BuildPictureBody(true, parts.picture, &body);
        } else {
            rtmplink::BuildPictureBody(false, rtmplink::SplitAnnexB(f.data.data(), f.data.size()), &body);
        }
        bodies.push_back(body);
        stamps.push_back(f.timestamp);
        total += body.size();
    }
    std::printf("media: %zu frames, %zu messages, %.1f MB of FLV video bodies\n", frames.size(), bodies.size(),
                total / 1e6);

    // memcpy into one reused buffer, as the packetizer reuses its output buffer.
    size_t largest = 0;
    for (const auto& b : bodies) largest = std::max(largest, b.size());
    std::vector<uint8_t> sink(largest + 1024);
    double bestPlay = 1e9, bestCopy = 1e9;
    uint64_t check = 0;
    for (int pass = 0; pass < passes; ++pass) {
        rtmplink::PlayPacketizer packetizer;
        auto t0 = Clock::now();
        for (size_t i = 0; i < bodies.size(); ++i) {
            if (packetizer.Video(bodies[i].data(), static_cast<uint32_t>(bodies[i].size()), stamps[i]) ==
                rtmplink::PlayResult::kDelivered) {
                check += packetizer.VideoData()[packetizer.VideoLength() - 1];
            }
        }
        auto t1 = Clock::now();
        for (const auto& b : bodies) {
            memcpy(sink.data(), b.data(), b.size());
            check += sink[b.size() / 2];
        }
        auto t2 = Clock::now();
        bestPlay = std::min(bestPlay, Seconds(t0, t1));
        bestCopy = std::min(bestCopy, Seconds(t1, t2));
    }
    std::printf("\npacket path (best of %d passes, %.1f MB each)      MB/s\n", passes, total / 1e6);
    std::printf("  PlayPacketizer (convert + header + copy)   %10.0f\n", total / 1e6 / bestPlay);
    std::printf("  memcpy of the same bytes (the limit)       %10.0f\n", total / 1e6 / bestCopy);
    std::printf("  PlayPacketizer / memcpy                    %10.2fx   (checksum %llu)\n", bestCopy / bestPlay,
                static_cast<unsigned long long>(check % 1000));

    // Loopback delay through nginx.
    testsupport::NginxRtmp nginx;
    if (!nginx.Start()) {
        std::fprintf(stderr, "nginx did not start\n");
        return 1;
    }
    DelaySink delaySink;
    IRtmpMgr* mgr = CreateRtmpMgr(&delaySink);
    const int pub = mgr->GetPublishId();
    const int play = mgr->GetPlayId();
    mgr->OpenPublishUrl(pub, false, "bench", nginx.Url("delay").c_str(), 0);
    mgr->OpenPlayUrl(play, 1, 2, nginx.Url("delay").c_str());
    testsupport::WaitUntil([&] { return delaySink.connected.load(); }, 10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    std::map<uint32_t, Clock::time_point> submitted;
    const size_t count = std::min(frames.size(), static_cast<size_t>(delaySeconds * 25));
    const auto start = Clock::now();
    for (size_t i = 0; i < count; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(frames[i].timestamp));
        std::vector<uint8_t> data = frames[i].data;
        submitted[frames[i].timestamp] = Clock::now();
        mgr->PublishVideoRtmpData(pub, data.data(), static_cast<int>(data.size()), frames[i].timestamp, frames[i].key);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    mgr->ClosePlay(play);
    mgr->ClosePublish(pub);
    std::vector<double> delays;
    {
        std::lock_guard<std::mutex> lock(delaySink.m);
        for (const auto& a : delaySink.arrivals) {
            auto it = submitted.find(a.first);
            if (it != submitted.end()) delays.push_back(Seconds(it->second, a.second) * 1000.0);
        }
    }
    DestroyRtmpMgr(mgr);
    std::sort(delays.begin(), delays.end());
    if (delays.empty()) {
        std::printf("\nloopback delay: no frame arrived\n");
        return 1;
    }
    std::printf("\nloopback delay RtmpPublish -> nginx -> RtmpPlay, 720p at 25 fps, %zu of %zu frames arrived\n",
                delays.size(), count);
    std::printf("  p50 %.2f ms   p99 %.2f ms   max %.2f ms\n", delays[delays.size() / 2],
                delays[std::min(delays.size() - 1, delays.size() * 99 / 100)], delays.back());
    return 0;
}
