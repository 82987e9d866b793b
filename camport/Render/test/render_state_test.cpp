// The renderer's rules against a recording drawing layer: geometry, the capability decision,
// attach / detach, the frame hand-over, surfaces per frame size, lost surfaces, the
// self-drawn switch and the redraw-pointer protocol.
#include "Render/render_geometry.h"
#include "Render/video_renderer_windows.h"
#include "render_fakes.h"
#include "render_frames.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

using namespace Orvane;
using namespace rendertest;
using render::ComputeLayout;
using render::EffectiveDisplayMode;
using render::Rect;

TEST(RenderGeometry, FitFillStretch) {
    // 640x480 into 1280x480, fit: picture 640 wide at x = 320, bars 0-320 and 960-1280.
    render::Layout fit = ComputeLayout(1, 1280, 480, 640, 480);
    EXPECT_EQ((Rect{320, 0, 960, 480}), fit.picture);
    EXPECT_TRUE(fit.bars);
    EXPECT_EQ((Rect{0, 0, 320, 480}), fit.bar1);
    EXPECT_EQ((Rect{960, 0, 1280, 480}), fit.bar2);

    // Fill: 1280x960 at y = -240, reaching beyond the client area.
    render::Layout fill = ComputeLayout(2, 1280, 480, 640, 480);
    EXPECT_EQ((Rect{0, -240, 1280, 720}), fill.picture);
    EXPECT_FALSE(fill.bars);

    // A client taller than the frame's aspect: bars above and below in fit, sides cut in fill.
    render::Layout tall = ComputeLayout(1, 640, 640, 640, 480);
    EXPECT_EQ((Rect{0, 80, 640, 560}), tall.picture);
    EXPECT_EQ((Rect{0, 0, 640, 80}), tall.bar1);
    EXPECT_EQ((Rect{0, 560, 640, 640}), tall.bar2);
    EXPECT_EQ((Rect{-106, 0, 747, 640}), ComputeLayout(2, 640, 640, 640, 480).picture);

    // Stretch (and unknown modes): the client rectangle.
    EXPECT_EQ((Rect{0, 0, 1280, 480}), ComputeLayout(0, 1280, 480, 640, 480).picture);
    EXPECT_FALSE(ComputeLayout(0, 1280, 480, 640, 480).bars);

    // Same aspect: the picture is the client area, bars empty.
    render::Layout same = ComputeLayout(1, 1280, 720, 1920, 1080);
    EXPECT_EQ((Rect{0, 0, 1280, 720}), same.picture);
    EXPECT_TRUE(same.bar1.Empty() && same.bar2.Empty());

    // A bottom-up frame (negative height) is laid out by its magnitude; large sides don't overflow.
    EXPECT_EQ((Rect{320, 0, 960, 480}), ComputeLayout(1, 1280, 480, 640, -480).picture);
    EXPECT_EQ((Rect{0, 1562, 30000, 18437}), ComputeLayout(1, 30000, 20000, 16000, 9000).picture);
}

TEST(RenderGeometry, DisplayModeRule) {
    EXPECT_EQ(1, EffectiveDisplayMode(true, 1, 640, 480));
    EXPECT_EQ(2, EffectiveDisplayMode(true, 2, 640, 480));
    EXPECT_EQ(0, EffectiveDisplayMode(true, 7, 640, 480));
    EXPECT_EQ(0, EffectiveDisplayMode(false, 2, 640, 480));  // no window object: stretch
    // A portrait frame is always fitted.
    EXPECT_EQ(1, EffectiveDisplayMode(true, 2, 480, 640));
    EXPECT_EQ(1, EffectiveDisplayMode(true, 0, 480, 640));
    EXPECT_EQ(1, EffectiveDisplayMode(false, 0, 480, -640));
}

