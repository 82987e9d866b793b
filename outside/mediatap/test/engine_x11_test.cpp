// The whole engine, through its exported factory, against a real Xvfb display: windows
// painted with known colour bars are captured, encoded, decoded back and compared.
#include "h264_check.h"
#include "mediatap/IMediaTap.h"
#include "recording_sink.h"
#include "common/slogger.h"
#include "support/peers.h"
#include "support/process.h"

#include <gtest/gtest.h>
#include <libyuv.h>
// Xlib after gtest: its None and Bool macros would otherwise hit gtest's own names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

using mediatap_test::Decoder;
using mediatap_test::Picture;
using mediatap_test::Psnr;
using mediatap_test::RecordingSink;

namespace {

// Eight vertical bars: white, yellow, cyan, green, magenta, red, blue, black (B, G, R order).
const uint8_t kBars[8][3] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                             {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}};

std::vector<uint8_t> BarsBgra(int w, int h) {
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t* c = kBars[x * 8 / w];
            uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 4];
            p[0] = c[0];
            p[1] = c[1];
            p[2] = c[2];
            p[3] = 255;
        }
    return px;
}

Picture ToI420(const std::vector<uint8_t>& bgra, int w, int h) {
    Picture p;
    p.width = w;
    p.height = h;
    p.y.resize(static_cast<size_t>(w) * h);
    p.u.resize(static_cast<size_t>(w / 2) * (h / 2));
    p.v.resize(p.u.size());
    libyuv::ARGBToI420(bgra.data(), w * 4, p.y.data(), w, p.u.data(), w / 2, p.v.data(), w / 2, w, h);
    return p;
}

// Test windows on their own connection. Their content is a background pixmap, so the
// server repaints it by itself whenever needed (redirection, exposure, resize).
class Painter {
public:
    explicit Painter(const std::string& display) { m_dpy = XOpenDisplay(display.c_str()); }
    ~Painter() {
        if (m_dpy) XCloseDisplay(m_dpy);
    }
    bool ok() const { return m_dpy != nullptr; }
    Display* dpy() { return m_dpy; }

    Window BarsWindow(int x, int y, int w, int h) {
        Window win = XCreateSimpleWindow(m_dpy, DefaultRootWindow(m_dpy), x, y, w, h, 0, 0, 0);
        std::vector<uint8_t> px = BarsBgra(w, h);
        Pixmap pm = XCreatePixmap(m_dpy, win, w, h, DefaultDepth(m_dpy, DefaultScreen(m_dpy)));
        XImage* img = XCreateImage(m_dpy, DefaultVisual(m_dpy, DefaultScreen(m_dpy)),
                                   DefaultDepth(m_dpy, DefaultScreen(m_dpy)), ZPixmap, 0,
                                   reinterpret_cast<char*>(px.data()), w, h, 32, w * 4);
        GC gc = XCreateGC(m_dpy, pm, 0, nullptr);
        XPutImage(m_dpy, pm, gc, img, 0, 0, 0, 0, w, h);
        img->data = nullptr;
        XDestroyImage(img);
        XFreeGC(m_dpy, gc);
        XSetWindowBackgroundPixmap(m_dpy, win, pm);
        XFreePixmap(m_dpy, pm);
        MapAndWait(win);
        return win;
    }
    Window SolidWindow(int x, int y, int w, int h, unsigned long pixel) {
        Window win = XCreateSimpleWindow(m_dpy, DefaultRootWindow(m_dpy), x, y, w, h, 0, 0, pixel);
        MapAndWait(win);
        return win;
    }
    void MapAndWait(Window win) {
        XMapRaised(m_dpy, win);
        XSync(m_dpy, False);
        for (int i = 0; i < 200; ++i) {
            XWindowAttributes a;
            if (XGetWindowAttributes(m_dpy, win, &a) && a.map_state == IsViewable) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        XClearWindow(m_dpy, win);
        XSync(m_dpy, False);
    }
    void Resize(Window win, int w, int h) {
        XResizeWindow(m_dpy, win, w, h);
        XClearWindow(m_dpy, win);
        XSync(m_dpy, False);
    }
    void Destroy(Window win) {
        XDestroyWindow(m_dpy, win);
        XSync(m_dpy, False);
    }

private:
    Display* m_dpy = nullptr;
};

class EngineX11Test : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_xvfb = new testsupport::XvfbDisplay();
        ASSERT_TRUE(s_xvfb->Start(false));
        // The engine reads the display from the environment, like any X client.
        setenv("DISPLAY", s_xvfb->display().c_str(), 1);
        s_logDir = new testsupport::TempDir("mediatap-log");
        Orvane::Common::slogger::Inst()->InitLogInfoPath(s_logDir->path());
        Orvane::Common::slogger::Inst()->m_bLogEnabled = true;
    }
    static void TearDownTestSuite() {
        Orvane::Common::slogger::Release();
        delete s_logDir;
        delete s_xvfb;
    }
    void SetUp() override {
        m_painter = std::make_unique<Painter>(s_xvfb->display());
        ASSERT_TRUE(m_painter->ok());
        m_engine = CreateMediaTap(&m_sink, 0);
        ASSERT_NE(m_engine, nullptr);
    }
    void TearDown() override {
        DestoryMediaTap(m_engine);
        m_painter.reset();
    }

    bool WaitFrames(const std::string& name, size_t n, int ms = 20000) {
        return testsupport::WaitUntil([&] { return m_sink.Count(name) >= n; }, ms);
    }
    // Decodes every frame of a source in order; the last picture, and how many decoded.
    int DecodeAll(const std::string& name, Picture* last, size_t from = 0) {
        Decoder decoder;
        int decoded = 0;
        std::vector<RecordingSink::Frame> frames = m_sink.Frames(name);
        for (size_t i = 0; i < frames.size(); ++i) {
            Picture p;
            const std::vector<uint8_t>& d = frames[i].data;
            if (decoder.DecodeAnnexB(d.data() + 12, d.size() - 12, &p) && i >= from) {
                *last = p;
                ++decoded;
            }
        }
        return decoded;
    }
    static std::string LogText() {
        std::string file = Orvane::Common::slogger::Inst()->GetLogFile();
        return file.empty() ? "" : testsupport::ReadFile(file);
    }
    static std::string ViewPath(const std::string& name) {
        const char* dir = std::getenv("MEDIATAP_VIEW_DIR");
        return dir ? std::string(dir) + "/" + name : "";
    }

    static testsupport::XvfbDisplay* s_xvfb;
    static testsupport::TempDir* s_logDir;
    RecordingSink m_sink;
    IMediaTap* m_engine = nullptr;
    std::unique_ptr<Painter> m_painter;
};
testsupport::XvfbDisplay* EngineX11Test::s_xvfb = nullptr;
testsupport::TempDir* EngineX11Test::s_logDir = nullptr;

