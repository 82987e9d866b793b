// The engine draws into real X11 windows of an Xvfb display through the camera plug-in's
// renderer: a pattern camera's preview, an application capture's preview, and a remote
// channel's decoded pictures. Windows are read back with XGetImage and compared with the
// picture ffmpeg makes of the same still pattern. Set MEDIATAP_RENDER_DUMP to a folder to
// keep the read-backs as PPM files.
#include <gtest/gtest.h>

#include "h264_check.h"
#include "mediatap/IMediaTap.h"
#include "recording_sink.h"
#include "support/peers.h"
#include "support/process.h"
#include "support/x11_window.h"
#include "support/xvfb_environment.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using mediatap_test::RecordingSink;

namespace {

// One display for the whole program: the plug-in connects to $DISPLAY once.
testsupport::XvfbEnvironment* const g_env = testsupport::AddXvfbEnvironment();

using testsupport::MeanAbsDiff;
using testsupport::Rgb;
using testsupport::ShareOf;
using testsupport::XWindow;

constexpr int kW = 320, kH = 240;
constexpr uint32_t kBackground = testsupport::kWindowBackground;  // what an undrawn window shows

void Dump(const Rgb& p, const std::string& name) { testsupport::DumpPpm(p, "MEDIATAP_RENDER_DUMP", name); }

typedef std::vector<uint8_t> Bytes;

// The still pattern, as files ffmpeg made once: a raw clip for the pattern camera, the
// reference picture in RGB, and H.264 access units in the player's packet form.
struct Media {
    testsupport::TempDir dir{"mtrender"};
    std::string clip;
    Rgb reference;
    std::vector<Bytes> packets;  // 12-byte header, then one Annex-B access unit
    // The pattern at 641 x 481: a clip, and ffmpeg's I420 (chroma 321 x 241) and RGB of it.
    std::string oddClip, oddI420;
    Rgb oddReference;
    bool ok = false;
};

const Media& Pattern() {
    static const std::unique_ptr<Media> m = [] {
        auto out = std::make_unique<Media>();
        const std::string size = std::to_string(kW) + "x" + std::to_string(kH);
        const std::string source = "smptebars=size=" + size + ":rate=25";
        out->clip = out->dir.file("bars.nut");
        const std::string rgb = out->dir.file("bars.rgb"), h264 = out->dir.file("bars.h264");
        int s1 = -1, s2 = -1, s3 = -1;
        testsupport::RunCapture({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", source, "-frames:v",
                                 "1", "-c:v", "rawvideo", "-pix_fmt", "yuv420p", out->clip},
                                60000, &s1);
        testsupport::RunCapture({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", source, "-frames:v",
                                 "1", "-f", "rawvideo", "-pix_fmt", "rgb24", rgb},
                                60000, &s2);
        testsupport::RunCapture({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", source, "-frames:v",
                                 "25", "-c:v", "libx264", "-preset", "ultrafast", "-bf", "0", "-g", "10", "-pix_fmt",
                                 "yuv420p", "-x264-params", "aud=1", "-f", "h264", h264},
                                60000, &s3);
        out->oddClip = out->dir.file("odd.nut");
        const std::string oddYuv = out->dir.file("odd.yuv"), oddRgb = out->dir.file("odd.rgb");
        int s4 = -1;
        testsupport::RunCapture({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                 "smptebars=size=641x481:rate=25", "-frames:v", "1", "-c:v", "rawvideo", "-pix_fmt",
                                 "yuv420p", out->oddClip, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "yuv420p",
                                 oddYuv, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", oddRgb},
                                60000, &s4);
        out->oddI420 = testsupport::ReadFile(oddYuv);
        out->oddReference = testsupport::RgbFromRgb24(testsupport::ReadFile(oddRgb), 641, 481);
        const std::string pixels = testsupport::ReadFile(rgb);
        if (s1 != 0 || s2 != 0 || s3 != 0 || s4 != 0 || pixels.size() != static_cast<size_t>(kW) * kH * 3) return out;
        out->reference = testsupport::RgbFromRgb24(pixels, kW, kH);
        // Cut the stream at every access unit delimiter (00 00 00 01 09).
        const std::string v = testsupport::ReadFile(h264);
        std::vector<size_t> cuts;
        for (size_t i = 0; i + 4 < v.size(); ++i)
            if (!v[i] && !v[i + 1] && !v[i + 2] && v[i + 3] == 1 && (v[i + 4] & 0x1F) == 9) cuts.push_back(i);
        cuts.push_back(v.size());
        for (size_t i = 0; i + 1 < cuts.size(); ++i) {
            Bytes packet(12, 0);
            packet[0] = 0x80;
            packet[1] = 0xE0;
            packet.insert(packet.end(), v.begin() + cuts[i], v.begin() + cuts[i + 1]);
            out->packets.push_back(std::move(packet));
        }
        out->ok = out->packets.size() >= 20;
        return out;
    }();
    return *m;
}

// A generous bound: the frames pass through YUY2 or H.264 and two colour conversions.
constexpr double kMaxDiff = 12.0;

// The top-left w x h of a plane of width stride that starts at offset, as a plane of its own.
std::vector<uint8_t> Crop(const std::string& bytes, size_t offset, int stride, int w, int h) {
    std::vector<uint8_t> out;
    for (int y = 0; y < h; ++y) out.insert(out.end(), &bytes[offset + y * stride], &bytes[offset + y * stride + w]);
    return out;
}

class EngineRenderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The first pattern camera is the one most tests use; two odd-sized ones follow.
        if (Pattern().ok)
            setenv("CAMPORT_PATTERN_CAMERAS", (Pattern().clip + ",YUY2:" + std::to_string(kW) + "x" +
                                               std::to_string(kH) + "@30|" + Pattern().oddClip +
                                               ",YUY2:641x481@30|" + Pattern().oddClip + ",I420:641x481@30")
                                                  .c_str(),
                   1);
    }
    static void TearDownTestSuite() { unsetenv("CAMPORT_PATTERN_CAMERAS"); }
    void SetUp() override {
        if (!g_env->xvfb()) GTEST_SKIP() << "Xvfb did not start";
        ASSERT_TRUE(Pattern().ok) << "ffmpeg could not make the pattern";
        m_engine = CreateMediaTap(&m_sink, 0);
        ASSERT_NE(m_engine, nullptr);
    }
    void TearDown() override {
        if (m_engine) DestoryMediaTap(m_engine);
    }
    // The unique id of pattern camera n ("" when it is not listed).
    std::string Camera(int n = 0) {
        const int count = m_engine->GetCameraCount();
        const std::string prefix = "pattern:" + std::to_string(n) + ":";
        for (int i = 0; i < count; ++i) {
            char name[128], id[128];
            if (m_engine->GetCameraNames(i, name, id) == 0 && std::strncmp(id, prefix.c_str(), prefix.size()) == 0)
                return id;
        }
        return "";
    }
    // True once the window shows the pattern; the last read-back is kept in *last.
    static bool ShowsPattern(XWindow& win, Rgb* last, int ms = 20000) {
        return testsupport::WaitUntil(
            [&] {
                *last = win.Read();
                return MeanAbsDiff(*last, Pattern().reference) < kMaxDiff;
            },
            ms);
    }
    // A window filled with a colour keeps it: nothing draws into it any more.
    static void ExpectNoDrawing(XWindow& win, uint32_t colour, const std::string& what) {
        win.Fill(colour);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        const Rgb p = win.Read();
        Dump(p, what);
        EXPECT_EQ(100.0, ShareOf(p, colour)) << what;
    }
    // Hands the remote channel the whole stream once.
    void Feed(uint64_t id) {
        for (const Bytes& p : Pattern().packets)
            EXPECT_EQ(0, m_engine->PlayRemoteVideoData(id, p.data(), static_cast<int>(p.size())));
    }

