// Publishing end to end: sources of the real capture engine (a pattern camera through the
// camera plug-in, the desktop of an Xvfb display with the sound mixer) go through the endpoint
// and the RTMP library to an nginx server, and ffprobe reads what the server recorded.
#include "IStreamCore.h"
#include "support/ffprobe.h"
#include "support/peers.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

class ResultSink : public StreamCoreSink {
public:
    void OnStreamCoreEvent(int, int) override {}
    void OnPublishResult(int value, const char* name) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_results.push_back(std::to_string(value) + ":" + (name ? name : ""));
    }
    void OnPlayResult(int, const char*) override {}
    bool Has(const std::string& result) {
        std::lock_guard<std::mutex> lock(m_lock);
        for (const auto& r : m_results)
            if (r == result) return true;
        return false;
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_results;
};

// codec,width,height lines of every stream of a recording, and its video frame count.
std::string Streams(const std::string& file) {
    return RunCapture({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name,width,height,sample_rate,channels",
                       "-of", "csv=p=0", file});
}
int VideoFrames(const std::string& file) {
    const std::string out = RunCapture({"ffprobe", "-v", "error", "-select_streams", "v:0", "-count_frames",
                                        "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", file});
    return std::atoi(out.c_str());
}

class PublishE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir("e2e");
        s_x = new XvfbDisplay;
        s_xUp = s_x->Start(false);
        if (s_xUp) setenv("DISPLAY", s_x->display().c_str(), 1);
        const std::string clip = s_dir->file("testsrc.nut");
        int st = -1;
        RunCapture({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=640x480:rate=30", "-frames:v",
                    "30", "-c:v", "rawvideo", "-pix_fmt", "yuv420p", clip},
                   60000, &st);
        s_clipOk = st == 0;
        setenv("CAMPORT_PATTERN_CAMERAS", (clip + ",YUY2:640x480@30").c_str(), 1);
    }
    static void TearDownTestSuite() {
        unsetenv("CAMPORT_PATTERN_CAMERAS");
        delete s_x;
        delete s_dir;
    }
    void SetUp() override {
        ASSERT_TRUE(s_xUp) << "Xvfb did not start";
        ASSERT_TRUE(s_clipOk) << "ffmpeg could not make the camera clip";
        ASSERT_TRUE(m_server.Start());
        m_core = CreateStreamCore();
        ASSERT_NE(m_core, nullptr);
        m_core->SetSink(&m_sink);
        ASSERT_TRUE(m_core->Initialize(nullptr, nullptr, nullptr, false));
    }
    void TearDown() override {
        if (m_core) {
            m_core->UnInitialize();
            DestroyStreamCore(m_core);
        }
        m_server.Stop();
    }
    // Stops the endpoint and the server so the recording is complete.
    void Stop(const std::string& url) {
        m_core->StopPublish(url.c_str());
        m_core->UnInitialize();
        DestroyStreamCore(m_core);
        m_core = nullptr;
        m_server.Stop();
    }

    static TempDir* s_dir;
    static XvfbDisplay* s_x;
    static bool s_xUp, s_clipOk;
    NginxRtmp m_server;
    ResultSink m_sink;
    IStreamCore* m_core = nullptr;
};
TempDir* PublishE2E::s_dir = nullptr;
XvfbDisplay* PublishE2E::s_x = nullptr;
bool PublishE2E::s_xUp = false;
bool PublishE2E::s_clipOk = false;

}  // namespace

TEST_F(PublishE2E, PatternCameraReachesTheServerAtItsSize) {
    const int count = m_core->GetCameraCount();
    ASSERT_GE(count, 1);
    std::string camera;
    for (int i = 0; i < count && camera.empty(); ++i) {
        char name[128] = {0}, uni[128] = {0};
        ASSERT_TRUE(m_core->GetCameraNames(i, name, uni));
        if (std::strncmp(uni, "pattern:", 8) == 0) camera = uni;
    }
    ASSERT_FALSE(camera.empty());
    ASSERT_TRUE(m_core->OpenCamera(camera.c_str(), nullptr, 640, 480, 15));
    const std::string url = m_server.Url("cam");
    ASSERT_TRUE(m_core->PublishVideoStream(url.c_str(), camera.c_str(), false));
    EXPECT_TRUE(WaitUntil([&] { return m_sink.Has("0:cam"); }, 15000));
    const std::string rec = m_server.Recording("cam");
    // The server's FLV copy is readable while it is written.
    EXPECT_TRUE(WaitUntil([&] { return VideoFrames(rec) > 15; }, 20000));
    Stop(url);

    EXPECT_EQ(Streams(rec), "h264,640,480\n");
    EXPECT_GT(VideoFrames(rec), 15);
    EXPECT_EQ(testsupport::DecodeErrors(rec), "");
}

TEST_F(PublishE2E, DesktopWithTheSoundMixerReachesTheServer) {
    char capture[128] = {0};
    // As the addon passes them: a = bitrate in kbit/s, b = width, c = height, d = frame rate.
    ASSERT_TRUE(m_core->StartCaptureApplication(nullptr, false, nullptr, 800, 640, 360, capture, 15));
    ASSERT_NE(capture[0], '\0');
    const std::string url = m_server.Url("desk");
    ASSERT_TRUE(m_core->PublishMixStream(url.c_str(), capture, "#soundcard#mix#mic", 0));
    EXPECT_TRUE(WaitUntil([&] { return m_sink.Has("0:desk"); }, 15000));
    const std::string rec = m_server.Recording("desk");
    EXPECT_TRUE(WaitUntil([&] { return VideoFrames(rec) > 15 && Streams(rec).find("aac,16000,1") != std::string::npos; },
                          20000));
    EXPECT_TRUE(m_core->StopCaptureApplication(capture));
    m_core->StopEncodeMixer("#soundcard#mix#mic");
    Stop(url);

    const std::string streams = Streams(rec);
    EXPECT_NE(streams.find("h264,640,360"), std::string::npos) << streams;
    EXPECT_NE(streams.find("aac,16000,1"), std::string::npos) << streams;
    EXPECT_GT(VideoFrames(rec), 15);
    EXPECT_EQ(testsupport::DecodeErrors(rec), "");
}
