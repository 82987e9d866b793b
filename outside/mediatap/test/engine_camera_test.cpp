// The engine's camera slots with the real camera plug-in, which plays a clip of ffmpeg's
// testsrc pattern as cameras: the cameras are listed, opened, encoded, and what reaches the
// sink decodes to the pattern at the size asked for.
#include "h264_check.h"
#include "mediatap/IMediaTap.h"
#include "recording_sink.h"
#include "common/slogger.h"
#include "support/process.h"

#include <gtest/gtest.h>
#include <libyuv.h>

#include <cstdlib>
#include <cstring>
#include <thread>

using mediatap_test::Decoder;
using mediatap_test::Picture;
using mediatap_test::Psnr;
using mediatap_test::RecordingSink;

namespace {

Picture Scaled(const Picture& src, int w, int h) {
    Picture p;
    p.width = w;
    p.height = h;
    p.y.resize(static_cast<size_t>(w) * h);
    p.u.resize(static_cast<size_t>(w / 2) * (h / 2));
    p.v.resize(p.u.size());
    libyuv::I420Scale(src.y.data(), src.width, src.u.data(), src.width / 2, src.v.data(), src.width / 2, src.width,
                      src.height, p.y.data(), w, p.u.data(), w / 2, p.v.data(), w / 2, w, h, libyuv::kFilterBilinear);
    return p;
}

class EngineCameraTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new testsupport::TempDir("mtcam");
        s_clip = s_dir->file("testsrc.nut");
        const std::string ref = s_dir->file("ref.yuv");
        int status = -1, refStatus = -1;
        testsupport::RunCapture({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=640x480:rate=30",
                                 "-frames:v", "1", "-c:v", "rawvideo", "-pix_fmt", "yuv420p", s_clip},
                                60000, &status);
        testsupport::RunCapture({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=640x480:rate=30",
                                 "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "yuv420p", ref},
                                60000, &refStatus);
        const std::string raw = testsupport::ReadFile(ref);
        if (status == 0 && refStatus == 0 && raw.size() == 640u * 480 * 3 / 2) {
            s_ref.width = 640;
            s_ref.height = 480;
            s_ref.y.assign(raw.begin(), raw.begin() + 640 * 480);
            s_ref.u.assign(raw.begin() + 640 * 480, raw.begin() + 640 * 480 * 5 / 4);
            s_ref.v.assign(raw.begin() + 640 * 480 * 5 / 4, raw.end());
        }
        // Camera 0 lists 640x480 YUY2 and 1280x720 MJPEG; camera 1 a bottom-up RGB24 image.
        const std::string cameras =
            s_clip + ",YUY2:640x480@30,MJPG:1280x720@30|" + s_clip + ",RGB24:320x240@15";
        setenv("CAMPORT_PATTERN_CAMERAS", cameras.c_str(), 1);
        Orvane::Common::slogger::Inst()->InitLogInfoPath(s_dir->path());
        Orvane::Common::slogger::Inst()->m_bLogEnabled = true;
    }
    static void TearDownTestSuite() {
        Orvane::Common::slogger::Release();
        unsetenv("CAMPORT_PATTERN_CAMERAS");
        delete s_dir;
    }
    void SetUp() override {
        if (s_ref.y.empty()) GTEST_SKIP() << "ffmpeg could not make the testsrc clip";
        m_engine = CreateMediaTap(&m_sink, 0);
        ASSERT_NE(m_engine, nullptr);
    }
    void TearDown() override {
        if (m_engine) DestoryMediaTap(m_engine);
    }

    static std::string CameraId(int n) { return "pattern:" + std::to_string(n) + ":" + s_clip; }
    bool WaitFrames(const std::string& name, size_t n, int ms = 30000) {
        return testsupport::WaitUntil([&] { return m_sink.Count(name) >= n; }, ms);
    }
    // The last picture of a source's frames, decoded in order; false when none decodes.
    bool LastPicture(const std::string& name, Picture* last) {
        Decoder decoder;
        bool any = false;
        for (const auto& f : m_sink.Frames(name)) {
            Picture p;
            if (decoder.DecodeAnnexB(f.data.data() + 12, f.data.size() - 12, &p)) {
                *last = p;
                any = true;
            }
        }
        return any;
    }
    // Opens a camera, encodes it until n frames came and decodes the last one.
    Picture Capture(const std::string& id, int w, int h, int fps, size_t n) {
        Picture got;
        EXPECT_EQ(0, m_engine->OpenCamera(id.c_str(), w, h, fps));
        EXPECT_EQ(0, m_engine->StartEncodeVideo(id.c_str(), 640, 480));
        EXPECT_TRUE(WaitFrames(id, n));
        EXPECT_TRUE(LastPicture(id, &got));
        return got;
    }

