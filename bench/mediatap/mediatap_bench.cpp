// Capture and encode a 1280x720 desktop at 15 fps, once through the engine and once with
// ffmpeg (x11grab + libx264, preset veryfast, zero-latency tuning, no B-frames, 4:2:0 like
// the engine (left to itself ffmpeg picks 4:4:4 for x11grab's RGB), the same bitrate and
// key-frame interval, no pointer on either side), on one Xvfb display with the
// same content, and print side by side:
//   - CPU seconds per media second of a still desktop with one window (a page of text);
//   - the same with a clock beside it that changes once a second (xclock);
//   - the same with a moving full-screen picture (a page scrolling sideways, 30 redraws a second);
//   - the delay from a change on screen (a small window that flips colour) to the encoded frame
//     that first shows it: p50 and p99.
//
//   mediatap_bench [seconds]      (20 by default, for each measurement)
//
// CPU is taken over a steady stretch (after 2 s of warming up): getrusage of this process for
// the engine, /proc/PID/stat for ffmpeg. The content comes from child processes (this program
// with --scene, and xclock), so its cost is counted for neither side.
#include "h264_check.h"
#include "mediatap/IMediaTap.h"
#include "support/peers.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

const int kWidth = 1280, kHeight = 720, kFps = 15, kBitrateKbps = 2500, kWarmupS = 2;
// The window that flips colour, for the delay measurement.
const int kFlashX = 1040, kFlashY = 560, kFlashW = 160, kFlashH = 120;

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double Seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

double SelfCpu() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

// User + system seconds of another process so far (all its threads).
double ProcessCpu(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t end = text.rfind(')');
    if (end == std::string::npos) return 0;
    std::vector<std::string> fields;
    size_t at = end + 2;
    while (at < text.size()) {
        size_t next = text.find(' ', at);
        fields.push_back(text.substr(at, next - at));
        if (next == std::string::npos) break;
        at = next + 1;
    }
    // Fields 14 and 15 of the file (utime, stime); fields[0] here is field 3.
    if (fields.size() < 13) return 0;
    return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / sysconf(_SC_CLK_TCK);
}

// ---- Content, in child processes ----

Window MakeWindow(Display* dpy, int x, int y, int w, int h, unsigned long colour) {
    Window win = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), x, y, w, h, 0, 0, colour);
    XMapRaised(dpy, win);
    XSync(dpy, False);
    return win;
}

// Pixels with bars, gradients, noise and text-like specks, patW wide.
Pixmap Pattern(Display* dpy, Window win, int patW, int patH, bool page) {
    int screen = DefaultScreen(dpy);
    std::vector<uint32_t> px(static_cast<size_t>(patW) * patH);
    uint32_t seed = 12345;
    for (int y = 0; y < patH; ++y)
        for (int x = 0; x < patW; ++x) {
            seed = seed * 1103515245u + 12345u;
            uint32_t& p = px[static_cast<size_t>(y) * patW + x];
            if (page) {  // dark lines of "text" on white
                bool ink = (y % 24) < 12 && (x % 90) < 80 && ((seed >> 24) & 3) == 0;
                p = ink ? 0x202020 : 0xF8F8F8;
                continue;
            }
            uint32_t r = ((x / 160) % 2 ? 200 : 40) + ((seed >> 24) & 0x1F);
            uint32_t g = (y * 255 / patH), b = ((x + y) % 256);
            if ((x / 8 + y / 8) % 16 == 0) r = g = b = 250;
            p = (r << 16) | (g << 8) | b;
        }
    Pixmap pm = XCreatePixmap(dpy, win, patW, patH, DefaultDepth(dpy, screen));
    XImage* img = XCreateImage(dpy, DefaultVisual(dpy, screen), DefaultDepth(dpy, screen), ZPixmap, 0,
                               reinterpret_cast<char*>(px.data()), patW, patH, 32, patW * 4);
    GC gc = XCreateGC(dpy, win, 0, nullptr);
    XPutImage(dpy, pm, gc, img, 0, 0, 0, 0, patW, patH);
    XFreeGC(dpy, gc);
    img->data = nullptr;
    XDestroyImage(img);
    return pm;
}