double YAt(const Picture& p, int x, int y) { return p.y[static_cast<size_t>(y) * p.width + x]; }

}  // namespace

TEST_F(EngineX11Test, CapturedWindowDecodesBackToItsPaintEvenWhenCovered) {
    Window win = m_painter->BarsWindow(0, 0, 320, 240);
    char name[128];
    std::memset(name, 'x', sizeof name);
    ASSERT_EQ(m_engine->StartCaptureApplication(name, win, false, 0, 0, 0, 0, 800, 320, 240, 10), 0);
    ASSERT_LT(std::strlen(name), 128u);
    EXPECT_TRUE(m_engine->IsVideoEncoding(name));
    EXPECT_EQ(m_engine->GetVideoParamA(name), 320);
    EXPECT_EQ(m_engine->GetVideoParamB(name), 240);
    ASSERT_TRUE(WaitFrames(name, 12));

    Picture expected = ToI420(BarsBgra(320, 240), 320, 240);
    Picture got;
    ASSERT_GE(DecodeAll(name, &got), 12);
    ASSERT_EQ(got.width, 320);
    ASSERT_EQ(got.height, 240);
    EXPECT_GT(Psnr(expected.y, got.y), 30);
    EXPECT_GT(Psnr(expected.u, got.u), 30);
    EXPECT_GT(Psnr(expected.v, got.v), 30);
    if (!ViewPath("window.ppm").empty()) {
        mediatap_test::WritePpm(got, ViewPath("window.ppm"));
        // The bare H.264 stream as well, for ffprobe.
        if (FILE* f = std::fopen(ViewPath("window.h264").c_str(), "wb")) {
            for (const auto& fr : m_sink.Frames(name)) std::fwrite(fr.data.data() + 12, 1, fr.data.size() - 12, f);
            std::fclose(f);
        }
    }

    // Another window on top: the capture still shows the window's own content.
    Window cover = m_painter->SolidWindow(40, 40, 200, 150, 0x00FF00);
    size_t before = m_sink.Count(name);
    ASSERT_TRUE(WaitFrames(name, before + 8));
    ASSERT_GT(DecodeAll(name, &got, before + 4), 0);
    EXPECT_GT(Psnr(expected.y, got.y), 30);

    // Every frame on the engine's own thread; every key frame with SPS and PPS up front.
    std::vector<RecordingSink::Frame> frames = m_sink.Frames(name);
    ASSERT_TRUE(frames.front().key);
    for (const auto& f : frames) {
        EXPECT_NE(f.thread, std::this_thread::get_id());
        ASSERT_GT(f.data.size(), 17u);
        const uint8_t* au = f.data.data() + 12;
        EXPECT_EQ(0, std::memcmp(au, "\0\0\0\1", 4));
        if (f.key) {
            EXPECT_EQ(au[4] & 0x1F, 7);
            std::vector<uint8_t> payload(f.data.begin() + 12, f.data.end());
            mediatap_test::PublisherCut cut = mediatap_test::CutKeyFrame(payload);
            EXPECT_FALSE(cut.sps.empty());
            EXPECT_EQ(cut.pps.size() > 0 && cut.pps.back() != 0, true) << "PPS ends where SEI/IDR begins";
            EXPECT_FALSE(cut.nal.empty());
        } else {
            EXPECT_EQ(au[4] & 0x1F, 1);
        }
    }

    // ForceKeyFrame: the next frame is an IDR (allowing for one already being encoded and one
    // delivered between counting and asking).
    size_t mark = m_sink.Count(name);
    ASSERT_EQ(m_engine->ForceKeyFrame(name), 0);
    ASSERT_TRUE(WaitFrames(name, mark + 3));
    frames = m_sink.Frames(name);
    EXPECT_TRUE(frames[mark].key || frames[mark + 1].key || frames[mark + 2].key);

    EXPECT_EQ(m_engine->StopCaptureApplication(name), 0);
    EXPECT_EQ(m_engine->StopCaptureApplication(name), -1);
    EXPECT_FALSE(m_engine->IsVideoEncoding(name));
    m_painter->Destroy(cover);
    m_painter->Destroy(win);
}

