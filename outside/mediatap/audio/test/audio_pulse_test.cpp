// The audio slots of the engine against a real pulseaudio server (see pulse_server.h).
#include "aac_check.h"
#include "pulse_server.h"

#include "common/slogger.h"
#include "mediatap/IMediaTap.h"
#include "support/media_split.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <future>
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

    // Decodes what the running mixer produced so far until the last second of it satisfies
    // `good` (a loaded machine, or a monitor that starts late, can take a while).
    bool WaitForMix(const std::function<bool(const Decoded&, size_t from)>& good, Decoded* out) {
        return WaitUntil(
            [&] {
                *out = DecodeAac(m_sink.Header(), m_sink.Frames());
                return out->ok && out->samples.size() > 16000 && good(*out, out->samples.size() - 16000);
            },
            15000);
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
    ASSERT_EQ(m_engine->StartEncodeMixer(kMix, 96, 16000, 1), 0);
    Decoded decoded;
    // Half of full scale in, half of full scale out (within 1.5 dB).
    const bool toneSeen = WaitForMix(
        [](const Decoded& d, size_t from) {
            return ToneAmplitude(d.samples, 16000, 1000.0, from) > 0.5 * 0.84 &&
                   std::fabs(ZeroCrossingHz(d.samples, 16000, from) - 1000.0) < 20.0;
        },
        &decoded);
    EXPECT_EQ(m_engine->StopEncodeMixer(kMix), 0);
    player.Stop();
    ASSERT_TRUE(toneSeen) << "1 kHz at " << ToneAmplitude(decoded.samples, 16000, 1000.0, 0);
    EXPECT_EQ(m_sink.HeaderCount(), 1);
    EXPECT_FALSE(m_sink.FramesBeforeHeader());
    EXPECT_EQ(decoded.rate, 16000);
    EXPECT_EQ(decoded.channels, 1);
    EXPECT_EQ(m_sink.LastName(), kMix);
    ASSERT_LE(m_sink.Header().size(), 11u);
    const size_t from = decoded.samples.size() - 16000;
    EXPECT_NEAR(ZeroCrossingHz(decoded.samples, 16000, from), 1000.0, 20.0);
    EXPECT_LT(ToneAmplitude(decoded.samples, 16000, 1000.0, from), 0.5 * 1.19);
    EXPECT_LT(ToneAmplitude(decoded.samples, 16000, 440.0, from), 0.01);  // no microphone open
}

