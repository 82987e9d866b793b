// The engine's remote channels over streams that ffmpeg encodes (testsrc as H.264, a 1 kHz
// tone as AAC), given in the player's packet form: the 12-byte header, then an Annex-B
// access unit, or the AAC packet type byte and the configuration or a raw frame.
#include "remote_channel.h"

#include "support/media_split.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>

using namespace mediatap;

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes Header(uint8_t pt, const Bytes& payload) {
    Bytes out(12 + payload.size(), 0);
    out[0] = 0x80;
    out[1] = pt;
    if (!payload.empty()) memcpy(out.data() + 12, payload.data(), payload.size());
    return out;
}

struct Streams {
    std::vector<Bytes> video;  // access units
    Bytes aacConfig;
    std::vector<Bytes> aac;    // raw frames
};

// Made once: 2 s of 320x240 testsrc (access unit delimiters mark the cuts) and of a tone.
const Streams& Media() {
    static Streams s = [] {
        Streams out;
        testsupport::TempDir dir("remotech");
        const std::string h264 = dir.file("v.h264"), aac = dir.file("a.aac");
        int status = -1;
        testsupport::RunCapture({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                 "testsrc=size=320x240:rate=25:duration=2", "-c:v", "libx264", "-preset",
                                 "ultrafast", "-bf", "0", "-g", "10", "-pix_fmt", "yuv420p", "-x264-params", "aud=1",
                                 "-f", "h264", h264},
                                60000, &status);
        testsupport::RunCapture({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                 "sine=frequency=1000:sample_rate=44100:duration=2", "-c:a", "aac", "-ac", "1",
                                 "-f", "adts", aac},
                                60000, &status);
        for (auto& unit : testsupport::SplitAccessUnits(testsupport::ReadFile(h264), true)) {
            out.video.push_back(std::move(unit.data));
        }
        testsupport::SplitAdts(testsupport::ReadFile(aac), &out.aac, &out.aacConfig);
        return out;
    }();
    return s;
}

class RecordingPlayout : public IAudioPlayout {
public:
    explicit RecordingPlayout(std::vector<int16_t>* out, int* rate, int* channels)
        : m_out(out), m_rate(rate), m_channels(channels) {}
    void Play(const int16_t* pcm, int frames, int channels, int rate) override {
        m_out->insert(m_out->end(), pcm, pcm + frames * channels);
        *m_rate = rate;
        *m_channels = channels;
    }

private:
    std::vector<int16_t>* m_out;
    int* m_rate;
    int* m_channels;
};

class RecordingFactory : public IAudioPlayoutFactory {
public:
    std::unique_ptr<IAudioPlayout> Create() override {
        return std::unique_ptr<IAudioPlayout>(new RecordingPlayout(&pcm, &rate, &channels));
    }
    std::vector<int16_t> pcm;
    int rate = 0;
    int channels = 0;
};

}  // namespace

TEST(RemoteVideo, DecodesAccessUnitsAndKeepsTheLatestPicture) {
    const Streams& m = Media();
    ASSERT_EQ(m.video.size(), 50u);
    RemoteChannels channels(nullptr);
    uint64_t id = 0;
    ASSERT_EQ(channels.CreateVideo(&id, 0x1234), 0);
    uint64_t other = 0;
    ASSERT_EQ(channels.CreateVideo(&other, 0), 0);
    EXPECT_NE(id, other);
    for (const Bytes& au : m.video) {
        const Bytes packet = Header(0xE0, au);
        EXPECT_EQ(channels.PlayVideo(id, packet.data(), static_cast<int>(packet.size())), 0);
    }
    auto channel = channels.FindVideo(id);
    ASSERT_TRUE(channel);
    EXPECT_GE(channel->Decoded(), 48u);
    I420Frame picture;
    ASSERT_TRUE(channel->TakePicture(&picture));
    EXPECT_EQ(picture.width, 320);
    EXPECT_EQ(picture.height, 240);
    // testsrc is colourful: the chroma planes are far from flat grey.
    int far = 0;
    for (int i = 0; i < 160 * 120; ++i) far += std::abs(int(picture.U()[i]) - 128) > 20;
    EXPECT_GT(far, 160 * 120 / 4);
    EXPECT_FALSE(channel->TakePicture(&picture));  // taken already
    EXPECT_EQ(channels.ChangeVideoWindow(id, 0x5678), 0);
    EXPECT_EQ(channel->Window(), 0x5678u);

    // Bad packets are refused without harm: too short, garbage after the header.
    const uint8_t shortPacket[12] = {0x80, 0xE0};
    EXPECT_EQ(channels.PlayVideo(id, shortPacket, 12), -1);
    EXPECT_EQ(channels.PlayVideo(id, nullptr, 100), -1);
    Bytes garbage = Header(0xE0, Bytes(500, 0xA5));
    channels.PlayVideo(id, garbage.data(), static_cast<int>(garbage.size()));

    // Closed: data for the old id is ignored, also through a channel reference still held.
    ASSERT_EQ(channels.CloseVideo(id), 0);
    const Bytes packet = Header(0xE0, m.video[0]);
    const uint64_t before = channel->Decoded();
    EXPECT_EQ(channels.PlayVideo(id, packet.data(), static_cast<int>(packet.size())), -1);
    EXPECT_EQ(channel->Play(packet.data(), static_cast<int>(packet.size())), -1);
    EXPECT_EQ(channel->Decoded(), before);
    EXPECT_EQ(channels.CloseVideo(id), -1);
    EXPECT_EQ(channels.ChangeVideoWindow(id, 1), -1);
    EXPECT_EQ(channels.CreateVideo(nullptr, 0), -1);
}

