// The renderer over the X11 drawing layer on an Xvfb display: real windows, read back with
// XGetImage. Set CAMPORT_RENDER_DUMP to a folder to keep the read-backs as PPM files.
#include <gtest/gtest.h>

#include "Render/draw_layer_x11.h"
#include "Render/video_renderer_windows.h"
#include "camport/IVideoRenderer.h"
#include "render_fakes.h"
#include "render_frames.h"
#include "support/peers.h"
#include "support/process.h"
#include "support/x11_window.h"
#include "support/xvfb_environment.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>

using namespace Orvane;
using namespace rendertest;

// The largest single allocation through operator new since the last reset, to bound what a
// drawing pass allocates. Every plain form of new and delete is replaced, so that memory
// from one is always returned through the other.
static std::atomic<size_t> g_largestNew{0};

static void* CountedAlloc(size_t size) noexcept {
    size_t seen = g_largestNew.load(std::memory_order_relaxed);
    while (size > seen && !g_largestNew.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
    }
    return std::malloc(size ? size : 1);
}
void* operator new(size_t size) {
    if (void* p = CountedAlloc(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return CountedAlloc(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return CountedAlloc(size); }
// Not inlined, and no operator delete itself: where the optimiser inlines either side, it would
// otherwise see free() of memory from operator new, or operator delete of memory from malloc().
__attribute__((noinline)) static void CountedFree(void* p) noexcept { std::free(p); }
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, size_t) noexcept { CountedFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { CountedFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { CountedFree(p); }

namespace {

testsupport::XvfbEnvironment* const g_env = testsupport::AddXvfbEnvironment();

using testsupport::Rgb;
using testsupport::XWindow;  // a top-level window of the test's own connection (the engine's side)

constexpr uint32_t kBackground = testsupport::kWindowBackground;  // what an undrawn window shows

Rgb Read(XWindow& win, const char* name) {
    Rgb p = win.Read();
    testsupport::DumpPpm(p, "CAMPORT_RENDER_DUMP", name);
    return p;
}

// Every bar of a frame `fw` wide appears in the picture rectangle at row y.
void ExpectBars(const Rgb& p, int left, int width, int y, int shift = 0) {
    for (int bar = 0; bar < 8; ++bar) {
        const int x = left + (bar * width + width / 2) / 8;
        const uint32_t want = BarColours()[(bar + shift) % 8];
        EXPECT_TRUE(Near(want, p.at(x, y))) << "bar " << bar << " at " << x << "," << y << ": " << std::hex << p.at(x, y)
                                            << " want " << want;
    }
}

void ExpectBlack(const Rgb& p, int left, int top, int right, int bottom) {
    int wrong = 0;
    for (int y = top; y < bottom; y += 7)
        for (int x = left; x < right; x += 7)
            if (p.at(x, y) != 0) ++wrong;
    EXPECT_EQ(0, wrong) << "non-black pixels in " << left << "," << top << "-" << right << "," << bottom;
}

class X11RendererTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_env->xvfb()) GTEST_SKIP() << "Xvfb did not start";
        caps.reset(new CRendererDrawCapsWindows(render::CreateX11DrawLayer(), false));
    }
    void TearDown() override {
        for (auto* r : made) caps->DestroyRenderer(r);
    }
    VideoRendererDDrawWindows* Make() {
        auto* r = caps->CreateRenderer();
        made.push_back(r);
        return r;
    }
    static bool Feed(VideoRendererPlatform* r, int w, int h, int shift = 0) {
        const auto frame = ColourBarsI420(w, h, shift);
        const CapturedFrameInfo info = FrameInfo(1, w, h);
        return r->RenderFrame(&info, frame.data(), static_cast<int>(frame.size()));
    }
    std::unique_ptr<CRendererDrawCapsWindows> caps;
    std::vector<VideoRendererDDrawWindows*> made;
    // Window objects outlive the renderers attached to them (destroyed after TearDown).
    std::vector<std::unique_ptr<TestWindow>> windows;
    TestWindow& Win(unsigned long handle, bool selfDrawn, int mode) {
        windows.emplace_back(new TestWindow(handle, selfDrawn, mode));
        return *windows.back();
    }
};

}  // namespace

TEST_F(X11RendererTest, ProbeFindsSharedMemoryAndYv12) {
    auto layer = render::CreateX11DrawLayer();
    auto device = layer->CreateDevice();
    ASSERT_TRUE(device);
    render::DeviceCaps dc;
    ASSERT_TRUE(layer->GetCaps(*device, &dc));
    EXPECT_TRUE(dc.videoStretch);  // Xvfb offers MIT-SHM to local clients
    EXPECT_TRUE(dc.yv12);
    ASSERT_TRUE(caps->EnsureProbed());
    EXPECT_EQ(1, caps->PreferredFormat());
    EXPECT_EQ(render::kMemVideo, caps->OffscreenMemory());
    EXPECT_FALSE(layer->QueryWindow(0x7fffff).exists);  // no such window: no crash, no exit
}

TEST_F(X11RendererTest, FitResizeAndFrameSizeChange) {
    XWindow win(0, 0, 1280, 480);
    ASSERT_TRUE(win.ok());
    TestWindow& window = Win(win.id(), true, 1);
    auto* r = Make();
    ASSERT_TRUE(r->AttachWindow(&window));
    ASSERT_TRUE(Feed(r, 640, 480));
    caps->RedrawPass();
    ASSERT_TRUE(r->HasSurfaces());
    Rgb p = Read(win, "fit_1280x480");
    ExpectBars(p, 320, 640, 240);
    ExpectBars(p, 320, 640, 5);
    ExpectBlack(p, 0, 0, 320, 480);
    ExpectBlack(p, 960, 0, 1280, 480);

    // The window grows taller than the frame's aspect: bars above and below on the next pass.
    win.Resize(640, 640);
    caps->RedrawPass();
    p = Read(win, "fit_640x640");
    ASSERT_EQ(640, p.h);
    ExpectBars(p, 0, 640, 320);
    ExpectBlack(p, 0, 0, 640, 80);
    ExpectBlack(p, 0, 560, 640, 640);

    // A new frame size: new surfaces, the new picture (16:9 at y = 140).
    ASSERT_TRUE(Feed(r, 1280, 720, 3));
    caps->RedrawPass();
    EXPECT_EQ(1280, r->SurfaceWidth());
    p = Read(win, "fit_640x640_1280x720");
    ExpectBars(p, 0, 640, 320, 3);
    ExpectBlack(p, 0, 0, 640, 140);
    ExpectBlack(p, 0, 500, 640, 640);
}

TEST_F(X11RendererTest, FillAndStretchAndRgbSource) {
    XWindow win(0, 0, 1280, 480);
    ASSERT_TRUE(win.ok());
    TestWindow& window = Win(win.id(), true, 2);
    auto* r = Make();
    ASSERT_TRUE(r->AttachWindow(&window));
    // An RGB24 frame (B, G, R) goes through the converter into the YV12 surface.
    std::vector<uint8_t> rgb(640 * 480 * 3);
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x) {
            const uint32_t c = BarAt(x, 640);
            uint8_t* q = &rgb[(y * 640 + x) * 3];
            q[0] = c & 0xff, q[1] = (c >> 8) & 0xff, q[2] = c >> 16;
        }
    const CapturedFrameInfo info = FrameInfo(10, 640, 480);
    ASSERT_TRUE(r->RenderFrame(&info, rgb.data(), static_cast<int>(rgb.size())));
    caps->RedrawPass();
    Rgb p = Read(win, "fill_1280x480");
    ExpectBars(p, 0, 1280, 240);  // the picture spans the width, overflow clipped
    ExpectBars(p, 0, 1280, 2);

    window.m_mode = 0;
    win.Resize(400, 300);
    caps->RedrawPass();
    p = Read(win, "stretch_400x300");
    ExpectBars(p, 0, 400, 150);
    ExpectBars(p, 0, 400, 298);
}

