// The audio slots of the engine against a real pulseaudio server (see pulse_server.h).
#include "aac_check.h"
#include "pulse_server.h"

#include "mediatap/IMediaTap.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

namespace audiotest {
namespace {

using testsupport::ChildProcess;
using testsupport::WaitUntil;

const char* kMix = "#soundcard#mix#mic";

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class PulseAudioTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_server = new PulseServer();
        ASSERT_TRUE(s_server->Start()) << "pulseaudio did not start";
        // A 1 kHz tone at half of full scale, 30 s long, for the sound card.
        int status = -1;
        testsupport::RunCapture({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                                 "aevalsrc=0.5*sin(2*PI*1000*t):s=48000:d=30", "-c:a", "pcm_s16le",
                                 s_server->file("tone1k.wav")},
                                60000, &status);
        ASSERT_EQ(status, 0) << "ffmpeg could not make the test tone";
    }
    static void TearDownTestSuite() {
        delete s_server;
        s_server = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(s_server, nullptr);
        m_engine = CreateMediaTap(&m_sink, 0);
        ASSERT_NE(m_engine, nullptr);
    }
    void TearDown() override {
        if (m_engine) {
            m_engine->StopEncodeMixer(kMix);
            m_engine->StopTestMic();
            m_engine->StopTestSpeaker();
            DestoryMediaTap(m_engine);
        }
        // Leave the server as the next test expects it.
        s_server->Pactl({"set-source-mute", "mic", "0"});
        s_server->Pactl({"set-source-volume", "mic", "100%"});
        s_server->Pactl({"set-sink-volume", "card", "100%"});
    }

    // Plays the 1 kHz tone into the sound card until the child is stopped. With paplay's
    // default 2 s buffer the null sink renders in large blocks and its monitor hands a new
    // reader its first data about 1.6 s late; a short buffer keeps that to a fraction.
    void PlayTone(ChildProcess* player) {
        ASSERT_TRUE(s_server->Spawn(player, {"paplay", "--latency-msec=50", "-d", "card", s_server->file("tone1k.wav")}));
    }

    // Runs the mixer for about `ms` after its first frame and decodes what it produced.
    Decoded MixFor(int ms) {
        EXPECT_EQ(m_engine->StartEncodeMixer(kMix, 96, 16000, 1), 0);
        EXPECT_TRUE(WaitUntil([this] { return m_sink.FrameCount() > 0; }, 10000));
        Sleep(ms);
        EXPECT_EQ(m_engine->StopEncodeMixer(kMix), 0);
        EXPECT_EQ(m_sink.HeaderCount(), 1);
        EXPECT_FALSE(m_sink.FramesBeforeHeader());
        return DecodeAac(m_sink.Header(), m_sink.Frames());
    }

    static PulseServer* s_server;
    RecordingAudioSink m_sink;
    IMediaTap* m_engine = nullptr;
};

PulseServer* PulseAudioTest::s_server = nullptr;

TEST_F(PulseAudioTest, ListsMicrophonesWithoutMonitorsAndSpeakers) {
    ASSERT_EQ(m_engine->GetMicphoneCount(), 2);
    char name[128], uniName[128];
    std::vector<std::string> mics, micNames;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(m_engine->GetMicphoneNames(i, name, uniName), 0);
        mics.push_back(uniName);
        micNames.push_back(name);
    }
    EXPECT_EQ(mics, (std::vector<std::string>{"mic", "mic2"}));
    EXPECT_EQ(micNames[1], "SecondMic");
    EXPECT_EQ(m_engine->GetMicphoneNames(2, name, uniName), -1);
    EXPECT_EQ(m_engine->GetMicphoneNames(-1, name, uniName), -1);
    EXPECT_EQ(m_engine->GetMicphoneNames(0, nullptr, uniName), -1);

    ASSERT_EQ(m_engine->GetSpeakerCount(), 3);
    std::vector<std::string> sinks;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(m_engine->GetSpeakerNames(i, name, uniName), 0);
        sinks.push_back(uniName);
        if (sinks.back() == "card") {
            EXPECT_STREQ(name, "SoundCard");
        }
    }
    EXPECT_EQ(sinks, (std::vector<std::string>{"card", "drain", "micsink"}));
}