void Ready(const char* readyFile) {
    if (FILE* f = std::fopen(readyFile, "w")) {
        std::fputs("ready\n", f);
        std::fclose(f);
    }
}

// "page": a still window with a page of text. "moving": a full-screen picture scrolling
// sideways, redrawn 30 times a second. "flash": a small window flipping between red and
// blue at uneven intervals, each flip's time (steady clock, us) and colour appended to a file.
int Scene(const std::string& scene, const char* display, const char* readyFile, const char* timesFile) {
    Display* dpy = XOpenDisplay(display);
    if (!dpy) return 1;
    if (scene == "page") {
        Window win = MakeWindow(dpy, 120, 60, 860, 600, 0);
        XSetWindowBackgroundPixmap(dpy, win, Pattern(dpy, win, 860, 600, true));
        XClearWindow(dpy, win);
        XSync(dpy, False);
        Ready(readyFile);
        for (;;) pause();
    }
    if (scene == "moving") {
        Window win = MakeWindow(dpy, 0, 0, kWidth, kHeight, 0);
        Pixmap pattern = Pattern(dpy, win, 2 * kWidth, kHeight, false);
        GC gc = XCreateGC(dpy, win, 0, nullptr);
        Ready(readyFile);
        auto next = std::chrono::steady_clock::now();
        for (long frame = 0;; ++frame) {
            XCopyArea(dpy, pattern, win, gc, static_cast<int>((frame * 8) % kWidth), 0, kWidth, kHeight, 0, 0);
            XSync(dpy, False);
            next += std::chrono::milliseconds(33);
            std::this_thread::sleep_until(next);
        }
    }
    Window win = MakeWindow(dpy, kFlashX, kFlashY, kFlashW, kFlashH, 0x0000FF);
    Ready(readyFile);
    FILE* times = std::fopen(timesFile, "w");
    for (int k = 1;; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(400 + (k * 373) % 500));
        const bool red = k % 2;
        XSetWindowBackground(dpy, win, red ? 0xFF0000 : 0x0000FF);
        XClearWindow(dpy, win);
        XSync(dpy, False);  // drawn once the server answers
        std::fprintf(times, "%lld %d\n", static_cast<long long>(NowUs()), red ? 1 : 0);
        std::fflush(times);
    }
}

// ---- The engine ----

class Sink final : public IMediaTapSink {
public:
    struct Frame {
        int64_t arrivalUs;
        unsigned timestamp;
        std::vector<uint8_t> data;
    };
    int OnSendVideoPacketCount(const char*) override { return 0; }
    int OnRtpVideoData(const char*, const unsigned char* data, int len, bool, unsigned timestamp) override {
        frames.fetch_add(1);
        if (keep.load()) {
            std::lock_guard<std::mutex> lock(m_lock);
            kept.push_back(Frame{NowUs(), timestamp, std::vector<uint8_t>(data + 12, data + len)});
        }
        return 0;
    }
    int OnAudioData(int, int, const unsigned char*, int, int, unsigned) override { return 0; }
    int OnMixerAudioData(const char*, const unsigned char*, int) override { return 0; }
    int OnMixerAudioHeaderData(const char*, char*, int) override { return 0; }
    std::atomic<uint64_t> frames{0};
    std::atomic<bool> keep{false};
    std::vector<Frame> kept;  // read once the engine is gone

private:
    std::mutex m_lock;
};

struct Cost {
    double cpu = 0;    // user + system seconds over the measured stretch
    double media = 0;  // seconds of video made in it
    double PerMedia() const { return media > 0 ? cpu / media : 0; }
};