TEST_F(X11RendererTest, OddSizedFrameAndFillFarBeyondTheWindow) {
    // A 641 x 481 I420 frame (chroma planes of 321 x 241) is drawn, bars in their colours.
    XWindow win(0, 0, 641, 481);
    ASSERT_TRUE(win.ok());
    TestWindow& window = Win(win.id(), true, 0);
    auto* r = Make();
    ASSERT_TRUE(r->AttachWindow(&window));
    ASSERT_TRUE(Feed(r, 641, 481, 1));
    caps->RedrawPass();
    Rgb p = Read(win, "odd_641x481");
    ExpectBars(p, 0, 641, 240, 1);
    ExpectBars(p, 0, 641, 480, 1);

    // Fill mode with a 640 x 16 frame in the whole screen (1280 x 720): the picture is
    // 28 800 x 720, but a pass allocates no more than the window's image.
    XWindow wide(0, 0, 1280, 720);
    ASSERT_TRUE(wide.ok());
    TestWindow& fill = Win(wide.id(), true, 2);
    auto* f = Make();
    ASSERT_TRUE(f->AttachWindow(&fill));
    ASSERT_TRUE(Feed(f, 640, 16, 2));
    g_largestNew = 0;
    caps->RedrawPass();
    caps->RedrawPass();
    EXPECT_TRUE(f->HasSurfaces());
    EXPECT_LE(g_largestNew.load(), size_t{1280} * 720 * 4);
    // The window shows the middle 28 of the 640 columns: bar 3 left of centre, bar 4 right.
    p = Read(wide, "fill_640x16");
    ASSERT_EQ(1280, p.w);
    for (int y : {0, 360, 719}) {
        EXPECT_TRUE(Near(BarColours()[(3 + 2) % 8], p.at(300, y))) << std::hex << p.at(300, y);
        EXPECT_TRUE(Near(BarColours()[(4 + 2) % 8], p.at(980, y))) << std::hex << p.at(980, y);
    }
}