TEST_F(PulseAudioTest, LongDeviceNamesStayInsideTheCallersBuffers) {
    // A description of 200 bytes, with a two-byte character across the 127-byte cut.
    std::string description = std::string(126, 'x') + "\xc3\xa9" + std::string(72, 'y');
    int status = -1;
    std::string module = s_server->Pactl({"load-module", "module-null-sink", "sink_name=longname",
                                          "sink_properties=device.description=" + description},
                                         &status);
    ASSERT_EQ(status, 0);
    char buffers[3][128];
    std::memset(buffers, 0x55, sizeof buffers);
    bool found = false;
    for (int i = 0; i < m_engine->GetSpeakerCount(); ++i) {
        ASSERT_EQ(m_engine->GetSpeakerNames(i, buffers[0], buffers[1]), 0);
        if (std::string(buffers[1]) != "longname") continue;
        found = true;
        EXPECT_EQ(std::string(buffers[0]), std::string(126, 'x'));  // cut before the character
    }
    EXPECT_TRUE(found);
    for (int i = 0; i < 128; ++i) EXPECT_EQ(static_cast<unsigned char>(buffers[2][i]), 0x55);
    s_server->Pactl({"unload-module", module.substr(0, module.find('\n'))});
}

TEST_F(PulseAudioTest, VolumeAndMuteShowInTheServerAndBack) {
    ASSERT_EQ(m_engine->OpenMic("mic"), 0);
    EXPECT_EQ(m_engine->SetMicVolume(40), 0);
    EXPECT_NE(s_server->Pactl({"get-source-volume", "mic"}).find("40%"), std::string::npos);
    s_server->Pactl({"set-source-volume", "mic", "70%"});
    EXPECT_EQ(m_engine->GetMicVolume(), 70);
    EXPECT_EQ(m_engine->SetMicVolume(101), -1);
    EXPECT_EQ(m_engine->SetMicVolume(-1), -1);

    EXPECT_EQ(m_engine->SetMuteStatus(true), 0);
    EXPECT_NE(s_server->Pactl({"get-source-mute", "mic"}).find("yes"), std::string::npos);
    bool mute = false;
    ASSERT_EQ(m_engine->GetMuteStatus(&mute), 0);
    EXPECT_TRUE(mute);
    s_server->Pactl({"set-source-mute", "mic", "0"});
    ASSERT_EQ(m_engine->GetMuteStatus(&mute), 0);
    EXPECT_FALSE(mute);
    EXPECT_EQ(m_engine->GetMuteStatus(nullptr), -1);

    // The second microphone is set on its own once it is the open one.
    ASSERT_EQ(m_engine->OpenMic("mic2"), 0);
    EXPECT_EQ(m_engine->SetMicVolume(25), 0);
    EXPECT_NE(s_server->Pactl({"get-source-volume", "mic2"}).find("25%"), std::string::npos);
    EXPECT_NE(s_server->Pactl({"get-source-volume", "mic"}).find("70%"), std::string::npos);
    s_server->Pactl({"set-source-volume", "mic2", "100%"});

    ASSERT_EQ(m_engine->OpenSpeaker(""), 0);  // the default sink, "card"
    EXPECT_EQ(m_engine->SetSpeakerVolume(55), 0);
    EXPECT_NE(s_server->Pactl({"get-sink-volume", "card"}).find("55%"), std::string::npos);
    s_server->Pactl({"set-sink-volume", "card", "30%"});
    EXPECT_EQ(m_engine->GetSpeakerVolume(), 30);

    EXPECT_EQ(m_engine->OpenMic("nosuchmic"), -1);
    EXPECT_EQ(m_engine->OpenMic("card.monitor"), -1);  // monitors are no microphones
    EXPECT_EQ(m_engine->OpenSpeaker("nosuchsink"), -1);
    EXPECT_EQ(m_engine->CloseMic(), 0);
}