    static testsupport::TempDir* s_dir;
    static std::string s_clip;
    static Picture s_ref;
    RecordingSink m_sink;
    IMediaTap* m_engine = nullptr;
};

testsupport::TempDir* EngineCameraTest::s_dir = nullptr;
std::string EngineCameraTest::s_clip;
Picture EngineCameraTest::s_ref;

}  // namespace

TEST_F(EngineCameraTest, ListsThePatternCameras) {
    const int count = m_engine->GetCameraCount();
    ASSERT_GE(count, 2);  // pattern cameras follow any real ones
    char name[128], uni[128];
    ASSERT_EQ(0, m_engine->GetCameraNames(count - 2, name, uni));
    EXPECT_STREQ("Pattern Camera 0", name);
    EXPECT_EQ(CameraId(0), uni);
    ASSERT_EQ(0, m_engine->GetCameraNames(count - 1, name, uni));
    EXPECT_STREQ("Pattern Camera 1", name);
    EXPECT_EQ(CameraId(1), uni);
    std::strcpy(name, "stale");
    std::strcpy(uni, "stale");
    EXPECT_EQ(-1, m_engine->GetCameraNames(count, name, uni));
    EXPECT_STREQ("", name);
    EXPECT_STREQ("", uni);
    EXPECT_EQ(-1, m_engine->GetCameraNames(-1, name, uni));
    EXPECT_EQ(-1, m_engine->GetCameraNames(0, nullptr, uni));
}