TEST_F(X11RendererTest, WindowThatDrawsItselfIsLeftAlone) {
    XWindow win(0, 0, 320, 240);
    ASSERT_TRUE(win.ok());
    TestWindow& window = Win(win.id(), false, 1);
    auto* r = Make();
    ASSERT_TRUE(r->AttachWindow(&window));
    ASSERT_TRUE(Feed(r, 160, 120));
    caps->RedrawPass();
    r->Redraw();
    {
        std::lock_guard<std::mutex> lock(window.mutex);
        ASSERT_EQ(1u, window.converted.size());
        EXPECT_EQ(10, window.converted[0].format);
        EXPECT_EQ(160u * 120 * 3, window.lastRgb.size());
    }
    Rgb p = Read(win, "self_drawn");
    int drawn = 0;
    for (uint32_t c : p.px) drawn += c != kBackground;
    EXPECT_EQ(0, drawn);
}

TEST_F(X11RendererTest, DestroyedWindowIsALostSurface) {
    XWindow gone(0, 0, 320, 240);
    XWindow stays(400, 0, 320, 240);
    ASSERT_TRUE(gone.ok() && stays.ok());
    TestWindow& w1 = Win(gone.id(), true, 1);
    TestWindow& w2 = Win(stays.id(), true, 1);
    auto* r1 = Make();
    auto* r2 = Make();
    ASSERT_TRUE(r1->AttachWindow(&w1));
    ASSERT_TRUE(r2->AttachWindow(&w2));
    ASSERT_TRUE(Feed(r1, 320, 240));
    ASSERT_TRUE(Feed(r2, 320, 240));
    caps->RedrawPass();
    ASSERT_TRUE(r1->HasSurfaces() && r2->HasSurfaces());
    gone.Destroy();
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            caps->RedrawPass();
            return caps->DisplayChangePending();
        },
        5000));
    // The display is as probed: drawing resumes with new surfaces where the window still exists.
    ASSERT_TRUE(Feed(r2, 320, 240, 2));
    caps->RedrawPass();
    EXPECT_FALSE(caps->DisplayChangePending());
    caps->RedrawPass();
    EXPECT_TRUE(r2->HasSurfaces());
    EXPECT_FALSE(r1->HasSurfaces());
    Rgb p = Read(stays, "after_lost");
    ExpectBars(p, 0, 320, 120, 2);
}

TEST_F(X11RendererTest, ExportsDrawOnTheRedrawThreadAndDestroyWhileDrawing) {
    void* lib = dlopen(CAMPORT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, lib) << dlerror();
    auto create = reinterpret_cast<PFN_CreateWinVideoRenderer>(dlsym(lib, CAMPORT_CREATE_RENDERER_NAME));
    auto destroy = reinterpret_cast<PFN_DestroyWinVideoRenderer>(dlsym(lib, CAMPORT_DESTROY_RENDERER_NAME));
    ASSERT_TRUE(create && destroy);
    destroy(nullptr);
    int notARenderer = 0;
    destroy(reinterpret_cast<VideoRendererPlatform*>(&notARenderer));  // ignored

    XWindow win(0, 0, 640, 360);
    ASSERT_TRUE(win.ok());
    TestWindow& window = Win(win.id(), true, 1);
    for (int round = 0; round < 3; ++round) {
        VideoRendererPlatform* r = create();
        ASSERT_NE(nullptr, r);
        EXPECT_TRUE(r->IsPreferredFormat(1));
        const CapturedFrameInfo info = FrameInfo(1, 1280, 720);
        EXPECT_FALSE(r->RenderFrame(&info, nullptr, 0));
        ASSERT_TRUE(r->AttachWindow(&window));
        EXPECT_EQ(&window, r->GetAttachedWindow());
        EXPECT_EQ(static_cast<const void*>(window.Redraw()), static_cast<const void*>(window.Redraw()));
        ASSERT_NE(nullptr, window.Redraw());
        // Frames from an engine thread while the redraw thread draws; the window asks for a
        // redraw of its own now and then.
        std::atomic<bool> stop{false};
        std::thread engine([&] {
            const auto frame = ColourBarsI420(1280, 720, round);
            while (!stop) {
                r->RenderFrame(&info, frame.data(), static_cast<int>(frame.size()));
                {
                    Poco::Mutex::ScopedLock lock(window.m_mutex);
                    if (window.m_pRedraw) window.m_pRedraw->Redraw();
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        const bool shown = testsupport::WaitUntil(
            [&] {
                const Rgb p = win.Read();
                return !p.px.empty() && Near(BarColours()[(1 + round) % 8], p.at(120, 180));
            },
            10000);
        stop = true;
        engine.join();
        EXPECT_TRUE(shown);
        if (round == 2) {
            Rgb p = Read(win, "exports");
            ExpectBars(p, 0, 640, 180, round);
        }
        destroy(r);  // the redraw thread may be drawing it right now
        EXPECT_EQ(nullptr, window.Redraw());
    }
    // The library stays loaded: its redraw thread is process-wide.
}