TEST_F(PulseAudioTest, MixerCarriesTheSoundCardTone) {
    ChildProcess player;
    PlayTone(&player);
    Sleep(300);
    Decoded decoded = MixFor(4000);
    player.Stop();
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.rate, 16000);
    EXPECT_EQ(decoded.channels, 1);
    EXPECT_EQ(m_sink.LastName(), kMix);
    ASSERT_LE(m_sink.Header().size(), 11u);
    // The last 1.5 s: a fresh null sink's monitor may start late (see PlayTone).
    ASSERT_GT(decoded.samples.size(), 48000u);
    const size_t from = decoded.samples.size() - 24000;
    EXPECT_NEAR(ZeroCrossingHz(decoded.samples, 16000, from), 1000.0, 20.0);
    // Half of full scale in, half of full scale out (within 1.5 dB).
    const double amplitude = ToneAmplitude(decoded.samples, 16000, 1000.0, from);
    EXPECT_GT(amplitude, 0.5 * 0.84);
    EXPECT_LT(amplitude, 0.5 * 1.19);
    EXPECT_LT(ToneAmplitude(decoded.samples, 16000, 440.0, from), 0.01);  // no microphone open
}

TEST_F(PulseAudioTest, MixerMixesInTheOpenMicrophone) {
    ASSERT_EQ(m_engine->OpenMic("mic"), 0);
    ChildProcess player;
    PlayTone(&player);
    Sleep(300);
    Decoded decoded = MixFor(4000);
    player.Stop();
    ASSERT_TRUE(decoded.ok) << decoded.error;
    ASSERT_GT(decoded.samples.size(), 48000u);
    const size_t from = decoded.samples.size() - 24000;
    EXPECT_GT(ToneAmplitude(decoded.samples, 16000, 1000.0, from), 0.3);
    EXPECT_GT(ToneAmplitude(decoded.samples, 16000, 440.0, from), 0.05);

    // Closing the microphone while the mixer runs takes its tone out.
    m_sink.Clear();
    ASSERT_EQ(m_engine->CloseMic(), 0);
    Decoded later = MixFor(2000);
    ASSERT_TRUE(later.ok);
    ASSERT_GT(later.samples.size(), 8000u);
    EXPECT_LT(ToneAmplitude(later.samples, 16000, 440.0, 8000), 0.01);
}

TEST_F(PulseAudioTest, MixerStartRulesAndHeaderRepeat) {
    EXPECT_EQ(m_engine->StartEncodeMixer(kMix, 96, 15000, 1), -1);  // no AAC rate
    EXPECT_EQ(m_engine->StartEncodeMixer(kMix, 96, 16000, 3), -1);
    EXPECT_EQ(m_engine->StartEncodeMixer(kMix, 0, 16000, 1), -1);
    EXPECT_EQ(m_engine->StartEncodeMixer(nullptr, 96, 16000, 1), -1);
    EXPECT_EQ(m_engine->StopEncodeMixer(kMix), -1);  // not running
    ASSERT_EQ(m_engine->StartEncodeMixer(kMix, 96, 16000, 1), 0);
    ASSERT_TRUE(WaitUntil([this] { return m_sink.HeaderCount() == 1; }, 5000));
    EXPECT_EQ(m_sink.Header(), (std::vector<uint8_t>{0x14, 0x08}));  // AAC-LC, 16 kHz, mono
    EXPECT_EQ(m_engine->StartEncodeMixer("#other", 96, 16000, 1), -1);
    EXPECT_EQ(m_engine->StartEncodeMixer(kMix, 96, 16000, 1), 0);  // same: header again
    EXPECT_TRUE(WaitUntil([this] { return m_sink.HeaderCount() == 2; }, 5000));
    // Other settings: the mixer starts over with them and says so in a new header.
    EXPECT_EQ(m_engine->StartEncodeMixer(kMix, 64, 48000, 2), 0);
    EXPECT_TRUE(WaitUntil([this] { return m_sink.HeaderCount() == 3; }, 5000));
    EXPECT_EQ(m_sink.Header(), (std::vector<uint8_t>{0x11, 0x90}));  // 48 kHz, stereo
    EXPECT_EQ(m_engine->StopEncodeMixer("#other"), -1);
    EXPECT_EQ(m_engine->StopEncodeMixer(kMix), 0);
}

