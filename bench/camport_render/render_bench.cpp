// CPU per displayed frame and drawing passes per second of the renderer for one and for four
// 1280x720 windows, each showing a 1920x1080 I420 stream at 30 fps, beside ffplay showing the
// same frames in a window of the same size on the same Xvfb display.
//
//   camport_render_bench [seconds]        (default 5)
//
// The renderer's figure is this process's CPU (feeding threads included) over the frames the
// renderers copied into their surfaces; ffplay's is its process CPU (reading the raw clip
// included) over 30 frames a second. Neither counts the X server's own CPU.
#include "Render/draw_layer_x11.h"
#include "Render/video_renderer_windows.h"
#include "common/thread.h"
#include "support/peers.h"
#include "support/process.h"

#include <X11/Xlib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace Orvane;

namespace {

constexpr int kW = 1920, kH = 1080, kFps = 30, kClipFrames = 30;
constexpr size_t kFrameBytes = static_cast<size_t>(kW) * kH * 3 / 2;

double CpuSeconds(const rusage& r) {
    return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

double SelfCpu() {
    rusage r;
    getrusage(RUSAGE_SELF, &r);
    return CpuSeconds(r);
}

class BenchWindow final : public EngineVideoWindow {
public:
    explicit BenchWindow(unsigned long id) : m_id(id) { m_event.set(); }
    void OnConvertedFrame(const CapturedFrameInfo*, const uint8_t*, int) override {}
    unsigned long GetHwnd() override { return m_id; }
    bool IsSelfDrawn() override { return true; }
    int GetDisplayMode() override { return 1; }

private:
    unsigned long m_id;
};

struct Figures {
    double cpuPerFrameMs = 0;
    double passesPerSecond = 0;
    double framesPerSecond = 0;
};

Figures RunRenderer(const std::vector<uint8_t>& clip, int windows, int seconds) {
    Display* display = XOpenDisplay(nullptr);
    std::vector<Window> ids;
    std::vector<std::unique_ptr<BenchWindow>> objects;
    for (int i = 0; i < windows; ++i) {
        Window w = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1280, 720, 0, 0, 0);
        XMapWindow(display, w);
        ids.push_back(w);
        objects.emplace_back(new BenchWindow(w));
    }
    XSync(display, False);

    Figures out;
    {
        CRendererDrawCapsWindows caps(render::CreateX11DrawLayer());
        std::vector<VideoRendererDDrawWindows*> renderers;
        for (int i = 0; i < windows; ++i) {
            renderers.push_back(caps.CreateRenderer());
            renderers.back()->AttachWindow(objects[i].get());
        }
        std::atomic<bool> stop{false};
        std::vector<std::thread> feeders;
        for (int i = 0; i < windows; ++i)
            feeders.emplace_back([&, i] {
                CapturedFrameInfo info{};
                info.format = kEnginePixelI420;
                info.width = kW;
                info.height = kH;
                info.flag1 = info.flag2 = 1;
                Common::CAccurateWaitTime wait;
                for (int n = 0; !stop; ++n) {
                    const uint8_t* frame = clip.data() + (n % kClipFrames) * kFrameBytes;
                    renderers[i]->RenderFrame(&info, frame, static_cast<int>(kFrameBytes));
                    wait.Wait(1000 / kFps);
                }
            });
        std::this_thread::sleep_for(std::chrono::seconds(1));  // surfaces made, steady state
        uint64_t shown0 = 0;
        for (auto* r : renderers) shown0 += r->FramesShown();
        const uint64_t passes0 = caps.PassCount();
        const double cpu0 = SelfCpu();
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double cpu = SelfCpu() - cpu0;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        uint64_t shown = 0;
        for (auto* r : renderers) shown += r->FramesShown();
        shown -= shown0;
        out.passesPerSecond = (caps.PassCount() - passes0) / elapsed;
        out.framesPerSecond = shown / elapsed;
        out.cpuPerFrameMs = shown ? cpu * 1000.0 / shown : 0;
        stop = true;
        for (auto& t : feeders) t.join();
        for (auto* r : renderers) caps.DestroyRenderer(r);
    }
    for (Window w : ids) XDestroyWindow(display, w);
    XCloseDisplay(display);
    return out;
}

// Runs `count` ffplay processes on the clip for `seconds` and returns CPU ms per frame shown
// (30 a second each).
double RunFfplay(const std::string& clipPath, int count, int seconds) {
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("SDL_AUDIODRIVER", "dummy", 1);
            setenv("SDL_VIDEODRIVER", "x11", 1);
            const std::string size = std::to_string(kW) + "x" + std::to_string(kH);
            execlp("ffplay", "ffplay", "-v", "quiet", "-an", "-loop", "0", "-x", "1280", "-y", "720", "-f", "rawvideo",
                   "-pixel_format", "yuv420p", "-video_size", size.c_str(), "-framerate", "30", "-i", clipPath.c_str(),
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid > 0) pids.push_back(pid);
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds + 1));
    double cpu = 0;
    for (pid_t pid : pids) {
        kill(pid, SIGTERM);
        int status = 0;
        rusage r{};
        wait4(pid, &status, 0, &r);
        cpu += CpuSeconds(r);
    }
    // Its first second (start-up, window) is counted too, so count its frames for it as well.
    const double frames = static_cast<double>(pids.size()) * kFps * (seconds + 1);
    return frames > 0 ? cpu * 1000.0 / frames : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    testsupport::XvfbDisplay xvfb;
    if (!xvfb.Start(false)) {
        fprintf(stderr, "Xvfb did not start\n");
        return 1;
    }
    setenv("DISPLAY", xvfb.display().c_str(), 1);

    testsupport::TempDir dir("renderbench");
    const std::string clipPath = dir.file("clip.yuv");
    int status = -1;
    testsupport::RunCapture({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30",
                             "-frames:v", std::to_string(kClipFrames), "-pix_fmt", "yuv420p", "-f", "rawvideo",
                             clipPath},
                            120000, &status);
    std::vector<uint8_t> clip(kFrameBytes * kClipFrames);
    std::ifstream in(clipPath, std::ios::binary);
    if (status != 0 || !in.read(reinterpret_cast<char*>(clip.data()), static_cast<std::streamsize>(clip.size()))) {
        fprintf(stderr, "ffmpeg could not make the clip\n");
        return 1;
    }

    printf("1920x1080 I420 at 30 fps into 1280x720 windows, %d s per run, Xvfb %s\n", seconds,
           xvfb.display().c_str());
    printf("%-8s %22s %16s %14s %22s %8s\n", "windows", "renderer CPU/frame ms", "passes/s", "frames/s",
           "ffplay CPU/frame ms", "ratio");
    for (int windows : {1, 4}) {
        const Figures f = RunRenderer(clip, windows, seconds);
        const double ff = RunFfplay(clipPath, windows, seconds);
        printf("%-8d %22.2f %16.1f %14.1f %22.2f %8.2f\n", windows, f.cpuPerFrameMs, f.passesPerSecond,
               f.framesPerSecond, ff, ff > 0 ? f.cpuPerFrameMs / ff : 0.0);
        fflush(stdout);
    }
    return 0;
}
