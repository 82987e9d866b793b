// Lip sync end to end: a test window turns white at the instant a tone reaches the sound card;
// the real engine captures both (the window and the sound mixer) and the endpoint publishes
// them to nginx and records them locally. In every copy the tone must start where the picture
// turns white, within one audio frame: on a plain connect, on a connect in the middle of a
// key-frame interval (the server comes up after the publisher), and after a server restart.
#include "IStreamCore.h"
#include "pulse_server.h"
#include "support/av_marks.h"
#include "support/peers.h"
#include "support/process.h"
#include "support/x11_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>

using namespace testsupport;

namespace {

constexpr double kAudioFrameMs = 1024 * 1000.0 / 16000;  // the mixer's AAC frame
constexpr const char* kMixer = "#soundcard#mix#mic";

class ConnectCounter : public StreamCoreSink {
public:
    void OnStreamCoreEvent(int, int) override {}
    void OnPublishResult(int value, const char*) override {
        std::lock_guard<std::mutex> lock(m_lock);
        if (value == 0) ++m_connects;
    }
    void OnPlayResult(int, const char*) override {}
    int connects() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_connects;
    }

private:
    std::mutex m_lock;
    int m_connects = 0;
};

class LipSyncE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_x = new XvfbDisplay;
        s_xUp = s_x->Start(false);
        if (s_xUp) setenv("DISPLAY", s_x->display().c_str(), 1);
        s_pulse = new audiotest::PulseServer;
        s_pulseUp = s_pulse->Start();
    }
    static void TearDownTestSuite() {
        delete s_pulse;
        delete s_x;
    }
    void SetUp() override {
        ASSERT_TRUE(s_xUp) << "Xvfb did not start";
        ASSERT_TRUE(s_pulseUp) << "pulseaudio did not start";
        m_window.reset(new XWindow(0, 0, 320, 240, 0x000000));
        ASSERT_TRUE(m_window->ok());
        m_window->Fill(0x000000);
        m_core = CreateStreamCore();
        ASSERT_NE(m_core, nullptr);
        m_core->SetSink(&m_sink);
        ASSERT_TRUE(m_core->Initialize(nullptr, nullptr, nullptr, false));
        // As the addon passes them: bitrate, width, height, frame rate.
        ASSERT_TRUE(m_core->StartCaptureApplication(nullptr, false, m_window->handle(), 600, 320, 240, m_capture, 30));
    }
    void TearDown() override {
        if (m_core) {
            m_core->UnInitialize();
            DestroyStreamCore(m_core);
        }
        m_server.Stop();
    }
    // The server's copy starts at the first key frame after a connect: up to the encoder's
    // key-frame interval (two seconds) later.
    void WaitForPicture() { std::this_thread::sleep_for(std::chrono::milliseconds(2200)); }
    // Flashes a second apart: the window turns white when a tone reaches the sound card (the
    // tone_cue program plays it), and black again.
    void Flash(int count) {
        std::vector<std::string> argv = {TONE_CUE_PATH, "card", "150"};
        std::vector<int64_t> atUs;
        for (int i = 0; i < count; ++i) {
            atUs.push_back(MonotonicNowUs() + 700000 + i * 1000000LL);
            argv.push_back(std::to_string(atUs.back()));
        }
        ChildProcess cue;
        std::map<std::string, std::string> env = s_pulse->env();
        // The helper is not under test: in a ThreadSanitizer build it would report libpulse's
        // own threads, whose shared-memory hand-over the sanitizer cannot see.
        env["TSAN_OPTIONS"] = "report_bugs=0";
        ASSERT_TRUE(cue.Start(argv, "", env));
        for (int64_t at : atUs) {
            std::this_thread::sleep_for(std::chrono::microseconds(at - MonotonicNowUs()));
            m_window->Fill(0xFFFFFF);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            m_window->Fill(0x000000);
        }
        EXPECT_EQ(cue.Wait(5000), 0) << "tone_cue failed";
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
    }
    void Stop() {
        m_core->StopEncodeMixer(kMixer);
        m_core->UnInitialize();
        DestroyStreamCore(m_core);
        m_core = nullptr;
    }
    // Every flash of the copy has its tone within one audio frame.
    static void ExpectInSync(const std::string& file, size_t flashes) {
        const AvMarks marks = FindAvMarks(file);
        ASSERT_EQ(marks.error, "");
        std::string seen;
        for (double t : marks.flashesMs) seen += " flash " + std::to_string(t);
        for (double t : marks.onsetsMs) seen += " tone " + std::to_string(t);
        EXPECT_EQ(marks.flashesMs.size(), flashes) << file << ":" << seen;
        const std::vector<double> offsets = AvOffsets(marks);
        EXPECT_EQ(offsets.size(), marks.flashesMs.size()) << file << ": flashes without a tone";
        for (double offset : offsets) EXPECT_LE(std::abs(offset), kAudioFrameMs) << file << ": tone minus flash";
    }

    static XvfbDisplay* s_x;
    static audiotest::PulseServer* s_pulse;
    static bool s_xUp, s_pulseUp;
    std::unique_ptr<XWindow> m_window;
    NginxRtmp m_server;
    TempDir m_dir{"lipsync"};
    ConnectCounter m_sink;
    IStreamCore* m_core = nullptr;
    char m_capture[128] = {0};
};
XvfbDisplay* LipSyncE2E::s_x = nullptr;
audiotest::PulseServer* LipSyncE2E::s_pulse = nullptr;
bool LipSyncE2E::s_xUp = false;
bool LipSyncE2E::s_pulseUp = false;

}  // namespace

TEST_F(LipSyncE2E, ServerCopyAndRecordingKeepToneAndPictureTogether) {
    ASSERT_TRUE(m_server.Start());
    const std::string url = m_server.Url("sync");
    ASSERT_TRUE(m_core->PublishMixStream(url.c_str(), m_capture, kMixer, 0));
    const std::string file = m_dir.file("local.mp4");
    const int record = m_core->StartRecord(file.c_str(), m_capture, kMixer, true);
    ASSERT_GT(record, 0);
    ASSERT_TRUE(WaitUntil([&] { return m_sink.connects() == 1; }, 15000));
    WaitForPicture();
    Flash(3);
    EXPECT_TRUE(m_core->StopRecord(record));
    Stop();
    m_server.Stop();
    ExpectInSync(m_server.Recording("sync"), 3);
    ExpectInSync(file, 3);
}

TEST_F(LipSyncE2E, ConnectInsideAKeyFrameIntervalAndServerRestartKeepThemTogether) {
    // The server comes up while the publisher is retrying: it connects wherever the encoder
    // is in its key-frame interval, and nobody asks for a key frame.
    const std::string url = m_server.Url("sync");
    ASSERT_TRUE(m_core->PublishMixStream(url.c_str(), m_capture, kMixer, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    ASSERT_TRUE(m_server.Start());
    ASSERT_TRUE(WaitUntil([&] { return m_sink.connects() == 1; }, 15000));
    WaitForPicture();
    Flash(2);
    m_server.Stop();
    const std::string first = m_dir.file("first.flv");
    ASSERT_EQ(std::rename(m_server.Recording("sync").c_str(), first.c_str()), 0);
    ASSERT_TRUE(m_server.Start());
    ASSERT_TRUE(WaitUntil([&] { return m_sink.connects() == 2; }, 15000));
    WaitForPicture();
    Flash(2);
    Stop();
    m_server.Stop();
    ExpectInSync(first, 2);
    ExpectInSync(m_server.Recording("sync"), 2);
}