    RecordingSink m_sink;
    IMediaTap* m_engine = nullptr;
};

}  // namespace

TEST_F(EngineRenderTest, CameraPreviewShowsThePatternUntilRemoved) {
    const std::string camera = Camera();
    ASSERT_FALSE(camera.empty());
    XWindow win(0, 0, kW, kH), other(400, 0, kW, kH);
    ASSERT_TRUE(win.ok() && other.ok());
    ASSERT_EQ(0, m_engine->OpenCamera(camera.c_str(), kW, kH, 30));
    // Encoding is off: the preview still gets every frame the camera delivers.
    ASSERT_EQ(0, m_engine->AddVideoWindow(camera.c_str(), win.id()));
    EXPECT_EQ(0, m_engine->AddVideoWindow(camera.c_str(), win.id()));  // already there
    ASSERT_EQ(0, m_engine->AddVideoWindow(camera.c_str(), other.id()));
    Rgb got;
    EXPECT_TRUE(ShowsPattern(win, &got)) << "difference " << MeanAbsDiff(got, Pattern().reference);
    Dump(got, "camera_preview");
    EXPECT_TRUE(ShowsPattern(other, &got)) << "difference " << MeanAbsDiff(got, Pattern().reference);

    ASSERT_EQ(0, m_engine->RemoveVideoWindow(camera.c_str(), win.id()));
    EXPECT_EQ(-1, m_engine->RemoveVideoWindow(camera.c_str(), win.id()));
    // The other window goes on showing the camera. Redrawn twice after the removed one was
    // filled, it marks frames that a window still attached would have been drawn with too.
    win.Fill(0x00ff00);
    for (uint32_t colour : {0x0000ffu, 0xffff00u}) {
        other.Fill(colour);
        EXPECT_TRUE(ShowsPattern(other, &got));
    }
    const Rgb removed = win.Read();
    Dump(removed, "camera_removed");
    EXPECT_EQ(100.0, ShareOf(removed, 0x00ff00)) << "camera_removed";

    // Closing the camera removes its windows.
    ASSERT_EQ(0, m_engine->CloseCamera(camera.c_str()));
    ExpectNoDrawing(other, 0xff00ff, "camera_closed");
    EXPECT_EQ(-1, m_engine->RemoveAllVideoWindows(camera.c_str()));

    // Opened again, RemoveAllVideoWindows ends every preview.
    ASSERT_EQ(0, m_engine->OpenCamera(camera.c_str(), kW, kH, 30));
    ASSERT_EQ(0, m_engine->AddVideoWindow(camera.c_str(), win.id()));
    EXPECT_TRUE(ShowsPattern(win, &got));
    EXPECT_EQ(0, m_engine->RemoveAllVideoWindows(camera.c_str()));
    ExpectNoDrawing(win, 0x00ffff, "camera_remove_all");
    EXPECT_EQ(0, m_engine->RemoveAllVideoWindows(camera.c_str()));  // none left: still fine
}

