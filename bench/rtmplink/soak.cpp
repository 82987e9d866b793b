// Soak: one publisher sends real-time media for a long while (300 s by default) while nginx is
// killed (SIGKILL) and started again on the same port every 5 to 8 s, staying down 0 to 2 s.
// Prints the restarts, how long the publisher took to be back once the server accepted again
// (p50 and max), the process's RSS, threads and open descriptors at the start and the end,
// and whether every segment the server recorded decodes.
//
// With --stopped the server is stopped (SIGSTOP) instead, two seconds in, and stays stopped:
// it keeps its connection open and reads nothing. Prints the RSS, the publisher's queue and
// the failure events every 30 s.
//
//   rtmplink_soak [--seconds N] [--stopped 1]
#include "media.h"
#include "rtmp_mgr.h"
#include "rtmp_publish.h"

#include "support/ffprobe.h"
#include "support/peers.h"
#include "support/process.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

using namespace rtmptest;
using Clock = std::chrono::steady_clock;

namespace {

struct Usage {
    long rssKb = 0;
    int threads = 0;
    int fds = 0;
};

Usage Measure() {
    Usage u;
    const std::string status = testsupport::ReadFile("/proc/self/status");
    const size_t rss = status.find("VmRSS:");
    if (rss != std::string::npos) u.rssKb = std::atol(status.c_str() + rss + 6);
    const size_t threads = status.find("Threads:");
    if (threads != std::string::npos) u.threads = std::atoi(status.c_str() + threads + 8);
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) u.fds += e->d_name[0] != '.';
        closedir(d);
        --u.fds;  // the one opendir holds
    }
    return u;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    int seconds = 300;
    bool stopped = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds")) seconds = std::max(10, std::atoi(argv[i + 1]));
        if (!std::strcmp(argv[i], "--stopped")) stopped = std::atoi(argv[i + 1]) != 0;
    }
    const TestMedia& media = Media(2);
    if (media.video.empty()) {
        std::fprintf(stderr, "no media\n");
        return 1;
    }
    testsupport::NginxRtmp nginx;
    if (!nginx.Start()) {
        std::fprintf(stderr, "nginx did not start\n");
        return 1;
    }
    RecordingSink sink;
    IRtmpMgr* mgr = CreateRtmpMgr(&sink);
    const int id = mgr->GetPublishId();
    mgr->OpenPublishUrl(id, true, "soak", nginx.Url("soak").c_str(), 0);
    if (!sink.WaitFor(RTMP_PUBLISH_CONNECTED, 1, 10000)) {
        std::fprintf(stderr, "no connection\n");
        return 1;
    }
    std::vector<uint8_t> config = media.aacConfig;
    mgr->SetAACExtraData(id, config.data(), static_cast<int>(config.size()));

    // The two seconds of media over and over, on one clock, until the end.
    std::atomic<bool> feeding{true};
    // Each pass starts after the last frame of either kind, so both stay monotonic.
    const uint32_t passMs = std::max(media.video.back().timestamp + 40, media.audio.back().timestamp + 64);
    std::thread feeder([&] {
        for (uint32_t offset = 0; feeding; offset += passMs) {
            std::vector<Frame> v = media.video, a = media.audio;
            for (Frame& f : v) f.timestamp += offset;
            for (Frame& f : a) f.timestamp += offset;
            FeedRealTime(mgr, id, v, a);
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const Usage first = Measure();
    if (stopped) {
        const pid_t pid = static_cast<pid_t>(std::atoi(testsupport::ReadFile(nginx.dir() + "/nginx.pid").c_str()));
        kill(pid, SIGSTOP);
        RtmpPublish* publisher = static_cast<CRtmpMgr*>(mgr)->FindPublish(id);
        std::printf("stopped server: RSS %ld kB at the stop\n", first.rssKb);
        for (int t = 30; t <= seconds; t += 30) {
            std::this_thread::sleep_for(std::chrono::seconds(30));
            std::printf("  %3d s: RSS %ld kB, %zu messages queued, %d failure events\n", t, Measure().rssKb,
                        publisher->QueuedCount(), sink.Count(RTMP_PUBLISH_CONNECT_FAILED));
            std::fflush(stdout);
        }
        const Usage last = Measure();
        std::printf("stopped server, %d s: RSS %ld -> %ld kB, threads %d -> %d, descriptors %d -> %d\n", seconds,
                    first.rssKb, last.rssKb, first.threads, last.threads, first.fds, last.fds);
        feeding = false;
        feeder.join();
        kill(pid, SIGCONT);
        mgr->ClosePublish(id);
        DestroyRtmpMgr(mgr);
        nginx.Stop();
        return 0;
    }

    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> upMs(5000, 8000), downMs(0, 2000);
    std::vector<double> backMs;
    int segments = 0, notBack = 0;
    const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() + std::chrono::milliseconds(8000) < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(upMs(rng)));
        const int connected = sink.Count(RTMP_PUBLISH_CONNECTED);
        const pid_t pid = static_cast<pid_t>(std::atoi(testsupport::ReadFile(nginx.dir() + "/nginx.pid").c_str()));
        if (pid > 0) kill(pid, SIGKILL);
        nginx.Stop();
        // Keep what this run of the server recorded; the next one starts the file again.
        rename(nginx.Recording("soak").c_str(), nginx.Recording("segment" + std::to_string(segments++)).c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(downMs(rng)));
        if (!nginx.Start()) {
            std::fprintf(stderr, "nginx did not start again\n");
            break;
        }
        const Clock::time_point back = Clock::now();
        if (testsupport::WaitUntil([&] { return sink.Count(RTMP_PUBLISH_CONNECTED) > connected; }, 10000)) {
            backMs.push_back(Ms(Clock::now() - back));
        } else {
            ++notBack;
        }
    }
    std::this_thread::sleep_until(end);
    const Usage last = Measure();
    const bool timedOutFlag = mgr->GetSendDataTimeOut(id);
    feeding = false;
    feeder.join();
    mgr->ClosePublish(id);
    DestroyRtmpMgr(mgr);
    nginx.Stop();
    rename(nginx.Recording("soak").c_str(), nginx.Recording("segment" + std::to_string(segments++)).c_str());

    int decodable = 0, empty = 0;
    std::string firstError;
    for (int i = 0; i < segments; ++i) {
        const std::string seg = nginx.Recording("segment" + std::to_string(i));
        const std::string frames = Probe({"-select_streams", "v", "-count_packets", "-show_entries",
                                          "stream=nb_read_packets", "-of", "csv=p=0", seg});
        if (std::atoi(frames.c_str()) == 0) {
            ++empty;
            continue;
        }
        const std::string errors = testsupport::DecodeErrors(seg);
        if (errors.empty()) {
            ++decodable;
        } else if (firstError.empty()) {
            firstError = "segment" + std::to_string(i) + ": " + errors.substr(0, errors.find('\n'));
        }
    }
    std::sort(backMs.begin(), backMs.end());
    const double p50 = backMs.empty() ? 0 : backMs[backMs.size() / 2];
    const double max = backMs.empty() ? 0 : backMs.back();
    std::printf("soak: %d s, %zu restarts (%d not back within 10 s)\n", seconds, backMs.size() + notBack, notBack);
    std::printf("back after the server accepted again: p50 %.0f ms, max %.0f ms\n", p50, max);
    std::printf("RSS %ld -> %ld kB, threads %d -> %d, descriptors %d -> %d\n", first.rssKb, last.rssKb, first.threads,
                last.threads, first.fds, last.fds);
    std::printf("segments: %d decodable of %d with video (%d without)\n", decodable, segments - empty, empty);
    if (!firstError.empty()) std::printf("  first error: %s\n", firstError.c_str());
    std::printf("GetSendDataTimeOut at the end (connected): %s\n", timedOutFlag ? "true" : "false");
    return 0;
}