TEST(RenderCaps, DecisionTable) {
    render::DeviceCaps caps;
    RenderCapsDecision d = DecideRenderCaps(caps);
    EXPECT_EQ(render::kMemSystem, d.offscreenMemory);
    EXPECT_EQ(render::kMemSystem, d.primaryMemory);
    EXPECT_FALSE(d.filteredStretch);
    caps.yv12 = caps.anyFourcc = true;
    EXPECT_EQ(10, DecideRenderCaps(caps).preferredFormat);  // YV12 needs filtered stretching

    caps.systemToVideoStretch = true;
    d = DecideRenderCaps(caps);
    EXPECT_EQ(render::kMemSystem, d.offscreenMemory);
    EXPECT_EQ(render::kMemVideo, d.primaryMemory);
    EXPECT_EQ(1, d.preferredFormat);
    caps.videoStretch = true;
    EXPECT_EQ(render::kMemVideo, DecideRenderCaps(caps).offscreenMemory);
    caps.nonLocalStretch = true;
    EXPECT_EQ(0x20004000u, DecideRenderCaps(caps).offscreenMemory);
    caps.yv12 = false;
    EXPECT_EQ(10, DecideRenderCaps(caps).preferredFormat);
}

namespace {

class RendererTest : public ::testing::Test {
protected:
    void SetUp() override {
        layer = std::make_shared<FakeLayer>();
        layer->state.caps.videoStretch = true;
        layer->state.caps.anyFourcc = layer->state.caps.yv12 = true;
        layer->SetWindow(0x100, 1280, 480);
        layer->SetWindow(0x200, 640, 640);
        caps.reset(new CRendererDrawCapsWindows(layer, false));
    }
    void TearDown() override {
        for (auto* r : made) caps->DestroyRenderer(r);
        EXPECT_EQ(0, layer->state.liveDevices);
    }
    VideoRendererDDrawWindows* Make() {
        auto* r = caps->CreateRenderer();
        made.push_back(r);
        return r;
    }
    bool Feed(VideoRendererDDrawWindows* r, int w, int h, int shift = 0) {
        const auto frame = ColourBarsI420(w, h, shift);
        const CapturedFrameInfo info = FrameInfo(1, w, h);
        return r->RenderFrame(&info, frame.data(), static_cast<int>(frame.size()));
    }

