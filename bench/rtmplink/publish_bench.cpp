// Publishing benchmark: the same 60 s of 1280x720 30 fps H.264 (4 Mbit/s) with AAC, sent to a
// local nginx RTMP server through RtmpPublish (each frame as soon as the queue has room, so
// that none is dropped) and with `ffmpeg -i SAME.flv -c copy -f flv rtmp://...`; then the
// delay from PublishVideoRtmpData to the end of its send, at real-time pace.
//
//   rtmplink_bench [--media DIR] [--realtime-seconds N]
//
// DIR keeps the generated media between runs (made with ffmpeg when missing).
#include "media.h"
#include "rtmp_mgr.h"
#include "rtmp_publish.h"

#include "support/peers.h"
#include "support/process.h"

#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

extern char** environ;

using namespace rtmptest;

namespace {

const int kSeconds = 60;
const int kFps = 30;

double CpuSeconds(const rusage& u) {
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

double ProcessCpu() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return CpuSeconds(u);
}

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

std::vector<uint8_t> ReadBytes(const std::string& path) {
    const std::string text = testsupport::ReadFile(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

bool Run(const std::vector<std::string>& argv) {
    int status = -1;
    testsupport::RunCapture(argv, 600000, &status);
    return status == 0;
}

// Counts what left and keeps the send delay of every video frame.
class Observer : public rtmplink::ISendObserver {
public:
    void OnMessageSent(bool video, bool sequenceHeader, uint32_t, int64_t submitUs, int64_t sentUs) override {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_sent;
        if (video && !sequenceHeader && m_keepDelays) m_delaysUs.push_back(sentUs - submitUs);
        m_changed.notify_all();
    }
    void WaitSent(long count) {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_sent >= count; });
    }
    long Sent() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_sent;
    }
    // Waits (without spinning) until fewer than room messages wait in the queue.
    // The queue is asked without m_lock held: the publisher calls OnMessageSent with its
    // queue lock held.
    void WaitRoom(RtmpPublish* publisher, size_t room) {
        while (publisher->QueuedCount() >= room) {
            std::unique_lock<std::mutex> lock(m_lock);
            const long seen = m_sent;
            m_changed.wait_for(lock, std::chrono::milliseconds(5), [&] { return m_sent != seen; });
        }
    }
    std::vector<int64_t> Delays() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_delaysUs;
    }
    void KeepDelays() { m_keepDelays = true; }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    long m_sent = 0;
    bool m_keepDelays = false;
    std::vector<int64_t> m_delaysUs;
};

struct OursResult {
    double wall = 0, cpu = 0;
    long frames = 0;
};

// Publishes all frames through the manager; fast (flow control on the queue) or at
// real-time pace.
OursResult PublishOurs(const TestMedia& media, const std::string& url, bool realTime, double seconds, Observer* obs) {
    RecordingSink sink;
    IRtmpMgr* mgr = CreateRtmpMgr(&sink);
    OursResult r;
    const double wall0 = Now(), cpu0 = ProcessCpu();
    const int id = mgr->GetPublishId();
    mgr->OpenPublishUrl(id, true, "bench", url.c_str(), 0);
    if (!sink.WaitFor(RTMP_PUBLISH_CONNECTED, 1, 10000)) {
        std::fprintf(stderr, "no connection to %s\n", url.c_str());
        DestroyRtmpMgr(mgr);
        return r;
    }
    RtmpPublish* publisher = static_cast<CRtmpMgr*>(mgr)->FindPublish(id);
    publisher->SetSendObserver(obs);
    std::vector<uint8_t> config = media.aacConfig;
    mgr->SetAACExtraData(id, config.data(), static_cast<int>(config.size()));
    const uint32_t limitMs = static_cast<uint32_t>(seconds * 1000);
    const auto start = std::chrono::steady_clock::now();
    size_t v = 0, a = 0;
    while (v < media.video.size() || a < media.audio.size()) {
        const bool takeVideo =
            a >= media.audio.size() || (v < media.video.size() && media.video[v].timestamp <= media.audio[a].timestamp);
        const Frame& f = takeVideo ? media.video[v] : media.audio[a];
        if (f.timestamp >= limitMs) break;
        if (realTime) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(f.timestamp));
        } else {
            // A key frame drops whatever still waits: give it an empty queue.
            obs->WaitRoom(publisher, takeVideo && f.key ? 1 : 8);
        }
        if (takeVideo) {
            mgr->PublishVideoRtmpData(id, const_cast<uint8_t*>(f.data.data()), static_cast<int>(f.data.size()),
                                      f.timestamp, f.key);
            ++v;
        } else {
            mgr->PublishAudioRtmpData(id, 1, const_cast<uint8_t*>(f.data.data()), static_cast<int>(f.data.size()),
                                      f.timestamp);
            ++a;
        }
    }
    // Every frame, plus the two sequence headers (more if SPS/PPS change).
    obs->WaitSent(static_cast<long>(v + a + 2));
    r.wall = Now() - wall0;
    r.cpu = ProcessCpu() - cpu0;
    r.frames = static_cast<long>(v);
    publisher->SetSendObserver(nullptr);
    mgr->ClosePublish(id);
    DestroyRtmpMgr(mgr);
    return r;
}