TEST_F(EngineX11Test, DesktopAndCaptureRectangle) {
    Window win = m_painter->BarsWindow(0, 0, 320, 240);
    char desk[128], part[128];
    ASSERT_EQ(m_engine->StartCaptureApplication(desk, 0, false, 0, 0, 0, 0, 1000, 640, 360, 10), 0);
    // Bars 2 and 3 (cyan, green) only, at their own size (output size 0 x 0).
    ASSERT_EQ(m_engine->StartCaptureApplication(part, win, false, 80, 0, 80, 240, 300, 0, 0, 10), 0);
    EXPECT_STRNE(desk, part);
    EXPECT_EQ(m_engine->GetVideoParamA(part), 80);
    ASSERT_TRUE(WaitFrames(desk, 8));
    ASSERT_TRUE(WaitFrames(part, 8));

    Picture d, p;
    ASSERT_GT(DecodeAll(desk, &d), 0);
    ASSERT_EQ(d.width, 640);
    ASSERT_EQ(d.height, 360);
    if (!ViewPath("desktop.ppm").empty()) mediatap_test::WritePpm(d, ViewPath("desktop.ppm"));
    // The desktop is scaled by 1/2: the bars window fills its top-left 160x120.
    Picture bars = ToI420(BarsBgra(320, 240), 320, 240);
    EXPECT_NEAR(YAt(d, 10, 60), YAt(bars, 20, 120), 12);     // white
    EXPECT_NEAR(YAt(d, 130, 60), YAt(bars, 260, 120), 12);   // blue

    ASSERT_GT(DecodeAll(part, &p), 0);
    ASSERT_EQ(p.width, 80);
    EXPECT_NEAR(YAt(p, 20, 100), YAt(bars, 100, 100), 12);  // cyan
    EXPECT_NEAR(YAt(p, 60, 100), YAt(bars, 140, 100), 12);  // green
    m_painter->Destroy(win);
}