TEST_F(EngineCameraTest, OpenedCameraEncodesOnRequestAtItsOwnSize) {
    const std::string id = CameraId(0);
    ASSERT_EQ(0, m_engine->OpenCamera(id.c_str(), 640, 480, 15));
    EXPECT_FALSE(m_engine->IsVideoEncoding(id.c_str()));
    EXPECT_EQ(640, m_engine->GetVideoParamA(id.c_str()));
    EXPECT_EQ(480, m_engine->GetVideoParamB(id.c_str()));
    // Open again: the same request is fine, another size is refused while open.
    EXPECT_EQ(0, m_engine->OpenCamera(id.c_str(), 640, 480, 15));
    EXPECT_EQ(-1, m_engine->OpenCamera(id.c_str(), 320, 240, 15));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(0u, m_sink.Count(id)) << "nothing is encoded before StartEncodeVideo";

    // The size given here applies to pictures only: the camera keeps 640x480.
    ASSERT_EQ(0, m_engine->StartEncodeVideo(id.c_str(), 320, 240));
    EXPECT_TRUE(m_engine->IsVideoEncoding(id.c_str()));
    ASSERT_TRUE(WaitFrames(id, 20));
    auto frames = m_sink.Frames(id);
    EXPECT_TRUE(frames.front().key);
    Picture got;
    ASSERT_TRUE(LastPicture(id, &got));
    ASSERT_EQ(640, got.width);
    ASSERT_EQ(480, got.height);
    EXPECT_GT(Psnr(s_ref.y, got.y), 30);
    EXPECT_GT(Psnr(s_ref.u, got.u), 28);
    EXPECT_GT(Psnr(s_ref.v, got.v), 28);
    if (const char* dir = std::getenv("MEDIATAP_VIEW_DIR")) {
        mediatap_test::WritePpm(got, std::string(dir) + "/camera.ppm");
        if (FILE* f = std::fopen((std::string(dir) + "/camera.h264").c_str(), "wb")) {
            for (const auto& fr : m_sink.Frames(id)) std::fwrite(fr.data.data() + 12, 1, fr.data.size() - 12, f);
            std::fclose(f);
        }
    }

    // Pause, then resume with a key frame.
    ASSERT_EQ(0, m_engine->StopEncodeVideo(id.c_str()));
    EXPECT_FALSE(m_engine->IsVideoEncoding(id.c_str()));
    EXPECT_EQ(-1, m_engine->ForceKeyFrame(id.c_str()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const size_t paused = m_sink.Count(id);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(paused, m_sink.Count(id));
    ASSERT_EQ(0, m_engine->StartEncodeVideo(id.c_str(), 640, 480));
    ASSERT_TRUE(WaitFrames(id, paused + 1));
    EXPECT_TRUE(m_sink.Frames(id)[paused].key);

    // A camera is not an application or picture source, and closes once.
    EXPECT_EQ(-1, m_engine->StopCaptureApplication(id.c_str()));
    EXPECT_EQ(-1, m_engine->StopCapturePicture(id.c_str()));
    ASSERT_EQ(0, m_engine->CloseCamera(id.c_str()));
    EXPECT_EQ(-1, m_engine->CloseCamera(id.c_str()));
    EXPECT_FALSE(m_engine->IsVideoEncoding(id.c_str()));
    EXPECT_EQ(-1, m_engine->StartEncodeVideo(id.c_str(), 640, 480));
    // And opens again.
    ASSERT_EQ(0, m_engine->OpenCamera(id.c_str(), 640, 480, 15));
    EXPECT_EQ(0, m_engine->CloseCamera(id.c_str()));
}

TEST_F(EngineCameraTest, LargeRequestUsesTheMjpegFormat) {
    // 1280x720 is only listed as MJPEG; the plug-in decodes it. The engine is destroyed with
    // the camera still open and encoding.
    Picture got = Capture(CameraId(0), 1280, 720, 30, 15);
    ASSERT_EQ(1280, got.width);
    ASSERT_EQ(720, got.height);
    EXPECT_GT(Psnr(Scaled(s_ref, 1280, 720).y, got.y), 24);
}

TEST_F(EngineCameraTest, BottomUpRgbCameraArrivesUpright) {
    Picture got = Capture(CameraId(1), 320, 240, 15, 10);
    ASSERT_EQ(320, got.width);
    ASSERT_EQ(240, got.height);
    const Picture expected = Scaled(s_ref, 320, 240);
    EXPECT_GT(Psnr(expected.y, got.y), 24);
    EXPECT_EQ(0, m_engine->CloseCamera(CameraId(1).c_str()));
}

TEST_F(EngineCameraTest, OtherAspectRatioGetsBlackBars) {
    // A 4:3 camera in a 16:9 frame: 480x360 in the middle, black columns either side.
    Picture got = Capture(CameraId(0), 640, 360, 15, 10);
    ASSERT_EQ(640, got.width);
    ASSERT_EQ(360, got.height);
    for (int y = 0; y < 360; y += 10) {
        EXPECT_NEAR(got.y[y * 640 + 20], 16, 4) << y;
        EXPECT_NEAR(got.y[y * 640 + 620], 16, 4) << y;
    }
    Picture middle;
    middle.width = 480;
    middle.height = 360;
    for (int y = 0; y < 360; ++y)
        middle.y.insert(middle.y.end(), got.y.begin() + y * 640 + 80, got.y.begin() + y * 640 + 560);
    EXPECT_GT(Psnr(Scaled(s_ref, 480, 360).y, middle.y), 24);
    EXPECT_EQ(0, m_engine->CloseCamera(CameraId(0).c_str()));
}

TEST_F(EngineCameraTest, RefusesBadRequests) {
    const std::string id = CameraId(0);
    EXPECT_EQ(-1, m_engine->OpenCamera(nullptr, 640, 480, 15));
    EXPECT_EQ(-1, m_engine->OpenCamera("", 640, 480, 15));
    EXPECT_EQ(-1, m_engine->OpenCamera("pattern:9:none", 640, 480, 15));
    // A prefix of a camera's id is not that camera.
    EXPECT_EQ(-1, m_engine->OpenCamera(id.substr(0, id.size() - 1).c_str(), 640, 480, 15));
    EXPECT_EQ(-1, m_engine->OpenCamera(id.c_str(), 8, 8, 15));
    EXPECT_EQ(-1, m_engine->OpenCamera(id.c_str(), 640, 480, 0));
    EXPECT_EQ(-1, m_engine->OpenCamera(id.c_str(), 640, 480, 61));
    EXPECT_EQ(-1, m_engine->OpenCamera(id.c_str(), 8192, 480, 15));
    EXPECT_EQ(-1, m_engine->CloseCamera(id.c_str()));
    EXPECT_EQ(-1, m_engine->CloseCamera(nullptr));
    EXPECT_EQ(-1, m_engine->AddVideoWindow(id.c_str(), 0));
}