TEST(RemoteAudio, DecodesConfigurationThenRawFramesToTheTone) {
    const Streams& m = Media();
    ASSERT_GT(m.aac.size(), 50u);
    auto* factory = new RecordingFactory;
    RemoteChannels channels{std::unique_ptr<IAudioPlayoutFactory>(factory)};
    uint64_t id = 0;
    ASSERT_EQ(channels.CreateAudio(&id), 0);
    // A raw frame before any configuration cannot be decoded.
    Bytes raw = {0x01};
    raw.insert(raw.end(), m.aac[0].begin(), m.aac[0].end());
    Bytes rawPacket = Header(0xE1, raw);
    EXPECT_EQ(channels.PlayAudio(id, rawPacket.data(), static_cast<int>(rawPacket.size())), -1);
    Bytes config = {0x00};
    config.insert(config.end(), m.aacConfig.begin(), m.aacConfig.end());
    const Bytes configPacket = Header(0xE1, config);
    ASSERT_EQ(channels.PlayAudio(id, configPacket.data(), static_cast<int>(configPacket.size())), 0);
    for (const Bytes& frame : m.aac) {
        Bytes body = {0x01};
        body.insert(body.end(), frame.begin(), frame.end());
        const Bytes packet = Header(0xE1, body);
        EXPECT_EQ(channels.PlayAudio(id, packet.data(), static_cast<int>(packet.size())), 0);
    }
    EXPECT_EQ(factory->rate, 44100);
    EXPECT_EQ(factory->channels, 1);
    ASSERT_GT(factory->pcm.size(), 44100u);
    int crossings = 0;
    int peak = 0;
    const size_t from = 4096;
    for (size_t i = from + 1; i < factory->pcm.size(); ++i) {
        crossings += factory->pcm[i - 1] < 0 && factory->pcm[i] >= 0;
        peak = std::max(peak, std::abs(int(factory->pcm[i])));
    }
    EXPECT_NEAR(crossings * 44100.0 / double(factory->pcm.size() - from), 1000.0, 20.0);
    EXPECT_GT(peak, 3000);

    // A broken configuration is refused; a one-byte body and an unknown packet type too.
    const Bytes badConfig = Header(0xE1, {0x00, 0xFF});
    EXPECT_EQ(channels.PlayAudio(id, badConfig.data(), static_cast<int>(badConfig.size())), -1);
    const Bytes oneByte = Header(0xE1, {0x01});
    EXPECT_EQ(channels.PlayAudio(id, oneByte.data(), static_cast<int>(oneByte.size())), -1);
    const Bytes unknown = Header(0xE1, {0x07, 0x01, 0x02});
    EXPECT_EQ(channels.PlayAudio(id, unknown.data(), static_cast<int>(unknown.size())), -1);

    // After closing, nothing reaches the playout.
    ASSERT_EQ(channels.CloseAudio(id), 0);
    EXPECT_EQ(channels.PlayAudio(id, rawPacket.data(), static_cast<int>(rawPacket.size())), -1);
    EXPECT_EQ(channels.CloseAudio(id), -1);
}

TEST(RemoteChannels, CloseRacingPlayIsSafe) {
    const Streams& m = Media();
    RemoteChannels channels(nullptr);
    for (int round = 0; round < 5; ++round) {
        uint64_t id = 0;
        ASSERT_EQ(channels.CreateVideo(&id, 0), 0);
        std::thread feeder([&] {
            for (const Bytes& au : m.video) {
                const Bytes packet = Header(0xE0, au);
                if (channels.PlayVideo(id, packet.data(), static_cast<int>(packet.size())) != 0) break;
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(5 * round));
        EXPECT_EQ(channels.CloseVideo(id), 0);
        feeder.join();
    }
}