// An unchanged screen is not read again, yet its frames keep coming and show its picture; a
// repaint shows in the first frame grabbed after it, in a window capture and on the desktop.
TEST_F(EngineX11Test, StillScreenKeepsItsPictureAndAChangeShowsInTheNextFrame) {
    Window win = m_painter->SolidWindow(0, 0, 160, 120, 0x0000FF);     // blue
    Window other = m_painter->SolidWindow(400, 0, 160, 120, 0x0000FF);  // on the desktop only
    char name[128], desk[128];
    ASSERT_EQ(m_engine->StartCaptureApplication(name, win, false, 0, 0, 0, 0, 300, 160, 120, 15), 0);
    ASSERT_EQ(m_engine->StartCaptureApplication(desk, 0, false, 0, 0, 0, 0, 1000, 640, 360, 15), 0);
    ASSERT_TRUE(WaitFrames(name, 12));
    ASSERT_TRUE(WaitFrames(desk, 12));
    Decoder decoder;
    Picture first, got;
    std::vector<RecordingSink::Frame> frames = m_sink.Frames(name);
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_TRUE(decoder.DecodeAnnexB(frames[i].data.data() + 12, frames[i].data.size() - 12, &got)) << i;
        if (i == 1) first = got;
        if (i > 1) {
            EXPECT_GT(Psnr(first.y, got.y), 45) << "frame " << i << " shows another picture";
        }
    }
    EXPECT_NEAR(YAt(got, 80, 60), 41, 6);  // blue

    auto nowMs = [] {
        return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    };
    for (Window w : {win, other}) XSetWindowBackground(m_painter->dpy(), w, 0xFF0000);  // red
    for (Window w : {win, other}) XClearWindow(m_painter->dpy(), w);
    XSync(m_painter->dpy(), False);
    const uint32_t painted = nowMs();
    // The frames whose grab was due after the repaint had been drawn.
    auto firstAfter = [&](const std::string& source, Picture* out) {
        if (!testsupport::WaitUntil([&] { return m_sink.Count(source) > 0 &&
                                                 m_sink.Frames(source).back().timestamp > painted; }, 10000))
            return false;
        Decoder d;
        for (const auto& f : m_sink.Frames(source)) {
            bool decoded = d.DecodeAnnexB(f.data.data() + 12, f.data.size() - 12, out);
            if (f.timestamp > painted) return decoded;
        }
        return false;
    };
    Picture window, desktop;
    ASSERT_TRUE(firstAfter(name, &window));
    ASSERT_TRUE(firstAfter(desk, &desktop));
    EXPECT_NEAR(YAt(window, 80, 60), 82, 6);     // red
    EXPECT_NEAR(YAt(desktop, 240, 30), 82, 6);   // the other window, scaled by 1/2
    EXPECT_NEAR(YAt(desktop, 40, 30), 82, 6);
    m_painter->Destroy(other);
    m_painter->Destroy(win);
}

TEST_F(EngineX11Test, FlagDrawsThePointerIntoTheFrames) {
    Window win = m_painter->BarsWindow(0, 0, 320, 240);
    // The pointer over the black bar (x 280 to 319).
    XWarpPointer(m_painter->dpy(), None, win, 0, 0, 0, 0, 296, 110);
    XSync(m_painter->dpy(), False);
    char with[128], without[128];
    ASSERT_EQ(m_engine->StartCaptureApplication(with, win, true, 0, 0, 0, 0, 800, 320, 240, 10), 0);
    ASSERT_EQ(m_engine->StartCaptureApplication(without, win, false, 0, 0, 0, 0, 800, 320, 240, 10), 0);
    ASSERT_TRUE(WaitFrames(with, 4));
    ASSERT_TRUE(WaitFrames(without, 4));
    auto brightest = [](const Picture& p, int top) {
        double best = 0;
        for (int y = top; y < top + 40; ++y)
            for (int x = 282; x < 318; ++x) best = std::max(best, YAt(p, x, y));
        return best;
    };
    Picture a, b;
    ASSERT_GT(DecodeAll(with, &a), 0);
    ASSERT_GT(DecodeAll(without, &b), 0);
    EXPECT_GT(brightest(a, 100), 100) << "the pointer's light outline shows";
    EXPECT_LT(brightest(b, 100), 40);
    if (!ViewPath("pointer.ppm").empty()) mediatap_test::WritePpm(a, ViewPath("pointer.ppm"));

    // Moved up the black bar: it shows where it is now and nowhere else.
    XWarpPointer(m_painter->dpy(), None, win, 0, 0, 0, 0, 296, 20);
    XSync(m_painter->dpy(), False);
    size_t mark = m_sink.Count(with);
    ASSERT_TRUE(WaitFrames(with, mark + 3));
    ASSERT_GT(DecodeAll(with, &a), 0);
    EXPECT_GT(brightest(a, 10), 100);
    EXPECT_LT(brightest(a, 100), 40);
    m_painter->Destroy(win);
}

