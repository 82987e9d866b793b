// The audio half's decisions (levels, automatic gain, capture queue, AAC configuration) and
// the mixer over a sound-server double that generates tones in real time.
#include "aac_check.h"
#include "aac_encoder.h"
#include "audio_dsp.h"
#include "audio_mixer.h"
#include "capture_feed.h"
#include "frame_timeline.h"
#include "sound_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <thread>

namespace audiotest {
namespace {

using namespace mediatap::audio;

std::vector<float> Tone(int rate, int channels, double hz, double amplitude, int frames, int64_t start = 0) {
    std::vector<float> out(static_cast<size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            out[static_cast<size_t>(i) * channels + c] =
                static_cast<float>(amplitude * std::sin(2 * M_PI * hz * static_cast<double>(start + i) / rate));
    return out;
}

// A sound server whose sources are tone generators running on their own threads in 10 ms blocks.
class ToneServer : public ISoundServer {
public:
    struct ToneSource {
        SampleFormat format;
        double hz;
        double amplitude;
    };
    std::map<std::string, ToneSource> sources;
    std::string defaultSink = "card";
    std::atomic<int> opened{0};

    bool Connected() override { return true; }
    std::vector<SoundDevice> Sources() override { return {}; }
    std::vector<SoundDevice> Sinks() override { return {{defaultSink, "Card"}}; }
    std::string DefaultSource() override { return {}; }
    std::string DefaultSink() override { return defaultSink; }
    std::string MonitorOf(const std::string& sink) override { return sink + ".monitor"; }
    bool SetSourceVolume(const std::string&, int) override { return false; }
    bool GetSourceVolume(const std::string&, int*) override { return false; }
    bool SetSinkVolume(const std::string&, int) override { return false; }
    bool GetSinkVolume(const std::string&, int*) override { return false; }
    bool SetSourceMute(const std::string&, bool) override { return false; }
    bool GetSourceMute(const std::string&, bool*) override { return false; }
    std::unique_ptr<IPlaybackStream> OpenPlayback(const std::string&, SampleFormat) override { return nullptr; }

    std::unique_ptr<ICaptureStream> OpenCapture(const std::string& source, SampleFormat* format,
                                                CaptureCallback callback) override {
        auto it = sources.find(source);
        if (it == sources.end()) return nullptr;
        *format = it->second.format;
        ++opened;
        return std::make_unique<Generator>(it->second, std::move(callback));
    }

private:
    class Generator : public ICaptureStream {
    public:
        Generator(ToneSource tone, CaptureCallback callback) {
            m_thread = std::thread([this, tone, callback] {
                const int block = tone.format.rate / 100;
                auto next = std::chrono::steady_clock::now();
                for (int64_t pos = 0; !m_stop; pos += block) {
                    std::vector<float> samples = Tone(tone.format.rate, tone.format.channels, tone.hz,
                                                      tone.amplitude, block, pos);
                    callback(samples.data(), block);
                    next += std::chrono::milliseconds(10);
                    std::this_thread::sleep_until(next);
                }
            });
        }
        ~Generator() override {
            m_stop = true;
            m_thread.join();
        }
        bool Alive() override { return true; }

    private:
        std::atomic<bool> m_stop{false};
        std::thread m_thread;
    };
};

TEST(AudioLevel, PeakToLevelIsLinearAndBounded) {
    EXPECT_EQ(PeakToLevel(0.0f), 0);
    EXPECT_EQ(PeakToLevel(0.5f), 50);
    EXPECT_EQ(PeakToLevel(1.0f), 100);
    EXPECT_EQ(PeakToLevel(3.0f), 100);
    EXPECT_EQ(PeakToLevel(std::nanf("")), 0);
    const float samples[] = {0.1f, -0.7f, 0.3f};
    EXPECT_FLOAT_EQ(PeakOf(samples, 3), 0.7f);
}

TEST(AudioLevel, MixIntoSumsAndLimits) {
    float dst[] = {0.5f, -0.8f, 0.1f};
    const float src[] = {0.7f, -0.7f, 0.1f};
    MixInto(dst, src, 3);
    EXPECT_FLOAT_EQ(dst[0], 1.0f);
    EXPECT_FLOAT_EQ(dst[1], -1.0f);
    EXPECT_FLOAT_EQ(dst[2], 0.2f);
}

// Runs `seconds` of a tone through the gain in 64 ms blocks; the output peak of the last block.
float RunGain(AutoGain& agc, double amplitude, double seconds) {
    const int block = 1024;
    float peak = 0;
    for (int64_t pos = 0; pos < static_cast<int64_t>(seconds * 16000); pos += block) {
        std::vector<float> samples = Tone(16000, 1, 300, amplitude, block, pos);
        agc.Process(samples.data(), samples.size(), 1);
        peak = PeakOf(samples.data(), samples.size());
        EXPECT_LE(peak, 1.0f);
    }
    return peak;
}

TEST(AutoGain, LeadsQuietAndLoudSpeechTowardsTheTarget) {
    AutoGain agc(16000);
    EXPECT_FLOAT_EQ(RunGain(agc, 0.05, 1.0), 0.05f);  // off: unchanged
    agc.SetEnabled(true);
    const float quiet = RunGain(agc, 0.05, 6.0);
    EXPECT_NEAR(quiet, AutoGain::kTarget, 0.08);
    const float loud = RunGain(agc, 0.99, 2.0);
    EXPECT_NEAR(loud, AutoGain::kTarget, 0.08);
    EXPECT_GE(agc.gain(), AutoGain::kMinGain);

    // A very quiet voice gets at most the largest gain.
    AutoGain whisper(16000);
    whisper.SetEnabled(true);
    RunGain(whisper, 0.01, 10.0);
    EXPECT_FLOAT_EQ(whisper.gain(), AutoGain::kMaxGain);
}

TEST(AutoGain, NeverClipsASuddenLoudBlockAndHoldsInSilence) {
    AutoGain agc(16000);
    agc.SetEnabled(true);
    RunGain(agc, 0.05, 6.0);
    const float raised = agc.gain();
    EXPECT_GT(raised, 5.0f);
    RunGain(agc, 0.001, 3.0);  // below the gate: the gain is held
    EXPECT_FLOAT_EQ(agc.gain(), raised);
    std::vector<float> shout = Tone(16000, 1, 300, 0.9, 1024);
    agc.Process(shout.data(), shout.size(), 1);
    EXPECT_LE(PeakOf(shout.data(), shout.size()), 1.0f);
    EXPECT_LE(agc.gain(), 1.0f / 0.9f + 1e-3f);
    agc.SetEnabled(false);
    agc.SetEnabled(true);
    EXPECT_FLOAT_EQ(agc.gain(), 1.0f);
}

TEST(CaptureFeed, ResamplesToTheMixerFormatAtTheSameLevel) {
    CaptureFeed feed({48000, 2}, {16000, 1});
    ASSERT_TRUE(feed.ok());
    std::vector<float> out(1024);
    int64_t capture = -1;
    // Priming: silence until a frame and a margin are queued.
    std::vector<float> block = Tone(48000, 2, 1000, 0.5, 480);
    feed.Push(block.data(), 480, 1010000);
    EXPECT_EQ(feed.Pull(out.data(), 1024, &capture), 0);
    EXPECT_EQ(capture, -1);
    std::vector<float> collected;
    int64_t firstCapture = 0;
    for (int i = 1; i < 200; ++i) {
        block = Tone(48000, 2, 1000, 0.5, 480, static_cast<int64_t>(i) * 480);
        feed.Push(block.data(), 480, 1000000 + 10000 * (i + 1));  // 10 ms blocks
        if (i % 7 == 0 && feed.Pull(out.data(), 1024, &capture) > 0) {
            if (collected.empty()) firstCapture = capture;
            collected.insert(collected.end(), out.begin(), out.end());
        }
    }
    // Through the resampler the capture times stay on the blocks' clock: the first sample
    // taken is the stream's first, captured when the first block began.
    EXPECT_NEAR(firstCapture, 1000000, 1000);
    ASSERT_GT(collected.size(), 8000u);
    EXPECT_NEAR(ZeroCrossingHz(collected, 16000, 1000), 1000.0, 15.0);
    EXPECT_NEAR(ToneAmplitude(collected, 16000, 1000.0, 1000), 0.5, 0.03);
}

TEST(CaptureFeed, QueueStaysBoundedWhenNobodyPulls) {
    CaptureFeed feed({16000, 1}, {16000, 1});
    std::vector<float> block(160, 0.25f);
    for (int i = 0; i < 500; ++i) feed.Push(block.data(), 160, 1000000 + 10000 * (i + 1));  // 5 s
    std::vector<float> out(1024);
    int64_t capture = 0;
    int total = feed.Pull(out.data(), 1024, &capture);
    // What is left is the newest: the first sample kept was captured kMaxQueuedMs before the end.
    EXPECT_NEAR(capture, 1000000 + 5000000 - CaptureFeed::kMaxQueuedMs * 1000, 10000);
    for (int i = 0; i < 20; ++i) total += feed.Pull(out.data(), 1024, &capture);
    EXPECT_LE(total, 16000 * CaptureFeed::kMaxQueuedMs / 1000);
    EXPECT_GE(total, 16000 * CaptureFeed::kMaxQueuedMs / 1000 - 1024);
    EXPECT_EQ(feed.Level(), 0);  // arrival times here are not the clock's: old
}

TEST(CaptureFeed, ABurstAtTheStartDoesNotBecomeLastingDelay) {
    CaptureFeed feed({16000, 1}, {16000, 1});
    std::vector<float> burst(8000, 0.1f);
    feed.Push(burst.data(), 8000, 1000000);  // half a second at once
    std::vector<float> block(1024, 0.1f), out(1024);
    int64_t capture = 0;
    for (int i = 1; i <= 40; ++i) {
        feed.Push(block.data(), 1024, 1000000 + 64000 * i);
        EXPECT_EQ(feed.Pull(out.data(), 1024, &capture), 1024);
    }
    // Steady state: what is pulled was captured one or two blocks ago, not a backlog ago.
    EXPECT_GE(capture, 1000000 + 64000 * 38);
}

TEST(FrameTimeline, FollowsTheEarliestMeasurementAndNeverGoesBack) {
    const int64_t F = 64000;
    FrameTimeline line(F);
    // Nothing measured yet: the guess starts the line.
    EXPECT_EQ(line.Next(0, 500000), 500000);
    EXPECT_EQ(line.Next(0, 0), 500000 + F);
    // Measurements late by a varying hand-over: the earliest wins, the rest keep to the line.
    EXPECT_EQ(line.Next(1000000 + 2 * F + 3000, 0), 1000000 + 2 * F + 3000);
    EXPECT_EQ(line.Next(1000000 + 3 * F + 1000, 0), 1000000 + 3 * F + 1000);
    EXPECT_EQ(line.Next(1000000 + 4 * F + 5000, 0), 1000000 + 4 * F + 1000);
    EXPECT_EQ(line.Next(0, 0), 1000000 + 5 * F + 1000);  // silence keeps to the line
    // Sound lost (40 ms): the line moves on once that has held for kConfirmFrames frames.
    int64_t n = 6, stamp = 0;
    for (int i = 0; i < FrameTimeline::kConfirmFrames; ++i, ++n) stamp = line.Next(1000000 + n * F + 41000 + i, 0);
    EXPECT_EQ(stamp, 1000000 + (n - 1) * F + 41000);
    // Sound gained (silence went in): the line moves back, but stamps never do.
    EXPECT_EQ(line.Next(1000000 + n * F - 100000, 0), 1000000 + (n - 1) * F + 41000 + 1000);
    ++n;
    EXPECT_EQ(line.Next(1000000 + n * F - 100000, 0), 1000000 + (n - 2) * F + 41000 + 2000);
}

TEST(AacEncoder, GivesTheAudioSpecificConfigAndRefusesWhatAacCannotCarry) {
    AacEncoder encoder;
    std::string error;
    ASSERT_TRUE(encoder.Open(16000, 1, 96, &error)) << error;
    EXPECT_EQ(encoder.audioSpecificConfig(), (std::vector<uint8_t>{0x14, 0x08}));
    EXPECT_EQ(encoder.frameSize(), 1024);
    ASSERT_TRUE(encoder.Open(48000, 2, 128, &error)) << error;
    EXPECT_EQ(encoder.audioSpecificConfig(), (std::vector<uint8_t>{0x11, 0x90}));
    EXPECT_FALSE(encoder.Open(15000, 1, 96, &error));
    EXPECT_FALSE(encoder.Open(16000, 3, 96, &error));
    EXPECT_FALSE(AacRateSupported(0));
    EXPECT_TRUE(AacRateSupported(44100));
}

struct MixerRecord {
    std::mutex lock;
    std::vector<uint8_t> header;
    std::vector<std::vector<uint8_t>> frames;
    std::vector<int64_t> stamps;
    // How many frames from `from` on were stamped one frame (64 ms at 16 kHz, within 1 ms) after
    // the one before.
    int OnTheLine(size_t from = 1) const {
        int n = 0;
        for (size_t i = std::max<size_t>(from, 1); i < stamps.size(); ++i)
            n += std::abs(stamps[i] - stamps[i - 1] - 64000) <= 1000;
        return n;
    }
};

Decoded RunMixer(ISoundServer* server, const std::string& mic, bool agc, int ms, MixerRecord* record) {
    AudioMixer mixer(
        server,
        [record](const uint8_t* config, int len) {
            std::lock_guard<std::mutex> lock(record->lock);
            record->header.assign(config, config + len);
        },
        [record](const uint8_t* data, int len, int64_t captureUs) {
            std::lock_guard<std::mutex> lock(record->lock);
            record->frames.emplace_back(data, data + len);
            record->stamps.push_back(captureUs);
        });
    mixer.SetMicrophone(mic);
    mixer.SetAutoGain(agc);
    std::string error;
    EXPECT_TRUE(mixer.Start(MixerConfig{96, 16000, 1}, &error)) << error;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    mixer.Stop();
    std::lock_guard<std::mutex> lock(record->lock);
    return DecodeAac(record->header, record->frames);
}

TEST(AudioMixer, MixesTheSoundCardAndTheMicrophoneFromTheirOwnFormats) {
    ToneServer server;
    server.sources["card.monitor"] = {{48000, 2}, 1000, 0.4};
    server.sources["mic"] = {{44100, 1}, 440, 0.2};
    MixerRecord record;
    Decoded decoded = RunMixer(&server, "mic", false, 2500, &record);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.rate, 16000);
    ASSERT_GT(decoded.samples.size(), 16000u + 8000u);
    EXPECT_NEAR(ToneAmplitude(decoded.samples, 16000, 1000.0, 16000), 0.4, 0.04);
    EXPECT_NEAR(ToneAmplitude(decoded.samples, 16000, 440.0, 16000), 0.2, 0.03);
    // Stamped with the capture times, which the steady tone blocks keep on one line.
    // (The first frames go out before the sources deliver: silence on a guessed line; and the
    // line may move once or twice as the two sources' hand-overs settle.)
    ASSERT_GT(record.stamps.size(), 20u);
    EXPECT_GE(record.OnTheLine(10), static_cast<int>(record.stamps.size()) - 10 - 2);
    const int64_t nowUs = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now().time_since_epoch()).count();
    EXPECT_LT(nowUs - record.stamps.back(), 500000);
}

TEST(AudioMixer, AutomaticGainRaisesAQuietMicrophone) {
    ToneServer server;
    server.sources["mic"] = {{16000, 1}, 440, 0.05};
    server.defaultSink = "";  // no sound card
    MixerRecord record;
    Decoded decoded = RunMixer(&server, "mic", true, 5000, &record);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    ASSERT_GT(decoded.samples.size(), 64000u);
    const size_t last = decoded.samples.size() - 8000;
    EXPECT_GT(ToneAmplitude(decoded.samples, 16000, 440.0, last), 0.2);
}

TEST(AudioMixer, SilenceWithoutAServerOrWithAMissingMicrophone) {
    MixerRecord record;
    Decoded decoded = RunMixer(nullptr, "mic", false, 1000, &record);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_GT(decoded.frames, 8);
    EXPECT_LT(Rms(decoded.samples), 1e-4);
    EXPECT_EQ(record.OnTheLine(), static_cast<int>(record.stamps.size()) - 1);  // silence keeps the line

    ToneServer server;  // neither the card monitor nor "nomic" exist
    server.defaultSink = "";
    MixerRecord record2;
    Decoded decoded2 = RunMixer(&server, "nomic", false, 1000, &record2);
    ASSERT_TRUE(decoded2.ok);
    EXPECT_GT(decoded2.frames, 8);
    EXPECT_LT(Rms(decoded2.samples), 1e-4);
}

TEST(AudioMixer, RejectsAConfigurationTheEncoderRefuses) {
    AudioMixer mixer(nullptr, nullptr, nullptr);
    std::string error;
    EXPECT_FALSE(mixer.Start(MixerConfig{96, 15000, 1}, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(mixer.running());
}

}  // namespace
}  // namespace audiotest