TEST_F(PulseAudioTest, MixerMixesInTheOpenMicrophone) {
    ASSERT_EQ(m_engine->OpenMic("mic"), 0);
    ChildProcess player;
    PlayTone(&player);
    ASSERT_EQ(m_engine->StartEncodeMixer(kMix, 96, 16000, 1), 0);
    Decoded decoded;
    EXPECT_TRUE(WaitForMix(
        [](const Decoded& d, size_t from) {
            return ToneAmplitude(d.samples, 16000, 1000.0, from) > 0.2 &&
                   ToneAmplitude(d.samples, 16000, 440.0, from) > 0.05;
        },
        &decoded))
        << "1 kHz at " << ToneAmplitude(decoded.samples, 16000, 1000.0, 0) << ", 440 Hz at "
        << ToneAmplitude(decoded.samples, 16000, 440.0, 0);

    // Closing the microphone while the mixer runs takes its tone out.
    ASSERT_EQ(m_engine->CloseMic(), 0);
    m_sink.Clear();
    m_engine->StartEncodeMixer(kMix, 96, 16000, 1);  // the header again, for decoding from here
    EXPECT_TRUE(WaitForMix(
        [](const Decoded& d, size_t from) { return ToneAmplitude(d.samples, 16000, 440.0, from) < 0.01; },
        &decoded));
    EXPECT_EQ(m_engine->StopEncodeMixer(kMix), 0);
    player.Stop();
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

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Runs fn on a thread of its own while the server is frozen; false when fn has not returned
// within timeoutMs (the server is then let go on, so that it can).
bool ReturnsWhileFrozen(PulseServer* server, const std::function<void()>& fn, int timeoutMs) {
    std::packaged_task<void()> task(fn);
    std::future<void> done = task.get_future();
    std::thread thread(std::move(task));
    const bool returned = done.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
    if (!returned) server->Thaw();
    thread.join();
    return returned;
}

TEST_F(PulseAudioTest, AFrozenServerCostsOneBoundedWaitAndTheMixerKeepsTime) {
    // A server of its own: one that was stopped for seconds renders its null sinks in bursts
    // for a while after, which the other tests' measurements would hear.
    PulseServer server;
    ASSERT_TRUE(server.Start());  // the engine connects to it at its first audio call
    auto* log = Orvane::Common::slogger::Inst();
    ASSERT_NE(log, nullptr);
    log->InitLogInfoPath(server.file("log"));
    log->m_bLogEnabled = true;
    struct AtEnd {
        PulseServer* server;
        ~AtEnd() {
            server->Thaw();
            Orvane::Common::slogger::Release();
            for (const auto& kv : s_server->env()) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        }
    } atEnd{&server};

    ASSERT_EQ(m_engine->GetMicphoneCount(), 2);  // connected before the server stops
    ChildProcess player;
    ASSERT_TRUE(server.Spawn(&player, {"paplay", "--latency-msec=50", "-d", "card", s_server->file("tone1k.wav")}));
    server.Freeze();
    // The mixer starts beside calls that find no server: the first request waits out its bound,
    // the rest answer at once.
    EXPECT_TRUE(ReturnsWhileFrozen(
        &server,
        [this] {
            EXPECT_EQ(m_engine->StartEncodeMixer(kMix, 96, 16000, 1), 0);
            char name[128], uniName[128];
            bool mute = false;
            EXPECT_EQ(m_engine->GetMicphoneCount(), 0);
            EXPECT_EQ(m_engine->GetMicphoneNames(0, name, uniName), -1);
            EXPECT_EQ(m_engine->GetSpeakerCount(), 0);
            EXPECT_EQ(m_engine->SetSpeakerVolume(50), -1);
            EXPECT_EQ(m_engine->GetMicVolume(), -1);
            EXPECT_EQ(m_engine->GetMuteStatus(&mute), -1);
        },
        8000))
        << "device calls hung on the stopped server";
    // Meanwhile the mixer keeps its clock with silence: 1024 samples at 16 kHz are 15.625
    // frames a second, 31 in the 2 s around the mixer's own first request.
    ASSERT_TRUE(WaitUntil(
        [this] {
            const std::vector<MixerFrame> f = m_sink.TimedFrames();
            return !f.empty() && f.back().at - f.front().at >= std::chrono::milliseconds(2600);
        },
        8000))
        << "no frames while the server is stopped";
    const std::vector<MixerFrame> frozen = m_sink.TimedFrames();
    server.Thaw();
    const auto from = frozen.front().at + std::chrono::milliseconds(500);
    const auto to = from + std::chrono::milliseconds(2000);
    EXPECT_NEAR(std::count_if(frozen.begin(), frozen.end(),
                              [&](const MixerFrame& f) { return f.at >= from && f.at < to; }),
                31, 2);
    std::vector<std::vector<uint8_t>> frozenFrames;
    for (const MixerFrame& f : frozen) frozenFrames.push_back(f.data);
    const Decoded silence = DecodeAac(m_sink.Header(), frozenFrames);
    ASSERT_TRUE(silence.ok) << silence.error;
    EXPECT_LT(Rms(silence.samples), 1e-4);

    // Once the server answers, the sound card's tone is in the mix again and devices are listed.
    Decoded decoded;
    EXPECT_TRUE(WaitForMix(
        [](const Decoded& d, size_t from) { return ToneAmplitude(d.samples, 16000, 1000.0, from) > 0.4; },
        &decoded))
        << "1 kHz at " << ToneAmplitude(decoded.samples, 16000, 1000.0, decoded.samples.size() / 2);
    EXPECT_TRUE(WaitUntil([this] { return m_engine->GetMicphoneCount() == 2; }, 5000));
    log->m_bLogEnabled = false;
    const std::string text = testsupport::ReadFile(log->GetLogFile());
    EXPECT_EQ(Count(text, "sound server: no answer"), 1u) << text;

    // Stopping the mixer and ending the engine do not wait for a stopped server either.
    player.Stop();
    server.Freeze();
    EXPECT_TRUE(ReturnsWhileFrozen(
        &server,
        [this] {
            EXPECT_EQ(m_engine->StopEncodeMixer(kMix), 0);
            DestoryMediaTap(m_engine);
        },
        8000))
        << "the engine hung on the stopped server";
    m_engine = nullptr;
    server.Thaw();
}

// AAC of a 1 kHz tone as the player hands it over: the configuration, then raw frames.
struct RemoteAac {
    std::vector<uint8_t> config;
    std::vector<std::vector<uint8_t>> frames;
};

RemoteAac ToneAac(const std::string& folder) {
    RemoteAac out;
    const std::string file = folder + "/remote1k.aac";
    int status = -1;
    testsupport::RunCapture({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                             "sine=frequency=1000:sample_rate=44100:duration=4", "-c:a", "aac", "-ac", "1", "-f",
                             "adts", file},
                            60000, &status);
    testsupport::SplitAdts(testsupport::ReadFile(file), &out.frames, &out.config);
    return out;
}

std::vector<uint8_t> RemotePacket(uint8_t type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> packet(12, 0);
    packet[0] = 0x80;
    packet.push_back(type);
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

// The loudest quarter second of a 48 kHz mono s16 recording, as floats.
std::vector<float> LoudestPart(const std::string& file) {
    const std::string raw = testsupport::ReadFile(file);
    std::vector<float> all(raw.size() / 2);
    for (size_t i = 0; i < all.size(); ++i) {
        int16_t v;
        std::memcpy(&v, raw.data() + 2 * i, 2);
        all[i] = v / 32768.0f;
    }
    const size_t window = 12000;
    std::vector<float> best;
    double bestRms = -1;
    for (size_t from = 0; from + window <= all.size(); from += window / 2) {
        std::vector<float> part(all.begin() + from, all.begin() + from + window);
        const double rms = Rms(part);
        if (rms > bestRms) {
            bestRms = rms;
            best.swap(part);
        }
    }
    return best;
}

TEST_F(PulseAudioTest, RemoteAudioPlaysToTheOpenSpeaker) {
    const RemoteAac aac = ToneAac(s_server->file(""));
    ASSERT_GT(aac.frames.size(), 150u) << "ffmpeg could not make the AAC tone";
    uint64_t id = 0;
    ASSERT_EQ(m_engine->CreateRemoteAudio(&id), 0);
    const std::vector<uint8_t> config = RemotePacket(0, aac.config);
    ASSERT_EQ(m_engine->PlayRemoteAudioData(id, config.data(), static_cast<int>(config.size())), 0);

    // Plays frames [from, to) in real time (1024 samples at 44.1 kHz each) while parec
    // records the monitors of the given sinks.
    auto recordingStreams = [&] {
        const std::string list = s_server->Pactl({"list", "short", "source-outputs"});
        return static_cast<size_t>(std::count(list.begin(), list.end(), '\n'));
    };
    auto playAndRecord = [&](size_t from, size_t to, const std::vector<std::string>& sinks) {
        std::vector<std::unique_ptr<ChildProcess>> recorders;
        const size_t before = recordingStreams();
        for (const std::string& sink : sinks) {
            recorders.emplace_back(new ChildProcess);
            EXPECT_TRUE(s_server->Spawn(recorders.back().get(),
                                        {"parec", "--raw", "-d", sink + ".monitor", "--format=s16le", "--rate=48000",
                                         "--channels=1", "--latency-msec=20", s_server->file(sink + ".raw")}));
        }
        // Every recorder's stream is connected before the first packet plays.
        EXPECT_TRUE(WaitUntil([&] { return recordingStreams() >= before + sinks.size(); }, 5000));
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = from; i < to; ++i) {
            const std::vector<uint8_t> packet = RemotePacket(1, aac.frames[i]);
            EXPECT_EQ(m_engine->PlayRemoteAudioData(id, packet.data(), static_cast<int>(packet.size())), 0);
            std::this_thread::sleep_until(start + std::chrono::microseconds((i - from + 1) * 1024 * 1000000 / 44100));
        }
        Sleep(300);
        for (auto& recorder : recorders) recorder->Stop();
    };

    // The default speaker first: the sound card.
    playAndRecord(0, 80, {"card"});
    std::vector<float> heard = LoudestPart(s_server->file("card.raw"));
    ASSERT_FALSE(heard.empty());
    // The tone is 1/8 of full scale; a slow machine leaves gaps in the playback, so the bounds
    // are loose (silence measures 0).
    EXPECT_GT(ToneAmplitude(heard, 48000, 1000.0), 0.03) << "1 kHz on the sound card";
    EXPECT_NEAR(ZeroCrossingHz(heard, 48000), 1000.0, 50.0);

    // Another speaker opened: the channel moves over with its next samples.
    ASSERT_EQ(m_engine->OpenSpeaker("micsink"), 0);
    playAndRecord(80, 170, {"micsink", "card"});
    heard = LoudestPart(s_server->file("micsink.raw"));
    ASSERT_FALSE(heard.empty());
    EXPECT_GT(ToneAmplitude(heard, 48000, 1000.0), 0.03) << "1 kHz on the opened speaker";
    EXPECT_NEAR(ZeroCrossingHz(heard, 48000), 1000.0, 50.0);
    const std::vector<float> card = LoudestPart(s_server->file("card.raw"));
    EXPECT_LT(Rms(card), 0.005) << "the sound card still plays";
    EXPECT_EQ(m_engine->CloseRemoteAudio(id), 0);
    EXPECT_EQ(m_engine->OpenSpeaker(""), 0);
}

}  // namespace
}  // namespace audiotest