TEST_F(EngineX11Test, ResizedWindowKeepsTheOutputSizeWithBars) {
    Window win = m_painter->BarsWindow(0, 0, 320, 240);
    char name[128];
    ASSERT_EQ(m_engine->StartCaptureApplication(name, win, false, 0, 0, 0, 0, 800, 320, 240, 10), 0);
    ASSERT_TRUE(WaitFrames(name, 4));
    m_painter->Resize(win, 640, 240);  // twice as wide: bars above and below
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    size_t mark = m_sink.Count(name);
    ASSERT_TRUE(WaitFrames(name, mark + 6));
    Picture got;
    ASSERT_GT(DecodeAll(name, &got, mark + 3), 0);
    ASSERT_EQ(got.width, 320);
    ASSERT_EQ(got.height, 240);
    if (!ViewPath("resized.ppm").empty()) mediatap_test::WritePpm(got, ViewPath("resized.ppm"));
    EXPECT_NEAR(YAt(got, 160, 20), 16, 6);     // black bar
    EXPECT_NEAR(YAt(got, 160, 220), 16, 6);
    EXPECT_GT(YAt(got, 10, 120), 150);         // content in the middle (white bar)
    EXPECT_TRUE(m_engine->IsVideoEncoding(name));

    // Unmapped, the stream goes on with the last picture; mapped again, it shows the window.
    XUnmapWindow(m_painter->dpy(), win);
    XSync(m_painter->dpy(), False);
    mark = m_sink.Count(name);
    ASSERT_TRUE(WaitFrames(name, mark + 4));
    m_painter->Resize(win, 320, 240);
    m_painter->MapAndWait(win);
    mark = m_sink.Count(name);
    ASSERT_TRUE(WaitFrames(name, mark + 4));
    ASSERT_GT(DecodeAll(name, &got, mark + 2), 0);
    EXPECT_GT(Psnr(ToI420(BarsBgra(320, 240), 320, 240).y, got.y), 30);
    m_painter->Destroy(win);
}

TEST_F(EngineX11Test, FrameRateHoldsOverThreeSeconds) {
    Window win = m_painter->BarsWindow(0, 0, 160, 120);
    char name[128];
    ASSERT_EQ(m_engine->StartCaptureApplication(name, win, false, 0, 0, 0, 0, 300, 160, 120, 15), 0);
    ASSERT_TRUE(WaitFrames(name, 1));
    auto first = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(3400));
    std::vector<RecordingSink::Frame> frames = m_sink.Frames(name);
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
    // 3 s of stream time hold 45 frames on the 15 fps grid...
    int inWindow = 0;
    for (const auto& f : frames) {
        unsigned t = f.timestamp - frames.front().timestamp;
        if (t < 3000) ++inWindow;
        EXPECT_NEAR(t * 15 / 1000.0, std::round(t * 15 / 1000.0), 0.02) << "off the frame grid: " << t;
    }
    EXPECT_NEAR(inWindow, 45, 1);
    // ...and the stream keeps pace with the wall clock (loosely: the machine may be busy).
    EXPECT_NEAR(static_cast<double>(frames.size()), 1 + elapsed * 15, 5);
    m_painter->Destroy(win);
}

TEST_F(EngineX11Test, WindowThatDisappearsEndsItsSource) {
    Window win = m_painter->BarsWindow(0, 0, 160, 120);
    char name[128];
    ASSERT_EQ(m_engine->StartCaptureApplication(name, win, false, 0, 0, 0, 0, 300, 160, 120, 10), 0);
    ASSERT_TRUE(WaitFrames(name, 3));
    m_painter->Destroy(win);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !m_engine->IsVideoEncoding(name); }, 10000));
    size_t after = m_sink.Count(name);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(m_sink.Count(name), after);
    EXPECT_EQ(m_engine->StartEncodeVideo(name, 640, 480), -1);
    EXPECT_EQ(m_engine->ForceKeyFrame(name), -1);
    EXPECT_NE(LogText().find(std::string("video source ") + name + " ended"), std::string::npos) << LogText();
    EXPECT_EQ(m_engine->StopCaptureApplication(name), 0);
}