    std::shared_ptr<FakeLayer> layer;
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

TEST_F(RendererTest, FitPassBlitsPictureAndBars) {
    TestWindow& window = Win(0x100, true, 1);
    auto* r = Make();
    EXPECT_TRUE(r->IsPreferredFormat(1));
    EXPECT_FALSE(r->IsPreferredFormat(10));
    ASSERT_TRUE(r->AttachWindow(&window));
    EXPECT_EQ(&window, r->GetAttachedWindow());
    ASSERT_TRUE(Feed(r, 640, 480));
    caps->RedrawPass();
    ASSERT_TRUE(r->HasSurfaces());
    EXPECT_TRUE(r->Yv12Mode());
    auto blits = layer->TakeBlits();
    // Creation shows the black surface over the client area, then the pass: picture and bars.
    ASSERT_EQ(4u, blits.size());
    EXPECT_EQ((Rect{0, 0, 1280, 480}), blits[0].dst);
    EXPECT_EQ((Rect{320, 0, 960, 480}), blits[1].dst);
    EXPECT_EQ(640, blits[1].srcWidth);
    EXPECT_EQ(render::SurfaceFormat::kYV12, blits[1].format);
    EXPECT_EQ((Rect{0, 0, 320, 480}), blits[2].dst);
    EXPECT_EQ(4, blits[2].srcWidth);
    EXPECT_EQ((Rect{960, 0, 1280, 480}), blits[3].dst);
    EXPECT_EQ(1, layer->state.paints);

    // The YV12 surface holds Y, then V, then U of the frame.
    const auto frame = ColourBarsI420(640, 480);
    const auto& s = layer->state.lastOffscreen;
    const int pitch = layer->state.lastPitch;
    EXPECT_EQ(0, std::memcmp(&s[pitch * 10], &frame[640 * 10], 640));
    const size_t v = static_cast<size_t>(pitch) * 480, u = v + (pitch / 2) * 240;
    EXPECT_EQ(0, std::memcmp(&s[v + (pitch / 2) * 7], &frame[640 * 480 + 320 * 240 + 320 * 7], 320));
    EXPECT_EQ(0, std::memcmp(&s[u + (pitch / 2) * 7], &frame[640 * 480 + 320 * 7], 320));

    // Fill mode on the next pass; the same surfaces are kept (no new frame needed).
    window.m_mode = 2;
    caps->RedrawPass();
    blits = layer->TakeBlits();
    ASSERT_EQ(1u, blits.size());
    EXPECT_EQ((Rect{0, -240, 1280, 720}), blits[0].dst);
    EXPECT_EQ(1u, layer->state.offscreens.size());
}

TEST_F(RendererTest, AttachRules) {
    TestWindow& window = Win(0x100, true, 1);
    auto* r = Make();
    // Nothing attached: frames are refused.
    EXPECT_FALSE(Feed(r, 640, 480));
    EXPECT_FALSE(r->AttachWindow(nullptr));

    ASSERT_TRUE(r->AttachWindow(&window));
    EXPECT_EQ(static_cast<RenderRedraw*>(r), window.Redraw());
    ASSERT_TRUE(Feed(r, 640, 480));
    caps->RedrawPass();
    ASSERT_TRUE(r->HasSurfaces());
    // The same window again is a no-op: surfaces stay.
    EXPECT_TRUE(r->AttachWindow(&window));
    EXPECT_TRUE(r->HasSurfaces());
    EXPECT_TRUE(r->IsAttached());

    // Another window: old surfaces dropped, nothing shown until the next frame.
    TestWindow& other = Win(0x200, true, 1);
    ASSERT_TRUE(r->AttachWindow(&other));
    EXPECT_FALSE(r->HasSurfaces());
    EXPECT_EQ(nullptr, window.Redraw());
    EXPECT_EQ(static_cast<RenderRedraw*>(r), other.Redraw());
    layer->TakeBlits();
    caps->RedrawPass();
    EXPECT_TRUE(layer->TakeBlits().empty());
    ASSERT_TRUE(Feed(r, 640, 480));
    caps->RedrawPass();
    EXPECT_FALSE(layer->TakeBlits().empty());

    // A frame without data is taken (the pass then has nothing new to draw).
    const CapturedFrameInfo empty = FrameInfo(1, 640, 480);
    EXPECT_TRUE(r->RenderFrame(&empty, nullptr, 0));
    caps->RedrawPass();

    // Detach keeps the window object and its handle: attaching the same window then answers
    // true but stays detached.
    r->DetachWindow();
    EXPECT_EQ(nullptr, other.Redraw());
    EXPECT_EQ(&other, r->GetAttachedWindow());
    EXPECT_FALSE(r->HasSurfaces());
    EXPECT_TRUE(r->AttachWindow(&other));
    EXPECT_FALSE(r->IsAttached());
    EXPECT_FALSE(Feed(r, 640, 480));
    EXPECT_FALSE(r->RenderFrame(&empty, nullptr, 0));
    // A second detach forgets the handle, so the next attach takes.
    r->DetachWindow();
    EXPECT_TRUE(r->AttachWindow(&other));
    EXPECT_TRUE(r->IsAttached());
    EXPECT_TRUE(Feed(r, 640, 480));
    r->SetLabelText(std::string(400, 'x').c_str());
    r->SetLabelValue(7);
}

TEST_F(RendererTest, FrameSizeChangeMakesNewSurfaces) {
    TestWindow& window = Win(0x100, true, 1);
    auto* r = Make();
    ASSERT_TRUE(r->AttachWindow(&window));
    ASSERT_TRUE(Feed(r, 640, 480));
    caps->RedrawPass();
    EXPECT_EQ(640, r->SurfaceWidth());
    ASSERT_TRUE(Feed(r, 640, 480, 1));
    caps->RedrawPass();
    EXPECT_EQ(1u, layer->state.offscreens.size());  // same size: surfaces reused
    ASSERT_TRUE(Feed(r, 1280, 720));
    caps->RedrawPass();
    EXPECT_EQ(1280, r->SurfaceWidth());
    EXPECT_EQ(720, r->SurfaceHeight());
    ASSERT_EQ(2u, layer->state.offscreens.size());
    EXPECT_EQ(std::make_pair(1280, 720), layer->state.offscreens[1]);
    // Between frames the last one is shown again on every pass.
    layer->TakeBlits();
    caps->RedrawPass();
    caps->RedrawPass();
    EXPECT_EQ(6u, layer->TakeBlits().size());  // 16:9 in 1280x480: picture and two side bars
}

TEST_F(RendererTest, RgbSurfaceWhenYv12IsRefused) {
    layer->state.rejectYv12 = true;
    TestWindow& window = Win(0x100, true, 0);
    auto* r = Make();
    ASSERT_TRUE(r->AttachWindow(&window));
    // A YUY2 frame goes through the converter.
    const auto i420 = ColourBarsI420(64, 48);
    std::vector<uint8_t> yuy2(64 * 48 * 2);
    libyuv::I420ToYUY2(i420.data(), 64, i420.data() + 64 * 48, 32, i420.data() + 64 * 48 + 32 * 24, 32, yuy2.data(),
                       128, 64, 48);
    const CapturedFrameInfo info = FrameInfo(4, 64, 48);
    ASSERT_TRUE(r->RenderFrame(&info, yuy2.data(), static_cast<int>(yuy2.size())));
    caps->RedrawPass();
    ASSERT_TRUE(r->HasSurfaces());
    EXPECT_FALSE(r->Yv12Mode());
    ASSERT_EQ(render::SurfaceFormat::kRGB32, layer->state.lastFormat);
    // The surface holds the frame as 32-bit RGB, not black.
    const auto& s = layer->state.lastOffscreen;
    for (int bar = 0; bar < 8; ++bar) {
        const int x = bar * 8 + 4;
        const uint8_t* p = &s[20 * 64 * 4 + x * 4];
        const uint32_t got = (p[2] << 16) | (p[1] << 8) | p[0];
        EXPECT_TRUE(Near(BarAt(x, 64), got)) << bar << ": " << std::hex << got;
    }
    // Stretch mode: one blit over the client area.
    EXPECT_EQ((Rect{0, 0, 1280, 480}), layer->TakeBlits().back().dst);
}

TEST_F(RendererTest, WindowThatDrawsItselfGetsRgb24) {
    TestWindow& window = Win(0x100, false, 1);
    auto* r = Make();
    ASSERT_TRUE(r->AttachWindow(&window));
    ASSERT_TRUE(Feed(r, 64, 48));
    ASSERT_TRUE(Feed(r, 64, 48));
    caps->RedrawPass();
    r->Redraw();
    {
        std::lock_guard<std::mutex> lock(window.mutex);
        ASSERT_EQ(2u, window.converted.size());
        EXPECT_EQ(10, window.converted[0].format);
        EXPECT_EQ(64, window.converted[0].width);
        ASSERT_EQ(64u * 48 * 3, window.lastRgb.size());
        const uint8_t* p = &window.lastRgb[(10 * 64 + 12) * 3];  // bar 1: yellow, B G R
        EXPECT_TRUE(Near(0xffff00, (p[2] << 16) | (p[1] << 8) | p[0]));
    }
    EXPECT_EQ(0, layer->state.devices - 1);  // only the probe's device: nothing drawn
    EXPECT_TRUE(layer->TakeBlits().empty());

    // A hidden window gets nothing, but the frame still counts as taken.
    layer->SetWindow(0x100, 1280, 480, false);
    EXPECT_TRUE(Feed(r, 64, 48));
    {
        std::lock_guard<std::mutex> lock(window.mutex);
        EXPECT_EQ(2u, window.converted.size());
    }

    // Detached and attached again, the window still gets its frames.
    layer->SetWindow(0x100, 1280, 480, true);
    r->DetachWindow();
    ASSERT_TRUE(r->AttachWindow(&window));
    EXPECT_TRUE(Feed(r, 64, 48));
    std::lock_guard<std::mutex> lock(window.mutex);
    EXPECT_EQ(3u, window.converted.size());
}

TEST_F(RendererTest, LostSurfaceSuspendsDrawingUntilTheDisplayIsBack) {
    TestWindow& window = Win(0x100, true, 1);
    auto* r = Make();
    ASSERT_TRUE(r->AttachWindow(&window));
    ASSERT_TRUE(Feed(r, 640, 480));
    caps->RedrawPass();
    layer->TakeBlits();
    layer->state.nextBlit = render::DrawResult::kLost;
    caps->RedrawPass();
    EXPECT_TRUE(caps->DisplayChangePending());
    // While the display offers something else than at start, nothing is drawn.
    layer->state.caps.videoStretch = false;
    layer->state.caps.systemToVideoStretch = true;
    caps->RedrawPass();
    r->Redraw();
    EXPECT_TRUE(caps->DisplayChangePending());
    EXPECT_TRUE(layer->TakeBlits().empty());
    // Back as probed: surfaces are made again and drawing resumes with the last frame.
    layer->state.caps.videoStretch = true;
    caps->RedrawPass();
    EXPECT_FALSE(caps->DisplayChangePending());
    EXPECT_EQ(2u, layer->state.offscreens.size());
    EXPECT_EQ(4u, layer->TakeBlits().size());
}

TEST_F(RendererTest, ProbeRetriedWhileDisplayUnreachable) {
    layer->state.reachable = false;
    CRendererDrawCapsWindows fresh(layer, false);
    EXPECT_FALSE(fresh.EnsureProbed());
    EXPECT_EQ(10, fresh.PreferredFormat());
    layer->state.reachable = true;
    layer->state.capsOk = false;  // caps unreadable: the probe counts, nothing is set
    EXPECT_TRUE(fresh.EnsureProbed());
    EXPECT_EQ(10, fresh.PreferredFormat());
    EXPECT_EQ(render::kMemNone, fresh.OffscreenMemory());
    EXPECT_FALSE(fresh.DestroyRenderer(reinterpret_cast<VideoRendererPlatform*>(&fresh)));
}

TEST_F(RendererTest, DestroyedWhileDrawnIsFreedAfterThePass) {
    TestWindow& window = Win(0x100, true, 1);
    auto* r = caps->CreateRenderer();
    ASSERT_TRUE(r->AttachWindow(&window));
    ASSERT_TRUE(Feed(r, 640, 480));
    std::mutex m;
    std::condition_variable cv;
    bool inBlit = false, release = false;
    layer->state.onBlit = [&] {
        std::unique_lock<std::mutex> lock(m);
        inBlit = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    };
    std::thread pass([&] { caps->RedrawPass(); });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return inBlit; });
    }
    std::thread destroy([&] { EXPECT_TRUE(caps->DestroyRenderer(r)); });
    // Unregistered while the pass still blits (it is held until release), freed later.
    EXPECT_TRUE(testsupport::WaitUntil([&] { return caps->RegisteredCount() == 0u; }, 10000));
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
        layer->state.onBlit = nullptr;
    }
    cv.notify_all();
    pass.join();
    destroy.join();
    EXPECT_EQ(nullptr, window.Redraw());  // the window holds no pointer to the freed renderer
    EXPECT_EQ(0, layer->state.liveDevices);
}

TEST_F(RendererTest, HandOverFromAnotherThreadWhileTheThreadDraws) {
    // The real redraw thread against frames from an engine thread (for the thread checker).
    CRendererDrawCapsWindows threaded(layer, true);
    TestWindow& window = Win(0x100, true, 1);
    auto* r = threaded.CreateRenderer();
    ASSERT_TRUE(r->AttachWindow(&window));
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(Feed(r, i < 20 ? 320 : 640, 240, i));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const uint64_t start = threaded.PassCount();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (threaded.PassCount() < start + 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(threaded.PassCount(), start + 3);
    EXPECT_EQ(640, r->SurfaceWidth());
    EXPECT_TRUE(threaded.DestroyRenderer(r));
}
