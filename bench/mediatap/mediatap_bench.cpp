// Capture and encode a 1280x720 window at 15 fps for 20 s, once through the engine and once
// with ffmpeg (x11grab + libx264, preset veryfast, zero-latency tuning, the same bitrate and
// key-frame interval), on one Xvfb display with the same moving content, and print the CPU
// seconds each spends per second of media.
//
//   mediatap_bench [seconds]
//
// The moving content comes from a child process (this program with --animate), so its CPU
// is counted for neither side.
#include "mediatap/IMediaTap.h"
#include "support/peers.h"

#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

const int kWidth = 1280, kHeight = 720, kFps = 15, kBitrateKbps = 2500;

double Seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

// Child process: a full-screen window whose content scrolls sideways, like a page moving
// under the teacher's hand, redrawn 30 times a second.
int Animate(const char* display, const char* readyFile) {
    Display* dpy = XOpenDisplay(display);
    if (!dpy) return 1;
    int screen = DefaultScreen(dpy);
    Window win = XCreateSimpleWindow(dpy, RootWindow(dpy, screen), 0, 0, kWidth, kHeight, 0, 0, 0);
    XMapRaised(dpy, win);
    // A pattern twice as wide as the window: bars, gradients and fine detail.
    const int patW = 2 * kWidth;
    std::vector<uint32_t> px(static_cast<size_t>(patW) * kHeight);
    uint32_t seed = 12345;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < patW; ++x) {
            seed = seed * 1103515245u + 12345u;
            uint32_t noise = (seed >> 24) & 0x1F;
            uint32_t r = ((x / 160) % 2 ? 200 : 40) + noise;
            uint32_t g = (y * 255 / kHeight);
            uint32_t b = ((x + y) % 256);
            if ((x / 8 + y / 8) % 16 == 0) r = g = b = 250;  // text-like specks
            px[static_cast<size_t>(y) * patW + x] = (r << 16) | (g << 8) | b;
        }
    Pixmap pattern = XCreatePixmap(dpy, win, patW, kHeight, DefaultDepth(dpy, screen));
    XImage* img = XCreateImage(dpy, DefaultVisual(dpy, screen), DefaultDepth(dpy, screen), ZPixmap, 0,
                               reinterpret_cast<char*>(px.data()), patW, kHeight, 32, patW * 4);
    GC gc = XCreateGC(dpy, win, 0, nullptr);
    XPutImage(dpy, pattern, gc, img, 0, 0, 0, 0, patW, kHeight);
    img->data = nullptr;
    XDestroyImage(img);
    XSync(dpy, False);
    std::printf("%lu\n", static_cast<unsigned long>(win));
    std::fflush(stdout);
    if (FILE* f = std::fopen(readyFile, "w")) {
        std::fprintf(f, "%lu\n", static_cast<unsigned long>(win));
        std::fclose(f);
    }
    auto next = std::chrono::steady_clock::now();
    for (long frame = 0;; ++frame) {
        int offset = static_cast<int>((frame * 8) % kWidth);
        XCopyArea(dpy, pattern, win, gc, offset, 0, kWidth, kHeight, 0, 0);
        XSync(dpy, False);
        next += std::chrono::milliseconds(33);
        std::this_thread::sleep_until(next);
    }
}

class CountingSink final : public IMediaTapSink {
public:
    int OnSendVideoPacketCount(const char*) override { return 0; }
    int OnRtpVideoData(const char*, const unsigned char*, int len, bool key, unsigned) override {
        frames.fetch_add(1);
        bytes.fetch_add(static_cast<uint64_t>(len));
        if (key) keys.fetch_add(1);
        return 0;
    }
    int OnAudioData(int, int, const unsigned char*, int, int, unsigned) override { return 0; }
    int OnMixerAudioData(const char*, const unsigned char*, int, unsigned) override { return 0; }
    int OnMixerAudioHeaderData(const char*, char*, int) override { return 0; }
    std::atomic<uint64_t> frames{0}, bytes{0}, keys{0};
};

struct Figures {
    double cpu = 0;       // user + system seconds
    double media = 0;     // seconds of video produced
    uint64_t frames = 0;
    double kbps = 0;      // of the encoded stream (0: not known; ffmpeg's null muxer has no size)
};