// Runs ffmpeg to the end; wall time and the child's CPU time.
bool PublishFfmpeg(const std::string& flv, const std::string& url, double* wall, double* cpu) {
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v", "error", "-i", flv, "-c", "copy", "-f", "flv", url};
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    const double wall0 = Now();
    pid_t pid;
    if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    rusage u;
    if (wait4(pid, &status, 0, &u) != pid) return false;
    *wall = Now() - wall0;
    *cpu = CpuSeconds(u);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int FramesIn(const std::string& rec) {
    const std::string out = Probe({"-select_streams", "v", "-count_packets", "-show_entries", "stream=nb_read_packets",
                                   "-of", "csv=p=0", rec});
    return out.empty() ? -1 : std::atoi(out.c_str());
}

double Percentile(std::vector<int64_t> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return static_cast<double>(v[std::min(i, v.size() - 1)]) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mediaDir = "/tmp/rtmplink_bench_media";
    double realTimeSeconds = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--media")) mediaDir = argv[i + 1];
        if (!std::strcmp(argv[i], "--realtime-seconds")) realTimeSeconds = std::atof(argv[i + 1]);
    }
    mkdir(mediaDir.c_str(), 0755);
    const std::string flv = mediaDir + "/same.flv", h264 = mediaDir + "/same.h264", aac = mediaDir + "/same.aac";
    if (!testsupport::FileExists(flv)) {
        std::printf("making %d s of 1280x720 %d fps H.264 at 4 Mbit/s with AAC (once)...\n", kSeconds, kFps);
        std::fflush(stdout);
        const std::string t = std::to_string(kSeconds);
        if (!Run({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30", "-f",
                  "lavfi", "-i", "sine=frequency=440:sample_rate=44100", "-t", t, "-c:v", "libx264", "-preset",
                  "veryfast", "-b:v", "4M", "-maxrate", "4M", "-bufsize", "4M", "-g", "60", "-bf", "0", "-pix_fmt",
                  "yuv420p", "-c:a", "aac", "-b:a", "96k", "-ac", "1", "-f", "flv", flv + ".part"}) ||
            rename((flv + ".part").c_str(), flv.c_str()) != 0) {
            std::fprintf(stderr, "could not make the media\n");
            return 1;
        }
    }
    // The same frames as Annex-B access units and raw AAC frames for RtmpPublish.
    if (!Run({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", flv, "-map", "0:v", "-c", "copy", "-bsf:v",
              "h264_mp4toannexb,h264_metadata=aud=insert", "-f", "h264", h264}) ||
        !Run({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", flv, "-map", "0:a", "-c", "copy", "-f", "adts", aac})) {
        std::fprintf(stderr, "could not split the media\n");
        return 1;
    }
    TestMedia media;
    media.video = SplitAccessUnits(ReadBytes(h264), kFps);
    media.audio = SplitAdts(ReadBytes(aac), &media.aacConfig);
    size_t videoBytes = 0;
    for (const Frame& f : media.video) videoBytes += f.data.size();
    std::printf("media: %zu video frames (%.2f Mbit/s), %zu AAC frames, %d s\n", media.video.size(),
                videoBytes * 8.0 / kSeconds / 1e6, media.audio.size(), kSeconds);

    testsupport::NginxRtmp nginx;
    if (!nginx.Start()) {
        std::fprintf(stderr, "nginx did not start\n");
        return 1;
    }
    Observer fastObs;
    const OursResult ours = PublishOurs(media, nginx.Url("ours"), false, kSeconds, &fastObs);
    double ffWall = 0, ffCpu = 0;
    const bool ffOk = PublishFfmpeg(flv, nginx.Url("ffmpeg"), &ffWall, &ffCpu);
    Observer rtObs;
    rtObs.KeepDelays();
    PublishOurs(media, nginx.Url("realtime"), true, realTimeSeconds, &rtObs);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    nginx.Stop();
    const int oursFrames = FramesIn(nginx.Recording("ours"));
    const int ffFrames = FramesIn(nginx.Recording("ffmpeg"));

    const double media_s = kSeconds;
    std::printf("\n%-28s %14s %14s\n", "", "RtmpPublish", "ffmpeg -c copy");
    std::printf("%-28s %14.3f %14.3f\n", "wall seconds", ours.wall, ffWall);
    std::printf("%-28s %14.3f %14.3f\n", "CPU seconds", ours.cpu, ffCpu);
    std::printf("%-28s %14.1f %14.1f\n", "media-s per wall s", media_s / ours.wall, media_s / ffWall);
    std::printf("%-28s %14.1f %14.1f\n", "media-s per CPU s", media_s / ours.cpu, media_s / ffCpu);
    std::printf("%-28s %14d %14d\n", "video frames recorded", oursFrames, ffFrames);
    std::printf("ratio ours/ffmpeg: %.2fx per wall second, %.2fx per CPU second%s\n", ffWall / ours.wall,
                ffCpu / ours.cpu, ffOk ? "" : " (ffmpeg failed)");
    const std::vector<int64_t> delays = rtObs.Delays();
    std::printf("\nreal-time pace, %.0f s, %zu video frames: PublishVideoRtmpData -> end of RTMP_SendPacket\n",
                realTimeSeconds, delays.size());
    std::printf("  p50 %.3f ms   p99 %.3f ms   max %.3f ms\n", Percentile(delays, 0.5), Percentile(delays, 0.99),
                Percentile(delays, 1.0));
    return 0;
}