// Runs the engine on the desktop for warm-up + seconds; the sink keeps the frames if asked.
Cost RunEngine(int seconds, Sink* sink) {
    Cost out;
    IMediaTap* engine = CreateMediaTap(sink, 0);
    char name[128];
    if (!engine || engine->StartCaptureApplication(name, 0, false, 0, 0, 0, 0, kBitrateKbps, kWidth, kHeight, kFps)) {
        std::fprintf(stderr, "engine: StartCaptureApplication failed\n");
        if (engine) DestoryMediaTap(engine);
        return out;
    }
    std::this_thread::sleep_for(std::chrono::seconds(kWarmupS));
    double cpu0 = SelfCpu();
    uint64_t frames0 = sink->frames.load();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    out.cpu = SelfCpu() - cpu0;
    out.media = (sink->frames.load() - frames0) / static_cast<double>(kFps);
    engine->StopCaptureApplication(name);
    DestoryMediaTap(engine);
    return out;
}

std::vector<std::string> FfmpegArgs(const std::string& display, int seconds, bool oneThread) {
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "x11grab",
                                     "-draw_mouse", "0", "-framerate", std::to_string(kFps), "-video_size",
                                     std::to_string(kWidth) + "x" + std::to_string(kHeight), "-i", display,
                                     "-t", std::to_string(seconds), "-c:v", "libx264", "-preset", "veryfast",
                                     "-tune", "zerolatency", "-pix_fmt", "yuv420p",
                                     "-b:v", std::to_string(kBitrateKbps) + "k",
                                     "-g", std::to_string(2 * kFps), "-bf", "0"};
    if (oneThread) args.insert(args.end(), {"-threads", "1"});
    return args;
}

Cost RunFfmpeg(const std::string& display, int seconds, bool oneThread, const std::string& log) {
    Cost out;
    std::vector<std::string> args = FfmpegArgs(display, seconds + kWarmupS + 2, oneThread);
    args.insert(args.end(), {"-f", "null", "-"});
    testsupport::ChildProcess ffmpeg;
    if (!ffmpeg.Start(args, log)) return out;
    std::this_thread::sleep_for(std::chrono::seconds(kWarmupS));
    double cpu0 = ProcessCpu(ffmpeg.pid());
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    out.cpu = ProcessCpu(ffmpeg.pid()) - cpu0;
    // x11grab paces itself at the frame rate: media time is wall time.
    out.media = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (ffmpeg.Wait(20000) != 0) std::fprintf(stderr, "ffmpeg did not end well (log %s)\n", log.c_str());
    return out;
}

// ---- Delay from a change to its encoded frame ----

struct Flip {
    int64_t us;
    int red;
};

std::vector<Flip> ReadFlips(const std::string& file) {
    std::vector<Flip> flips;
    std::ifstream in(file);
    long long us;
    int red;
    while (in >> us >> red) flips.push_back(Flip{us, red});
    return flips;
}

// 1 red, 0 blue, -1 neither, at the middle of the flashing window.
int ColourOf(const mediatap_test::Picture& p) {
    if (p.width != kWidth || p.height != kHeight) return -1;
    size_t at = static_cast<size_t>((kFlashY + kFlashH / 2) / 2) * (p.width / 2) + (kFlashX + kFlashW / 2) / 2;
    int u = p.u[at], v = p.v[at];
    return v > u + 50 ? 1 : u > v + 50 ? 0 : -1;
}

struct Delays {
    std::vector<double> ms;
    int nextSlot = 0;  // changes that left in the first frame slot after them (engine only)
};

// For each flip, the first frame arriving after it that shows its colour.
void Match(const std::vector<Flip>& flips, const std::vector<int64_t>& arrival, const std::vector<int>& colour,
           const std::vector<unsigned>* slotMs, Delays* out) {
    for (const Flip& f : flips) {
        for (size_t i = 0; i < arrival.size(); ++i) {
            if (arrival[i] <= f.us || colour[i] != f.red) continue;
            out->ms.push_back((arrival[i] - f.us) / 1000.0);
            // Late by a slot when the frame before was also due after the flip (stamps are
            // whole milliseconds of the due time).
            if (slotMs && !(i > 0 && int64_t{(*slotMs)[i - 1]} * 1000 > f.us)) ++out->nextSlot;
            break;
        }
    }
}

