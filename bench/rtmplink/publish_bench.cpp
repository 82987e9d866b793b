// Publishing benchmark: the same 60 s of 1280x720 30 fps H.264 (4 Mbit/s) with AAC, played
// LOOPS times over (10 by default: 600 media seconds a run), sent to a local nginx RTMP server
// through RtmpPublish (each frame as soon as the queue has room, so that none is dropped) and
// with `ffmpeg -stream_loop LOOPS-1 -i SAME.flv -c copy -f flv rtmp://...`, RUNS times each (5
// by default, alternating); the median and the spread of each figure are printed. Then the
// delay from PublishVideoRtmpData to the end of its send, at real-time pace.
//
//   rtmplink_bench [--media DIR] [--runs N] [--loops N] [--realtime-seconds N]
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
#include <unistd.h>

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

long ContextSwitches(const rusage& u) { return u.ru_nvcsw + u.ru_nivcsw; }

long ProcessSwitches() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return ContextSwitches(u);
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
    long switches = 0;  // context switches of the whole process
};

// Publishes all frames through the manager, `loops` times over; fast (flow control on the
// queue) or at real-time pace.
OursResult PublishOurs(const TestMedia& media, const std::string& url, bool realTime, double seconds, Observer* obs,
                       int loops = 1) {
    RecordingSink sink;
    IRtmpMgr* mgr = CreateRtmpMgr(&sink);
    OursResult r;
    const double wall0 = Now(), cpu0 = ProcessCpu();
    const long switches0 = ProcessSwitches();
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
    const uint32_t loopMs = static_cast<uint32_t>(kSeconds * 1000);
    const auto start = std::chrono::steady_clock::now();
    size_t total = 0, frames = 0;
    for (int loop = 0; loop < loops; ++loop) {
        const uint32_t offset = static_cast<uint32_t>(loop) * loopMs;
        size_t v = 0, a = 0;
        while (v < media.video.size() || a < media.audio.size()) {
            const bool takeVideo = a >= media.audio.size() ||
                                   (v < media.video.size() && media.video[v].timestamp <= media.audio[a].timestamp);
            const Frame& f = takeVideo ? media.video[v] : media.audio[a];
            if (f.timestamp >= limitMs) break;
            const uint32_t ts = f.timestamp + offset;
            if (realTime) {
                std::this_thread::sleep_until(start + std::chrono::milliseconds(ts));
            } else {
                // A key frame drops the video that still waits: give it an empty queue.
                obs->WaitRoom(publisher, takeVideo && f.key ? 1 : 8);
            }
            if (takeVideo) {
                mgr->PublishVideoRtmpData(id, const_cast<uint8_t*>(f.data.data()), static_cast<int>(f.data.size()), ts,
                                          f.key);
                ++v;
            } else {
                mgr->PublishAudioRtmpData(id, 1, const_cast<uint8_t*>(f.data.data()), static_cast<int>(f.data.size()),
                                          ts);
                ++a;
            }
        }
        total += v + a;
        frames += v;
    }
    // Every frame, plus the two sequence headers (more if SPS/PPS change).
    obs->WaitSent(static_cast<long>(total + 2));
    r.wall = Now() - wall0;
    r.cpu = ProcessCpu() - cpu0;
    r.switches = ProcessSwitches() - switches0;
    r.frames = static_cast<long>(frames);
    publisher->SetSendObserver(nullptr);
    mgr->ClosePublish(id);
    DestroyRtmpMgr(mgr);
    return r;
}

