// The audio slots when no sound server answers: empty lists, failing device calls, and a mixer
// that still encodes silence in real time.
#include "aac_check.h"

#include "common/slogger.h"
#include "mediatap/IMediaTap.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace audiotest {
namespace {

const char* kMix = "#soundcard#mix#mic";

class NoServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A server address where nothing listens (this process talks to no other server).
        setenv("PULSE_SERVER", ("unix:" + m_dir.file("nothing-here")).c_str(), 1);
        setenv("XDG_RUNTIME_DIR", m_dir.path().c_str(), 1);  // nothing of the client's outside it
        setenv("HOME", m_dir.path().c_str(), 1);
        m_engine = CreateMediaTap(&m_sink, 0);
        ASSERT_NE(m_engine, nullptr);
    }
    void TearDown() override {
        if (m_engine) {
            m_engine->StopEncodeMixer(kMix);
            DestoryMediaTap(m_engine);
        }
    }
    testsupport::TempDir m_dir{"noserver"};
    RecordingAudioSink m_sink;
    IMediaTap* m_engine = nullptr;
};

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST_F(NoServerTest, DeviceCallsFailByTheirResults) {
    auto* log = Orvane::Common::slogger::Inst();
    ASSERT_NE(log, nullptr);
    log->InitLogInfoPath(m_dir.file("log"));
    log->m_bLogEnabled = true;
    char name[128], uniName[128];
    EXPECT_EQ(m_engine->GetMicphoneCount(), 0);
    EXPECT_EQ(m_engine->GetSpeakerCount(), 0);
    EXPECT_EQ(m_engine->GetMicphoneNames(0, name, uniName), -1);
    EXPECT_EQ(m_engine->GetSpeakerNames(0, name, uniName), -1);
    EXPECT_EQ(m_engine->OpenMic(""), -1);
    EXPECT_EQ(m_engine->OpenSpeaker(""), -1);
    EXPECT_EQ(m_engine->SetMicVolume(50), -1);
    EXPECT_EQ(m_engine->GetMicVolume(), -1);
    EXPECT_EQ(m_engine->SetSpeakerVolume(50), -1);
    EXPECT_EQ(m_engine->GetSpeakerVolume(), -1);
    bool mute = true;
    EXPECT_EQ(m_engine->SetMuteStatus(true), -1);
    EXPECT_EQ(m_engine->GetMuteStatus(&mute), -1);
    EXPECT_EQ(m_engine->StartTestMic(""), -1);
    EXPECT_EQ(m_engine->GetTestMicLevel(), 0);
    EXPECT_EQ(m_engine->StartTestSpeaker("", "/nonexistent.wav"), -1);
    EXPECT_EQ(m_engine->GetTestSpkLevel(), 0);
    EXPECT_EQ(m_engine->SetAgcStatus(true), 0);
    EXPECT_EQ(m_engine->CloseMic(), 0);

    // One line says why, however many calls failed.
    log->m_bLogEnabled = false;
    const std::string text = testsupport::ReadFile(log->GetLogFile());
    EXPECT_EQ(Count(text, "sound server: cannot connect"), 1u) << text;
    Orvane::Common::slogger::Release();
}

TEST_F(NoServerTest, MixerEncodesSilenceInRealTime) {
    ASSERT_EQ(m_engine->StartEncodeMixer(kMix, 96, 16000, 1), 0);
    ASSERT_TRUE(testsupport::WaitUntil([this] { return m_sink.FrameCount() > 0; }, 10000));
    // Runs until a frame arrives at or after the end of the window counted below (4 s after the
    // first), so that the window is complete.
    testsupport::WaitUntil(
        [this] {
            std::vector<MixerFrame> f = m_sink.TimedFrames();
            return f.back().at >= f.front().at + std::chrono::milliseconds(4000);
        },
        10000);
    ASSERT_EQ(m_engine->StopEncodeMixer(kMix), 0);

    // 1024 samples a frame at 16 kHz: 15.625 frames a second, 47 in 3 s.
    std::vector<MixerFrame> frames = m_sink.TimedFrames();
    ASSERT_GT(frames.size(), 40u);
    const auto from = frames.front().at + std::chrono::milliseconds(1000);
    const auto to = from + std::chrono::milliseconds(3000);
    int inWindow = 0;
    for (const MixerFrame& f : frames)
        if (f.at >= from && f.at < to) ++inWindow;
    EXPECT_NEAR(inWindow, 47, 1);

    Decoded decoded = DecodeAac(m_sink.Header(), m_sink.Frames());
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.rate, 16000);
    EXPECT_EQ(decoded.channels, 1);
    EXPECT_EQ(decoded.frames, static_cast<int>(frames.size()));
    EXPECT_LT(Rms(decoded.samples), 1e-4);
}

}  // namespace
}  // namespace audiotest