TEST_F(EngineX11Test, PausedCaptureResumesWithAKeyFrameAtItsOwnSize) {
    Window win = m_painter->BarsWindow(0, 0, 160, 120);
    char name[128];
    ASSERT_EQ(m_engine->StartCaptureApplication(name, win, false, 0, 0, 0, 0, 300, 160, 120, 10), 0);
    ASSERT_EQ(m_engine->PrepareVideoPublish(name), 0);
    ASSERT_TRUE(WaitFrames(name, 3));
    ASSERT_EQ(m_engine->StopEncodeVideo(name), 0);
    EXPECT_FALSE(m_engine->IsVideoEncoding(name));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    size_t paused = m_sink.Count(name);
    ASSERT_EQ(m_engine->StartEncodeVideo(name, 640, 480), 0);  // keeps 160x120
    ASSERT_TRUE(WaitFrames(name, paused + 2));
    std::vector<RecordingSink::Frame> frames = m_sink.Frames(name);
    EXPECT_TRUE(frames[paused].key);
    Picture got;
    ASSERT_GT(DecodeAll(name, &got), 0);
    EXPECT_EQ(got.width, 160);
    EXPECT_EQ(m_engine->GetVideoParamA(name), 160);
    m_painter->Destroy(win);
}

TEST_F(EngineX11Test, PictureSourcePublishesTheGivenPicture) {
    char name[128];
    ASSERT_EQ(m_engine->StartCapturePicture(name), 0);
    EXPECT_FALSE(m_engine->IsVideoEncoding(name));
    // RGB bytes of the bars, 320x240.
    std::vector<uint8_t> bgra = BarsBgra(320, 240), rgb(320 * 240 * 3);
    for (size_t i = 0, j = 0; i < bgra.size(); i += 4, j += 3) {
        rgb[j] = bgra[i + 2];
        rgb[j + 1] = bgra[i + 1];
        rgb[j + 2] = bgra[i];
    }
    ASSERT_EQ(m_engine->SetCapturePicture(name, rgb.data(), 320, 240, 1), 0);
    EXPECT_EQ(m_engine->SetCapturePicture(name, rgb.data(), 320, 240, 9), -1);
    EXPECT_EQ(m_engine->SetCapturePicture(name, nullptr, 320, 240, 1), -1);
    EXPECT_EQ(m_engine->SetCapturePicture("#picture#none", rgb.data(), 320, 240, 1), -1);
    ASSERT_EQ(m_engine->StartEncodeVideo(name, 640, 480), 0);
    EXPECT_TRUE(m_engine->IsVideoEncoding(name));
    EXPECT_EQ(m_engine->GetVideoParamA(name), 640);
    EXPECT_EQ(m_engine->GetVideoParamB(name), 480);
    ASSERT_TRUE(WaitFrames(name, 4));
    Picture got;
    ASSERT_GT(DecodeAll(name, &got), 0);
    ASSERT_EQ(got.width, 640);
    std::vector<uint8_t> big(640 * 480 * 4);
    libyuv::ARGBScale(bgra.data(), 320 * 4, 320, 240, big.data(), 640 * 4, 640, 480, libyuv::kFilterBilinear);
    EXPECT_GT(Psnr(ToI420(big, 640, 480).y, got.y), 30);
    if (!ViewPath("picture.ppm").empty()) mediatap_test::WritePpm(got, ViewPath("picture.ppm"));
    // A still picture goes at a low rate: a handful of frames a second.
    std::vector<RecordingSink::Frame> frames = m_sink.Frames(name);
    EXPECT_GE(frames[1].timestamp - frames[0].timestamp, 100u);

    ASSERT_EQ(m_engine->StopEncodeVideo(name), 0);
    EXPECT_FALSE(m_engine->IsVideoEncoding(name));
    size_t stopped = m_sink.Count(name);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(m_sink.Count(name), stopped);
    EXPECT_EQ(m_engine->StopCapturePicture(name), 0);
    EXPECT_EQ(m_engine->StopCapturePicture(name), -1);
}