Delays EngineDelays(int seconds, const std::string& timesFile) {
    Sink sink;
    sink.keep.store(true);
    RunEngine(seconds, &sink);
    mediatap_test::Decoder decoder;
    std::vector<int64_t> arrival;
    std::vector<int> colour;
    std::vector<unsigned> slots;
    for (const auto& f : sink.kept) {
        mediatap_test::Picture p;
        arrival.push_back(f.arrivalUs);
        slots.push_back(f.timestamp);
        colour.push_back(decoder.DecodeAnnexB(f.data.data(), f.data.size(), &p) ? ColourOf(p) : -1);
    }
    Delays out;
    std::vector<Flip> inRun;
    for (const Flip& f : ReadFlips(timesFile))
        if (!arrival.empty() && f.us > arrival.front() && f.us < arrival.back()) inRun.push_back(f);
    Match(inRun, arrival, colour, &slots, &out);
    return out;
}

// Annex-B access units of a file as [begin, end) byte offsets.
std::vector<std::pair<size_t, size_t>> AccessUnits(const std::string& s) {
    std::vector<std::pair<size_t, size_t>> units;
    size_t begin = 0;
    bool haveSlice = false;
    for (size_t i = 0; i + 4 < s.size(); ++i) {
        if (!(s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1)) continue;
        size_t start = (i > 0 && s[i - 1] == 0) ? i - 1 : i;
        int type = s[i + 3] & 0x1F;
        bool slice = type == 1 || type == 5;
        // A new picture starts at a parameter set, SEI or delimiter, or at a first slice.
        bool opens = (type >= 6 && type <= 9) || (slice && (static_cast<uint8_t>(s[i + 4]) & 0x80));
        if (opens && haveSlice) {
            units.emplace_back(begin, start);
            begin = start;
            haveSlice = false;
        }
        haveSlice = haveSlice || slice;
        i += 3;
    }
    if (haveSlice) units.emplace_back(begin, s.size());
    return units;
}