TEST_F(EngineRenderTest, OddSizedCameraKeepsItsColoursEncodedAndPreviewed) {
    const std::string& i420 = Pattern().oddI420;
    ASSERT_EQ(size_t{641 * 481 + 2 * 321 * 241}, i420.size());
    // The engine encodes 640 x 480 of the 641 x 481 camera: the reference planes cut to that.
    const std::vector<uint8_t> refY = Crop(i420, 0, 641, 640, 480);
    const std::vector<uint8_t> refU = Crop(i420, 641 * 481, 321, 320, 240);
    const std::vector<uint8_t> refV = Crop(i420, 641 * 481 + 321 * 241, 321, 320, 240);
    XWindow win(0, 0, 641, 481);
    ASSERT_TRUE(win.ok());
    for (int n : {1, 2}) {  // YUY2, I420
        SCOPED_TRACE(n == 1 ? "YUY2" : "I420");
        const std::string camera = Camera(n);
        ASSERT_FALSE(camera.empty());
        ASSERT_EQ(0, m_engine->OpenCamera(camera.c_str(), 641, 481, 30));
        ASSERT_EQ(0, m_engine->AddVideoWindow(camera.c_str(), win.id()));
        ASSERT_EQ(0, m_engine->StartEncodeVideo(camera.c_str(), 640, 480));
        Rgb got;
        const bool shown = testsupport::WaitUntil(
            [&] {
                got = win.Read();
                return MeanAbsDiff(got, Pattern().oddReference) < kMaxDiff;
            },
            20000);
        EXPECT_TRUE(shown) << "difference " << MeanAbsDiff(got, Pattern().oddReference);
        Dump(got, "odd_preview_" + std::to_string(n));

        ASSERT_TRUE(testsupport::WaitUntil([&] { return m_sink.Count(camera) >= 10; }, 30000));
        mediatap_test::Decoder decoder;
        mediatap_test::Picture picture, last;
        for (const auto& f : m_sink.Frames(camera))
            if (decoder.DecodeAnnexB(f.data.data() + 12, f.data.size() - 12, &picture)) last = picture;
        ASSERT_EQ(640, last.width);
        ASSERT_EQ(480, last.height);
        EXPECT_GT(mediatap_test::Psnr(refY, last.y), 30);
        EXPECT_GT(mediatap_test::Psnr(refU, last.u), 30);
        EXPECT_GT(mediatap_test::Psnr(refV, last.v), 30);
        ASSERT_EQ(0, m_engine->CloseCamera(camera.c_str()));
        win.Fill(kBackground);
    }
}