TEST_F(EngineX11Test, BadArgumentsAnswerFailure) {
    char name[128] = "";
    EXPECT_EQ(m_engine->StartCaptureApplication(nullptr, 0, false, 0, 0, 0, 0, 500, 320, 240, 10), -1);
    EXPECT_EQ(m_engine->StartCaptureApplication(name, 0x7FFFFFF0, false, 0, 0, 0, 0, 500, 320, 240, 10), -1);
    EXPECT_EQ(m_engine->StartCaptureApplication(name, 0, false, 0, 0, 0, 0, 500, 320, 240, 0), -1);
    EXPECT_EQ(m_engine->StartCaptureApplication(name, 0, false, 0, 0, 0, 0, 0, 320, 240, 10), -1);
    EXPECT_EQ(m_engine->StartCaptureApplication(name, 0, false, 0, 0, 0, 0, 500, 8, 8, 10), -1);
    EXPECT_EQ(m_engine->StartCaptureApplication(name, 0, false, -1, 0, 0, 0, 500, 320, 240, 10), -1);
    EXPECT_EQ(m_engine->StartCaptureApplication(name, 0, false, 10, 10, 0, 0, 500, 320, 240, 10), -1);
    EXPECT_EQ(m_engine->StartCaptureApplication(name, 0, false, 0, 0, 0, 0, 500, 320, 240, 61), -1);
    EXPECT_EQ(m_engine->StartCapturePicture(nullptr), -1);
    for (const char* s : {static_cast<const char*>(nullptr), "#app#nothing"}) {
        EXPECT_EQ(m_engine->PrepareVideoPublish(s), -1);
        EXPECT_EQ(m_engine->StartEncodeVideo(s, 640, 480), -1);
        EXPECT_EQ(m_engine->StopEncodeVideo(s), -1);
        EXPECT_FALSE(m_engine->IsVideoEncoding(s));
        EXPECT_EQ(m_engine->ForceKeyFrame(s), -1);
        EXPECT_EQ(m_engine->GetVideoParamA(s), -1);
        EXPECT_EQ(m_engine->GetVideoParamB(s), -1);
        EXPECT_EQ(m_engine->StopCaptureApplication(s), -1);
    }
    // An odd output size is made even.
    ASSERT_EQ(m_engine->StartCaptureApplication(name, 0, false, 0, 0, 0, 0, 500, 321, 241, 10), 0);
    EXPECT_EQ(m_engine->GetVideoParamA(name), 320);
    EXPECT_EQ(m_engine->GetVideoParamB(name), 240);
    // A picture name is not an application capture and the other way round.
    char pic[128];
    ASSERT_EQ(m_engine->StartCapturePicture(pic), 0);
    EXPECT_EQ(m_engine->StopCaptureApplication(pic), -1);
    EXPECT_EQ(m_engine->StopCapturePicture(name), -1);
    EXPECT_EQ(m_engine->StartEncodeVideo(pic, 4, 4), -1);
    // Left running on purpose: destroying the engine ends them.

    EXPECT_EQ(m_engine->GetCameraCount(), 0);  // no camera plug-in here
    char a[128], b[128];
    EXPECT_EQ(m_engine->GetCameraNames(0, a, b), -1);
    EXPECT_EQ(m_engine->OpenCamera("cam", 640, 480, 15), -1);
    EXPECT_EQ(m_engine->AddVideoWindow(name, 1), -1);
    EXPECT_EQ(m_engine->GetMicphoneCount(), 0);
    EXPECT_EQ(m_engine->GetSpeakerCount(), 0);
    EXPECT_EQ(m_engine->OpenMic("mic"), -1);
    // The mixer runs without any sound device (it encodes silence).
    EXPECT_EQ(m_engine->StartEncodeMixer("#soundcard#mix#mic", 96, 16000, 1), 0);
    EXPECT_EQ(m_engine->StopEncodeMixer("#soundcard#mix#mic"), 0);
    bool mute = false;
    EXPECT_EQ(m_engine->GetMuteStatus(&mute), -1);
    uint64_t id = 0;
    ASSERT_EQ(m_engine->CreateRemoteVideo(&id, 0), 0);
    EXPECT_EQ(m_engine->PlayRemoteVideoData(id, nullptr, 0), -1);
    EXPECT_EQ(m_engine->CloseRemoteVideo(id), 0);
    // Left open on purpose: destroying the engine closes them.
    EXPECT_EQ(m_engine->StartEncodeMixer("#soundcard#mix#mic", 96, 16000, 1), 0);
    ASSERT_EQ(m_engine->CreateRemoteVideo(&id, 0), 0);
    ASSERT_EQ(m_engine->CreateRemoteAudio(&id), 0);
    EXPECT_EQ(CreateMediaTap(nullptr, 0), nullptr);
}