Delays FfmpegDelays(const std::string& display, int seconds, const std::string& dir, const std::string& timesFile) {
    const std::string out = dir + "/ffmpeg.h264";
    std::vector<std::string> args = FfmpegArgs(display, seconds + kWarmupS, false);
    args.insert(args.end(), {"-f", "h264", "-flush_packets", "1", "-y", out});
    testsupport::ChildProcess ffmpeg;
    Delays result;
    if (!ffmpeg.Start(args, dir + "/ffmpeg-delay.log")) return result;
    // When each byte arrived: the file's size, looked at every half millisecond.
    std::vector<std::pair<off_t, int64_t>> growth;
    off_t last = 0;
    while (ffmpeg.Running()) {
        struct stat st;
        if (stat(out.c_str(), &st) == 0 && st.st_size != last) growth.emplace_back(last = st.st_size, NowUs());
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    std::string bytes = testsupport::ReadFile(out);
    mediatap_test::Decoder decoder;
    std::vector<int64_t> arrival;
    std::vector<int> colour;
    for (const auto& unit : AccessUnits(bytes)) {
        auto when = std::lower_bound(growth.begin(), growth.end(), static_cast<off_t>(unit.second),
                                     [](const std::pair<off_t, int64_t>& g, off_t size) { return g.first < size; });
        mediatap_test::Picture p;
        bool decoded = decoder.DecodeAnnexB(reinterpret_cast<const uint8_t*>(bytes.data()) + unit.first,
                                            unit.second - unit.first, &p);
        arrival.push_back(when == growth.end() ? INT64_MAX : when->second);
        colour.push_back(decoded ? ColourOf(p) : -1);
    }
    std::vector<Flip> inRun;
    for (const Flip& f : ReadFlips(timesFile))
        if (!arrival.empty() && f.us > arrival.front() + kWarmupS * 1000000LL && f.us < arrival.back()) inRun.push_back(f);
    Match(inRun, arrival, colour, nullptr, &result);
    return result;
}

std::string Percentiles(Delays d) {
    if (d.ms.empty()) return "no changes seen";
    std::sort(d.ms.begin(), d.ms.end());
    size_t n = d.ms.size();
    size_t p99 = std::min(n - 1, static_cast<size_t>(std::ceil(0.99 * n)) - 1);
    char text[128];
    std::snprintf(text, sizeof text, "p50 %5.1f ms  p99 %5.1f ms  (%zu changes)", d.ms[n / 2], d.ms[p99], n);
    return text;
}

bool StartScene(testsupport::ChildProcess* child, const std::string& self, const std::string& scene,
                const std::string& display, const testsupport::TempDir& dir) {
    std::string ready = dir.file(scene + ".ready");
    if (!child->Start({self, "--scene", scene, display, ready, dir.file("flips")}, dir.file(scene + ".log")))
        return false;
    return testsupport::WaitUntil([&] { return testsupport::FileExists(ready); }, 10000);
}

void PrintCosts(const char* scene, const Cost& engine, const Cost& ffmpeg, const Cost& ffmpeg1, double goal) {
    double ratio = ffmpeg.PerMedia() > 0 ? engine.PerMedia() / ffmpeg.PerMedia() : 0;
    double ratio1 = ffmpeg1.PerMedia() > 0 ? engine.PerMedia() / ffmpeg1.PerMedia() : 0;
    std::printf("%-8s engine %6.3f   ffmpeg %6.3f   ffmpeg -threads 1 %6.3f   ratio %.2f (%.2f)   goal <= %.2f\n",
                scene, engine.PerMedia(), ffmpeg.PerMedia(), ffmpeg1.PerMedia(), ratio, ratio1, goal);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 6 && std::strcmp(argv[1], "--scene") == 0) return Scene(argv[2], argv[3], argv[4], argv[5]);
    int seconds = argc >= 2 ? std::atoi(argv[1]) : 20;
    if (seconds <= 0) seconds = 20;

    testsupport::XvfbDisplay xvfb;
    if (!xvfb.Start(false)) {
        std::fprintf(stderr, "cannot start Xvfb\n");
        return 1;
    }
    const std::string display = xvfb.display();
    setenv("DISPLAY", display.c_str(), 1);
    testsupport::TempDir dir("mediatap-bench");
    char self[4096];
    ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) return 1;
    self[len] = 0;

    std::printf("desktop %dx%d at %d fps, %d kbit/s, key frame every 2 s, no pointer; %d s each after %d s warm-up\n",
                kWidth, kHeight, kFps, kBitrateKbps, seconds, kWarmupS);
    std::printf("CPU seconds per media second (ratio: engine / ffmpeg default threads (/ -threads 1))\n");
    testsupport::ChildProcess page;
    if (!StartScene(&page, self, "page", display, dir)) return 1;
    auto measure = [&](const char* scene, double goal) {
        Sink sink;
        Cost engine = RunEngine(seconds, &sink);
        Cost ffmpeg = RunFfmpeg(display, seconds, false, dir.file("ffmpeg.log"));
        Cost ffmpeg1 = RunFfmpeg(display, seconds, true, dir.file("ffmpeg1.log"));
        PrintCosts(scene, engine, ffmpeg, ffmpeg1, goal);
    };
    measure("still", 0.25);
    {
        testsupport::ChildProcess clock;
        clock.Start({"xclock", "-display", display, "-digital", "-update", "1", "-geometry", "260x40+1000+20"},
                    dir.file("xclock.log"));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        measure("clock", 0.35);
    }
    {
        testsupport::ChildProcess moving;
        if (!StartScene(&moving, self, "moving", display, dir)) return 1;
        measure("moving", 0.6);
    }
    testsupport::ChildProcess flash;
    if (!StartScene(&flash, self, "flash", display, dir)) return 1;
    Delays engine = EngineDelays(seconds, dir.file("flips"));
    Delays ffmpeg = FfmpegDelays(display, seconds, dir.path(), dir.file("flips"));
    std::printf("delay from a change on screen to its encoded frame (one frame slot is %.1f ms):\n", 1000.0 / kFps);
    std::printf("  engine  %s; %d left in the first slot after the change\n", Percentiles(engine).c_str(),
                engine.nextSlot);
    std::printf("  ffmpeg  %s\n", Percentiles(ffmpeg).c_str());
    return 0;
}