TEST_F(PulseAudioTest, MicrophoneTestLevelFollowsTheToneAndMute) {
    EXPECT_EQ(m_engine->GetTestMicLevel(), 0);
    ASSERT_EQ(m_engine->StartTestMic("mic"), 0);
    EXPECT_TRUE(WaitUntil([this] { return m_engine->GetTestMicLevel() > 20; }, 5000))
        << "level " << m_engine->GetTestMicLevel();
    ASSERT_EQ(m_engine->OpenMic("mic"), 0);
    ASSERT_EQ(m_engine->SetMuteStatus(true), 0);
    EXPECT_TRUE(WaitUntil([this] { return m_engine->GetTestMicLevel() <= 1; }, 5000))
        << "level " << m_engine->GetTestMicLevel();
    ASSERT_EQ(m_engine->SetMuteStatus(false), 0);
    EXPECT_TRUE(WaitUntil([this] { return m_engine->GetTestMicLevel() > 20; }, 5000));
    EXPECT_EQ(m_engine->StopTestMic(), 0);
    EXPECT_EQ(m_engine->GetTestMicLevel(), 0);
    EXPECT_EQ(m_engine->StartTestMic("nosuchmic"), -1);
}

TEST_F(PulseAudioTest, SpeakerTestPlaysAWavFile) {
    ASSERT_EQ(m_engine->StartTestSpeaker("card", s_server->file("tone1k.wav").c_str()), 0);
    EXPECT_TRUE(WaitUntil([this] { return m_engine->GetTestSpkLevel() > 0; }, 5000));
    EXPECT_NEAR(m_engine->GetTestSpkLevel(), 50, 3);
    // The tone reaches the sound card: the mic test on its monitor hears it... through the
    // monitor, which is no microphone; so look at the server's sink inputs instead.
    EXPECT_NE(s_server->Pactl({"list", "short", "sink-inputs"}).find("protocol-native"), std::string::npos);
    EXPECT_EQ(m_engine->StopTestSpeaker(), 0);
    EXPECT_EQ(m_engine->GetTestSpkLevel(), 0);

    EXPECT_EQ(m_engine->StartTestSpeaker("", s_server->file("missing.wav").c_str()), -1);
    {
        std::FILE* f = std::fopen(s_server->file("garbage.wav").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        for (int i = 0; i < 4096; ++i) std::fputc((i * 7919) & 0xff, f);
        std::fclose(f);
    }
    EXPECT_EQ(m_engine->StartTestSpeaker("", s_server->file("garbage.wav").c_str()), -1);
    EXPECT_EQ(m_engine->StartTestSpeaker("", nullptr), -1);
    EXPECT_EQ(m_engine->StartTestSpeaker("nosuchsink", s_server->file("tone1k.wav").c_str()), -1);
}

TEST_F(PulseAudioTest, NoSinkCallAfterStopEncodeMixer) {
    ASSERT_EQ(m_engine->OpenMic(""), 0);
    ASSERT_EQ(m_engine->StartEncodeMixer(kMix, 96, 16000, 1), 0);
    ASSERT_EQ(m_engine->StartTestMic(""), 0);
    ASSERT_EQ(m_engine->StartTestSpeaker("", s_server->file("tone1k.wav").c_str()), 0);
    ASSERT_TRUE(WaitUntil([this] { return m_sink.FrameCount() > 3; }, 5000));
    ASSERT_EQ(m_engine->StopEncodeMixer(kMix), 0);
    const size_t frames = m_sink.FrameCount();
    Sleep(300);
    EXPECT_EQ(m_sink.FrameCount(), frames);
}

}  // namespace
}  // namespace audiotest