Figures RunEngine(unsigned long window, int seconds) {
    Figures out;
    CountingSink sink;
    IMediaTap* engine = CreateMediaTap(&sink, 0);
    if (!engine) return out;
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    char name[128];
    if (engine->StartCaptureApplication(name, window, false, 0, 0, 0, 0, kBitrateKbps, kWidth, kHeight, kFps) != 0) {
        std::fprintf(stderr, "engine: StartCaptureApplication failed\n");
        DestoryMediaTap(engine);
        return out;
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    engine->StopCaptureApplication(name);
    getrusage(RUSAGE_SELF, &after);
    DestoryMediaTap(engine);
    out.cpu = Seconds(after.ru_utime) - Seconds(before.ru_utime) + Seconds(after.ru_stime) - Seconds(before.ru_stime);
    out.frames = sink.frames.load();
    out.media = out.frames / static_cast<double>(kFps);
    out.kbps = out.media > 0 ? sink.bytes.load() * 8.0 / 1000 / out.media : 0;
    return out;
}

// Runs ffmpeg to completion and takes its CPU time from wait4; the frame count and size
// from its last progress line.
Figures RunFfmpeg(const std::string& display, int seconds, bool oneThread, const std::string& logFile) {
    Figures out;
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "info", "-f", "x11grab",
                                     "-framerate", std::to_string(kFps), "-video_size",
                                     std::to_string(kWidth) + "x" + std::to_string(kHeight), "-i", display,
                                     "-t", std::to_string(seconds), "-c:v", "libx264", "-preset", "veryfast",
                                     "-tune", "zerolatency", "-b:v", std::to_string(kBitrateKbps) + "k",
                                     "-g", std::to_string(2 * kFps), "-bf", "0"};
    if (oneThread) {
        args.push_back("-threads");
        args.push_back("1");
    }
    for (const char* a : {"-f", "null", "-"}) args.push_back(a);
    pid_t pid = fork();
    if (pid == 0) {
        FILE* log = std::fopen(logFile.c_str(), "w");
        if (log) dup2(fileno(log), 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp("ffmpeg", argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) return out;
    out.cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    // The log has "frame=  300 ..." progress lines (carriage-return separated).
    FILE* f = std::fopen(logFile.c_str(), "r");
    if (f) {
        std::string text;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        std::fclose(f);
        size_t at = text.rfind("frame=");
        if (at != std::string::npos) out.frames = std::strtoull(text.c_str() + at + 6, nullptr, 10);
    }
    out.media = out.frames / static_cast<double>(kFps);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "ffmpeg exited with status %d (log %s)\n", status, logFile.c_str());
    return out;
}

void Print(const char* label, const Figures& f) {
    double perMedia = f.media > 0 ? f.cpu / f.media : 0;
    char rate[32] = "    n/a";
    if (f.kbps > 0) std::snprintf(rate, sizeof rate, "%7.0f", f.kbps);
    std::printf("%-34s %7.2f CPU s  %6.1f media s  %5llu frames  %s kbit/s  %6.3f CPU s per media s\n", label,
                f.cpu, f.media, static_cast<unsigned long long>(f.frames), rate, perMedia);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--animate") == 0) return Animate(argv[2], argv[3]);
    int seconds = argc >= 2 ? std::atoi(argv[1]) : 20;
    if (seconds <= 0) seconds = 20;

    testsupport::XvfbDisplay xvfb;
    if (!xvfb.Start(false)) {
        std::fprintf(stderr, "cannot start Xvfb\n");
        return 1;
    }
    testsupport::TempDir dir("mediatap-bench");
    std::string ready = dir.file("window");
    testsupport::ChildProcess animator;
    char self[4096];
    ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) return 1;
    self[len] = 0;
    if (!animator.Start({self, "--animate", xvfb.display(), ready}, dir.file("animator.log"))) return 1;
    if (!testsupport::WaitUntil([&] { return testsupport::FileExists(ready) && !testsupport::ReadFile(ready).empty(); },
                                10000)) {
        std::fprintf(stderr, "animator did not start\n");
        return 1;
    }
    unsigned long window = std::strtoul(testsupport::ReadFile(ready).c_str(), nullptr, 10);
    setenv("DISPLAY", xvfb.display().c_str(), 1);

    std::printf("capture + encode %dx%d at %d fps, %d kbit/s, key frame every 2 s, %d s each\n", kWidth, kHeight,
                kFps, kBitrateKbps, seconds);
    Figures engine = RunEngine(window, seconds);
    Figures ffmpeg = RunFfmpeg(xvfb.display(), seconds, false, dir.file("ffmpeg.log"));
    Figures ffmpeg1 = RunFfmpeg(xvfb.display(), seconds, true, dir.file("ffmpeg1.log"));
    Print("engine (1 encoder thread)", engine);
    Print("ffmpeg x11grab (default threads)", ffmpeg);
    Print("ffmpeg x11grab (-threads 1)", ffmpeg1);
    auto ratio = [](const Figures& a, const Figures& b) {
        return (a.media > 0 && b.media > 0 && b.cpu > 0) ? (a.cpu / a.media) / (b.cpu / b.media) : 0;
    };
    std::printf("ratio engine / ffmpeg (default threads): %.2f\n", ratio(engine, ffmpeg));
    std::printf("ratio engine / ffmpeg (-threads 1):      %.2f\n", ratio(engine, ffmpeg1));
    animator.Stop();
    return 0;
}