TEST_F(EngineRenderTest, UnknownSourcesAndBadWindowsAreRefused) {
    XWindow win(0, 0, kW, kH);
    ASSERT_TRUE(win.ok());
    EXPECT_EQ(-1, m_engine->AddVideoWindow("no such source", win.id()));
    EXPECT_EQ(-1, m_engine->AddVideoWindow(nullptr, win.id()));
    EXPECT_EQ(-1, m_engine->RemoveVideoWindow("no such source", win.id()));
    EXPECT_EQ(-1, m_engine->RemoveAllVideoWindows("no such source"));
    char picture[128];
    ASSERT_EQ(0, m_engine->StartCapturePicture(picture));
    EXPECT_EQ(-1, m_engine->AddVideoWindow(picture, win.id()));  // a picture source has no preview
    const std::string camera = Camera();
    ASSERT_FALSE(camera.empty());
    ASSERT_EQ(0, m_engine->OpenCamera(camera.c_str(), kW, kH, 30));
    EXPECT_EQ(-1, m_engine->AddVideoWindow(camera.c_str(), 0));
    EXPECT_EQ(-1, m_engine->AddVideoWindow(camera.c_str(), 0x3fffff1));  // the server has no such window
    EXPECT_EQ(-1, m_engine->RemoveVideoWindow(camera.c_str(), win.id()));
    ExpectNoDrawing(win, 0x123456, "refused");
}

TEST_F(EngineRenderTest, ApplicationCapturePreviewShowsTheCapturedWindow) {
    XWindow source(0, 0, kW, kH), preview(400, 0, kW, kH);
    ASSERT_TRUE(source.ok() && preview.ok());
    source.Fill(0xff0000);
    char name[128];
    ASSERT_EQ(0, m_engine->StartCaptureApplication(name, source.id(), false, 0, 0, 0, 0, 1000, kW, kH, 15));
    ASSERT_EQ(0, m_engine->StopEncodeVideo(name));  // the preview goes on while encoding is paused
    ASSERT_EQ(0, m_engine->AddVideoWindow(name, preview.id()));
    // Red through I420 and back: close to pure red everywhere.
    Rgb got;
    const bool red = testsupport::WaitUntil(
        [&] {
            got = preview.Read();
            size_t near = 0;
            for (uint32_t c : got.px)
                near += ((c >> 16) & 0xff) > 200 && ((c >> 8) & 0xff) < 60 && (c & 0xff) < 60;
            return !got.px.empty() && near == got.px.size();
        },
        20000);
    Dump(got, "application_preview");
    EXPECT_TRUE(red);
    ASSERT_EQ(0, m_engine->StopCaptureApplication(name));
    ExpectNoDrawing(preview, 0x00ff00, "application_stopped");
    EXPECT_EQ(-1, m_engine->AddVideoWindow(name, preview.id()));
}

TEST_F(EngineRenderTest, RemoteVideoDrawsIntoItsWindowAndFollowsTheChange) {
    XWindow first(0, 0, kW, kH), second(400, 0, kW, kH);
    ASSERT_TRUE(first.ok() && second.ok());
    uint64_t id = 0;
    ASSERT_EQ(0, m_engine->CreateRemoteVideo(&id, first.id()));
    Feed(id);
    Rgb got;
    EXPECT_TRUE(ShowsPattern(first, &got)) << "difference " << MeanAbsDiff(got, Pattern().reference);
    Dump(got, "remote_first");

    ASSERT_EQ(0, m_engine->ChangeRemoteVideoWindow(id, second.id()));
    EXPECT_EQ(0, m_engine->ChangeRemoteVideoWindow(id, second.id()));  // the same window again
    first.Fill(0x00ff00);
    Feed(id);
    EXPECT_TRUE(ShowsPattern(second, &got)) << "difference " << MeanAbsDiff(got, Pattern().reference);
    Dump(got, "remote_second");

    // A window the server does not know is refused and the channel keeps drawing where it did.
    EXPECT_EQ(-1, m_engine->ChangeRemoteVideoWindow(id, 0x3fffff1));
    second.Fill(0x0000ff);
    Feed(id);
    EXPECT_TRUE(ShowsPattern(second, &got));
    // Both streams since the change went to the second window and none to the first.
    const Rgb left = first.Read();
    Dump(left, "remote_first_after_change");
    EXPECT_EQ(100.0, ShareOf(left, 0x00ff00)) << "remote_first_after_change";

    // Window 0: no drawing at all, decoding goes on.
    ASSERT_EQ(0, m_engine->ChangeRemoteVideoWindow(id, 0));
    second.Fill(0xff00ff);
    Feed(id);
    ExpectNoDrawing(second, 0xff00ff, "remote_no_window");
    EXPECT_EQ(0, m_engine->CloseRemoteVideo(id));
    EXPECT_EQ(-1, m_engine->ChangeRemoteVideoWindow(id, first.id()));

    // A channel created without a window starts drawing once it is given one.
    uint64_t later = 0;
    ASSERT_EQ(0, m_engine->CreateRemoteVideo(&later, 0));
    Feed(later);
    ASSERT_EQ(0, m_engine->ChangeRemoteVideoWindow(later, first.id()));
    Feed(later);
    EXPECT_TRUE(ShowsPattern(first, &got));
    EXPECT_EQ(0, m_engine->CloseRemoteVideo(later));
}