// A receiver that stops the capture from inside its frame callback (on the engine's thread).
TEST_F(EngineX11Test, SinkMayStopItsSourceFromTheCallback) {
    struct StoppingSink final : public IMediaTapSink {
        IMediaTap* engine = nullptr;
        char name[128] = "";
        std::atomic<int> frames{0};
        std::atomic<int> stopResult{1};
        int OnSendVideoPacketCount(const char*) override { return 0; }
        int OnRtpVideoData(const char*, const unsigned char*, int, bool, unsigned) override {
            if (frames.fetch_add(1) == 1) stopResult = engine->StopCaptureApplication(name);
            return 0;
        }
        int OnAudioData(int, int, const unsigned char*, int, int, unsigned) override { return 0; }
        int OnMixerAudioData(const char*, const unsigned char*, int) override { return 0; }
        int OnMixerAudioHeaderData(const char*, char*, int) override { return 0; }
    } sink;
    Window win = m_painter->BarsWindow(0, 0, 160, 120);
    sink.engine = CreateMediaTap(&sink, 0);
    ASSERT_NE(sink.engine, nullptr);
    ASSERT_EQ(sink.engine->StartCaptureApplication(sink.name, win, false, 0, 0, 0, 0, 300, 160, 120, 20), 0);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return sink.stopResult.load() != 1; }, 10000));
    EXPECT_EQ(sink.stopResult.load(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(sink.frames.load(), 2);
    // A second capture's stop joins the retired one.
    char other[128];
    ASSERT_EQ(sink.engine->StartCaptureApplication(other, win, false, 0, 0, 0, 0, 300, 160, 120, 20), 0);
    EXPECT_EQ(sink.engine->StopCaptureApplication(other), 0);
    DestoryMediaTap(sink.engine);
    m_painter->Destroy(win);
}

// Under a reparenting window manager the client window sits inside the manager's frame.
TEST(EngineX11WindowManager, CapturesAManagedWindow) {
    testsupport::XvfbDisplay xvfb;
    ASSERT_TRUE(xvfb.Start(true));
    std::string previous = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    {
        Painter painter(xvfb.display());
        ASSERT_TRUE(painter.ok());
        Window win = painter.BarsWindow(100, 100, 320, 240);
        // Wait until openbox has framed it. The fixture returns once openbox announced itself,
        // which can be a moment before it takes over mapping; a window mapped in that moment
        // stays unmanaged, so it is mapped again until it is framed.
        auto framed = [&] {
            Window root, parent, *children = nullptr;
            unsigned n = 0;
            XQueryTree(painter.dpy(), win, &root, &parent, &children, &n);
            if (children) XFree(children);
            return parent != root;
        };
        for (int attempt = 0; attempt < 10 && !testsupport::WaitUntil(framed, 1000); ++attempt) {
            XUnmapWindow(painter.dpy(), win);
            painter.MapAndWait(win);
        }
        ASSERT_TRUE(framed());
        // Framing unmaps and maps the window again: capture only once it shows its bars.
        const std::vector<uint8_t> bars = BarsBgra(320, 240);
        auto painted = [&] {
            // A window openbox takes over while it starts up may get a size of its choosing.
            XWindowAttributes a;
            if (!XGetWindowAttributes(painter.dpy(), win, &a)) return false;
            if (a.width != 320 || a.height != 240) {
                painter.Resize(win, 320, 240);
                return false;
            }
            XImage* img = XGetImage(painter.dpy(), win, 0, 0, 320, 240, AllPlanes, ZPixmap);
            if (!img) return false;
            bool same = true;
            for (int y = 0; y < 240 && same; y += 4)
                for (int x = 0; x < 320 && same; x += 4) {
                    const uint8_t* c = &bars[(static_cast<size_t>(y) * 320 + x) * 4];
                    same = (XGetPixel(img, x, y) & 0xffffff) == ((uint32_t(c[2]) << 16) | (uint32_t(c[1]) << 8) | c[0]);
                }
            XDestroyImage(img);
            if (!same) {
                XClearWindow(painter.dpy(), win);
                XSync(painter.dpy(), False);
            }
            return same;
        };
        // Reading a window that is still being mapped fails with BadMatch: not fatal here.
        XErrorHandler previousHandler = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        const bool shown = testsupport::WaitUntil(painted, 10000);
        XSync(painter.dpy(), False);
        XSetErrorHandler(previousHandler);
        ASSERT_TRUE(shown);
        RecordingSink sink;
        IMediaTap* engine = CreateMediaTap(&sink, 0);
        char name[128];
        ASSERT_EQ(engine->StartCaptureApplication(name, win, false, 0, 0, 0, 0, 800, 320, 240, 10), 0);
        ASSERT_TRUE(testsupport::WaitUntil([&] { return sink.Count(name) >= 6; }, 20000));
        Decoder decoder;
        Picture got;
        for (const auto& f : sink.Frames(name)) decoder.DecodeAnnexB(f.data.data() + 12, f.data.size() - 12, &got);
        EXPECT_EQ(got.width, 320);
        EXPECT_GT(Psnr(ToI420(bars, 320, 240).y, got.y), 30);
        DestoryMediaTap(engine);
        painter.Destroy(win);
    }
    setenv("DISPLAY", previous.c_str(), 1);
}