// Runs ffmpeg to the end; wall time and the child's CPU time.
bool PublishFfmpeg(const std::string& flv, const std::string& url, int loops, double* wall, double* cpu,
                   long* switches) {
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v",   "error", "-stream_loop", std::to_string(loops - 1),
                                     "-i",     flv,        "-c",   "copy",  "-f",           "flv",
                                     url};
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
    *switches = ContextSwitches(u);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int FramesIn(const std::string& rec) {
    const std::string out = Probe({"-select_streams", "v", "-count_packets", "-show_entries", "stream=nb_read_packets",
                                   "-of", "csv=p=0", rec});
    return out.empty() ? -1 : std::atoi(out.c_str());
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// "median (min-max)" of the values.
std::string Spread(const std::vector<double>& v, const char* format) {
    char median[32], lo[32], hi[32], out[128];
    std::snprintf(median, sizeof(median), format, Median(v));
    std::snprintf(lo, sizeof(lo), format, v.empty() ? 0 : *std::min_element(v.begin(), v.end()));
    std::snprintf(hi, sizeof(hi), format, v.empty() ? 0 : *std::max_element(v.begin(), v.end()));
    std::snprintf(out, sizeof(out), "%s (%s-%s)", median, lo, hi);
    return out;
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
    int runs = 5, loops = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--media")) mediaDir = argv[i + 1];
        if (!std::strcmp(argv[i], "--runs")) runs = std::max(1, std::atoi(argv[i + 1]));
        if (!std::strcmp(argv[i], "--loops")) loops = std::max(1, std::atoi(argv[i + 1]));
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
    // Alternating runs, each to a stream of its own that is deleted once counted, so that
    // neither side meets a busier disk or a warmer server.
    std::vector<double> oursWall, oursCpu, ffWall, ffCpu, oursFrames, ffFrames;
    bool ffOk = true;
    for (int run = 0; run < runs; ++run) {
        const std::string ours = "ours" + std::to_string(run), theirs = "ffmpeg" + std::to_string(run);
        Observer fastObs;
        const OursResult r = PublishOurs(media, nginx.Url(ours), false, kSeconds, &fastObs, loops);
        oursWall.push_back(r.wall);
        oursCpu.push_back(r.cpu);
        double wall = 0, cpu = 0;
        long switches = 0;
        ffOk = PublishFfmpeg(flv, nginx.Url(theirs), loops, &wall, &cpu, &switches) && ffOk;
        ffWall.push_back(wall);
        ffCpu.push_back(cpu);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        oursFrames.push_back(FramesIn(nginx.Recording(ours)));
        ffFrames.push_back(FramesIn(nginx.Recording(theirs)));
        unlink(nginx.Recording(ours).c_str());
        unlink(nginx.Recording(theirs).c_str());
        std::printf("run %d: RtmpPublish %.3f CPU s (%ld context switches), ffmpeg %.3f CPU s (%ld)\n", run + 1,
                    r.cpu, r.switches, cpu, switches);
        std::fflush(stdout);
    }
    Observer rtObs;
    rtObs.KeepDelays();
    PublishOurs(media, nginx.Url("realtime"), true, realTimeSeconds, &rtObs);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    nginx.Stop();

    const double media_s = kSeconds * loops;
    auto per = [&](const std::vector<double>& v) {
        std::vector<double> out;
        for (double x : v) out.push_back(x > 0 ? media_s / x : 0);
        return out;
    };
    std::vector<double> ratioCpu, ratioWall;
    for (size_t i = 0; i < oursCpu.size(); ++i) {
        ratioCpu.push_back(oursCpu[i] > 0 ? ffCpu[i] / oursCpu[i] : 0);
        ratioWall.push_back(oursWall[i] > 0 ? ffWall[i] / oursWall[i] : 0);
    }
    std::printf("\n%d runs of %.0f media-s each; median (min-max)\n", runs, media_s);
    std::printf("%-24s %26s %26s\n", "", "RtmpPublish", "ffmpeg -c copy");
    std::printf("%-24s %26s %26s\n", "wall seconds", Spread(oursWall, "%.2f").c_str(), Spread(ffWall, "%.2f").c_str());
    std::printf("%-24s %26s %26s\n", "CPU seconds", Spread(oursCpu, "%.3f").c_str(), Spread(ffCpu, "%.3f").c_str());
    std::printf("%-24s %26s %26s\n", "media-s per wall s", Spread(per(oursWall), "%.0f").c_str(),
                Spread(per(ffWall), "%.0f").c_str());
    std::printf("%-24s %26s %26s\n", "media-s per CPU s", Spread(per(oursCpu), "%.0f").c_str(),
                Spread(per(ffCpu), "%.0f").c_str());
    std::printf("%-24s %26s %26s\n", "video frames recorded", Spread(oursFrames, "%.0f").c_str(),
                Spread(ffFrames, "%.0f").c_str());
    std::printf("ratio ours/ffmpeg: %s per CPU second, %s per wall second%s\n", Spread(ratioCpu, "%.2fx").c_str(),
                Spread(ratioWall, "%.2fx").c_str(), ffOk ? "" : " (ffmpeg failed)");
    const std::vector<int64_t> delays = rtObs.Delays();
    std::printf("\nreal-time pace, %.0f s, %zu video frames: PublishVideoRtmpData -> end of RTMP_SendPacket\n",
                realTimeSeconds, delays.size());
    std::printf("  p50 %.3f ms   p99 %.3f ms   max %.3f ms\n", Percentile(delays, 0.5), Percentile(delays, 0.99),
                Percentile(delays, 1.0));
    return 0;
}
