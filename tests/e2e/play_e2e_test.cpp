// Video in the client's windows end to end. Playing: ffmpeg publishes a still pattern (H.264
// and AAC) to an nginx server, the endpoint plays it through the RTMP library and the real
// capture engine, and the engine's renderer (the camera plug-in) draws it into an X11 window
// of an Xvfb display. Preview: a pattern camera opened through the endpoint with a window.
// Windows are read back with XGetImage and compared with a frame ffmpeg decodes from what the
// server recorded (or makes of the same pattern). Set E2E_PLAY_DUMP to a folder to keep the
// read-backs as PPM files.
#include <gtest/gtest.h>

#include "IStreamCore.h"
#include "support/peers.h"
#include "support/process.h"
#include "support/x11_window.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

constexpr int kW = 320, kH = 240;

void Dump(const Rgb& p, const std::string& name) { DumpPpm(p, "E2E_PLAY_DUMP", name); }

// The first picture of a recording as RGB (empty when ffmpeg cannot read it yet).
Rgb FirstFrame(const std::string& file) {
    const std::string raw = RunCapture({"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-frames:v", "1", "-f",
                                        "rawvideo", "-pix_fmt", "rgb24", "-"});
    return RgbFromRgb24(raw, kW, kH);
}

class NullSink : public StreamCoreSink {
public:
    void OnStreamCoreEvent(int, int) override {}
    void OnPublishResult(int, const char*) override {}
    void OnPlayResult(int, const char*) override {}
};

class PlayE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_x = new XvfbDisplay;
        s_xUp = s_x->Start(false);
        // The camera plug-in's renderer connects to $DISPLAY.
        if (s_xUp) setenv("DISPLAY", s_x->display().c_str(), 1);
        // A pattern camera playing one still frame of the bars.
        s_dir = new TempDir("e2eplay");
        const std::string clip = s_dir->file("bars.nut");
        int status = -1;
        RunCapture({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "smptebars=size=" + std::to_string(kW) + "x" + std::to_string(kH), "-frames:v", "1", "-c:v",
                    "rawvideo", "-pix_fmt", "yuv420p", clip},
                   60000, &status);
        if (status == 0)
            setenv("CAMPORT_PATTERN_CAMERAS",
                   (clip + ",YUY2:" + std::to_string(kW) + "x" + std::to_string(kH) + "@30").c_str(), 1);
    }
    static void TearDownTestSuite() {
        unsetenv("CAMPORT_PATTERN_CAMERAS");
        delete s_x;
        s_x = nullptr;
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(s_xUp) << "Xvfb did not start";
        ASSERT_TRUE(m_server.Start());
    }
    void TearDown() override {
        if (m_core) {
            m_core->UnInitialize();
            DestroyStreamCore(m_core);
        }
        m_ffmpeg.Stop();
        m_server.Stop();
    }
    // ffmpeg publishes the still bars with a 1 kHz tone, in real time, until stopped.
    bool Publish(const std::string& stream) {
        const std::string size = std::to_string(kW) + "x" + std::to_string(kH);
        return m_ffmpeg.Start({"ffmpeg", "-nostdin", "-v", "error", "-re", "-f", "lavfi", "-i",
                               "smptebars=size=" + size + ":rate=25", "-f", "lavfi", "-i",
                               "sine=frequency=1000:sample_rate=44100", "-c:v", "libx264", "-preset", "ultrafast",
                               "-tune", "zerolatency", "-g", "25", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a",
                               "64k", "-f", "flv", m_server.Url(stream)},
                              m_server.dir() + "/ffmpeg.log");
    }
    bool PublishSeen(const std::string& stream) {
        return WaitUntil(
            [&] { return ReadFile(m_server.ErrorLog()).find("publish: name='" + stream + "'") != std::string::npos; },
            20000);
    }
    static bool Shows(XWindow& win, const Rgb& reference, Rgb* last) {
        return WaitUntil(
            [&] {
                *last = win.Read();
                return MeanAbsDiff(*last, reference) < 12.0;
            },
            20000);
    }

    static XvfbDisplay* s_x;
    static TempDir* s_dir;
    static bool s_xUp;
    NginxRtmp m_server;
    ChildProcess m_ffmpeg;
    NullSink m_sink;
    IStreamCore* m_core = nullptr;
};
XvfbDisplay* PlayE2E::s_x = nullptr;
TempDir* PlayE2E::s_dir = nullptr;
bool PlayE2E::s_xUp = false;

}  // namespace

TEST_F(PlayE2E, PlayedStreamShowsThePatternInTheWindow) {
    ASSERT_TRUE(Publish("bars"));
    ASSERT_TRUE(PublishSeen("bars")) << ReadFile(m_server.dir() + "/ffmpeg.log");
    Rgb reference;
    ASSERT_TRUE(WaitUntil([&] { return !(reference = FirstFrame(m_server.Recording("bars"))).px.empty(); }, 20000));
    Dump(reference, "reference");

    XWindow window(0, 0, kW, kH), second(400, 0, kW, kH);
    ASSERT_TRUE(window.ok() && second.ok());
    m_core = CreateStreamCore();
    ASSERT_NE(m_core, nullptr);
    m_core->SetSink(&m_sink);
    ASSERT_TRUE(m_core->Initialize(nullptr, nullptr, nullptr, false));
    const std::string url = m_server.Url("bars");
    ASSERT_TRUE(m_core->PlayStream(url.c_str(), window.handle()));

    Rgb got;
    EXPECT_TRUE(Shows(window, reference, &got)) << "mean difference " << MeanAbsDiff(got, reference);
    Dump(got, "played");

    // The stream moves to another window of the client.
    ASSERT_TRUE(m_core->ChangeRemoteVideoWindows(url.c_str(), second.handle()));
    EXPECT_TRUE(Shows(second, reference, &got)) << "mean difference " << MeanAbsDiff(got, reference);
    Dump(got, "played_second");
    m_core->StopPlay(url.c_str());
}

TEST_F(PlayE2E, CameraOpenedWithAWindowShowsItsPreview) {
    // The reference: the same bars made by ffmpeg directly.
    Rgb reference;
    const std::string raw = RunCapture({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                        "smptebars=size=" + std::to_string(kW) + "x" + std::to_string(kH),
                                        "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    ASSERT_EQ(raw.size(), static_cast<size_t>(kW) * kH * 3);
    reference = RgbFromRgb24(raw, kW, kH);

    XWindow window(0, 0, kW, kH);
    ASSERT_TRUE(window.ok());
    m_core = CreateStreamCore();
    ASSERT_NE(m_core, nullptr);
    m_core->SetSink(&m_sink);
    ASSERT_TRUE(m_core->Initialize(nullptr, nullptr, nullptr, false));
    std::string camera;
    const int count = m_core->GetCameraCount();
    for (int i = 0; i < count && camera.empty(); ++i) {
        char name[128] = {0}, uni[128] = {0};
        if (m_core->GetCameraNames(i, name, uni) && std::string(uni).rfind("pattern:", 0) == 0) camera = uni;
    }
    ASSERT_FALSE(camera.empty()) << "no pattern camera";
    ASSERT_TRUE(m_core->OpenCamera(camera.c_str(), window.handle(), kW, kH, 15));
    Rgb got;
    EXPECT_TRUE(Shows(window, reference, &got)) << "mean difference " << MeanAbsDiff(got, reference);
    Dump(got, "camera_preview");
    EXPECT_TRUE(m_core->CloseCamera(camera.c_str()));
}
