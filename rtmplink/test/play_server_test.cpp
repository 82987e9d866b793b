// The player against a real nginx RTMP server that ffmpeg publishes to (testsrc and a sine
// tone, H.264 and AAC); what arrives is decoded with libavcodec.
#include "rtmp_mgr.h"

#include "support/peers.h"
#include "support/process.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

using testsupport::NginxRtmp;

namespace {

typedef std::vector<uint8_t> Bytes;

struct Packet {
    int id;
    unsigned long long tag;
    Bytes data;
    bool key;
};

class PlaySink : public IRtmpMgrSink {
public:
    bool OnPublishEvent(int, std::string, RTMP_RESULT, char*, int) override { return true; }
    bool OnPlayEvent(int id, std::string name, RTMP_RESULT result, char* info, int infoLen) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_events.push_back({id, name, result, info == nullptr && infoLen == 0, std::chrono::steady_clock::now()});
        return true;
    }
    bool OnPlayVideoData(int id, unsigned long long videoId, unsigned char* data, int len, bool keyFrame) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_video.push_back({id, videoId, Bytes(data, data + len), keyFrame});
        return true;
    }
    bool OnPlayAudioData(int id, unsigned long long audioId, unsigned char* data, int len) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_audio.push_back({id, audioId, Bytes(data, data + len), false});
        return true;
    }

    struct Event {
        int id;
        std::string name;
        RTMP_RESULT result;
        bool infoNull;
        std::chrono::steady_clock::time_point at;
    };
    std::vector<Event> Events() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_events;
    }
    int Count(RTMP_RESULT result) {
        int n = 0;
        for (const Event& e : Events()) n += e.result == result;
        return n;
    }
    size_t VideoCount() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_video.size();
    }
    size_t AudioCount() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_audio.size();
    }
    std::vector<Packet> Video() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_video;
    }
    std::vector<Packet> Audio() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_audio;
    }

private:
    std::mutex m_lock;
    std::vector<Event> m_events;
    std::vector<Packet> m_video;
    std::vector<Packet> m_audio;
};

struct Manager {
    PlaySink sink;
    IRtmpMgr* mgr = CreateRtmpMgr(&sink);
    ~Manager() { DestroyRtmpMgr(mgr); }
};

using Publisher = testsupport::TestPatternPublisher;

uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Decodes Annex-B access units; returns the size of the pictures (0x0 when none decoded).
std::pair<int, int> DecodeVideo(const std::vector<Packet>& packets, int* frames) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    avcodec_open2(ctx, codec, nullptr);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::pair<int, int> size(0, 0);
    *frames = 0;
    for (const Packet& p : packets) {
        if (p.data.size() <= 12) continue;
        av_new_packet(pkt, static_cast<int>(p.data.size() - 12));
        memcpy(pkt->data, p.data.data() + 12, p.data.size() - 12);
        if (avcodec_send_packet(ctx, pkt) == 0) {
            while (avcodec_receive_frame(ctx, frame) == 0) {
                size = {frame->width, frame->height};
                ++*frames;
            }
        }
        av_packet_unref(pkt);
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return size;
}

// Decodes the AAC packets (configuration first); returns mono samples and the rate.
std::vector<float> DecodeAudio(const std::vector<Packet>& packets, int* rate) {
    std::vector<float> pcm;
    *rate = 0;
    size_t i = 0;
    while (i < packets.size() && !(packets[i].data.size() > 13 && packets[i].data[12] == 0x00)) ++i;
    if (i == packets.size()) return pcm;
    const Bytes& cfg = packets[i].data;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->extradata = static_cast<uint8_t*>(av_mallocz(cfg.size() - 13 + AV_INPUT_BUFFER_PADDING_SIZE));
    memcpy(ctx->extradata, cfg.data() + 13, cfg.size() - 13);
    ctx->extradata_size = static_cast<int>(cfg.size() - 13);
    avcodec_open2(ctx, codec, nullptr);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    for (++i; i < packets.size(); ++i) {
        const Bytes& d = packets[i].data;
        if (d.size() <= 13 || d[12] != 0x01) continue;
        av_new_packet(pkt, static_cast<int>(d.size() - 13));
        memcpy(pkt->data, d.data() + 13, d.size() - 13);
        if (avcodec_send_packet(ctx, pkt) == 0) {
            while (avcodec_receive_frame(ctx, frame) == 0) {
                *rate = frame->sample_rate;
                const float* s = reinterpret_cast<const float*>(frame->extended_data[0]);
                if (frame->format == AV_SAMPLE_FMT_FLTP || frame->format == AV_SAMPLE_FMT_FLT) {
                    pcm.insert(pcm.end(), s, s + frame->nb_samples);
                }
            }
        }
        av_packet_unref(pkt);
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return pcm;
}

// Frequency of a tone by its rising zero crossings.
double ToneFrequency(const std::vector<float>& pcm, int rate) {
    if (pcm.size() < 4096 || rate <= 0) return 0;
    const size_t from = 2048;  // past the decoder's priming
    int crossings = 0;
    for (size_t i = from + 1; i < pcm.size(); ++i) crossings += pcm[i - 1] < 0 && pcm[i] >= 0;
    return crossings * static_cast<double>(rate) / static_cast<double>(pcm.size() - from);
}

}  // namespace

TEST(PlayServer, ReceivesDecodableVideoAndTone) {
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start());
    Publisher pub;
    ASSERT_TRUE(pub.Start(nginx.Url("lesson")));
    Manager m;
    const int id = m.mgr->GetPlayId();
    EXPECT_GE(id, 10000);
    ASSERT_TRUE(m.mgr->OpenPlayUrl(id, 0x1122334455667788ULL, 42ULL, nginx.Url("lesson").c_str()));
    EXPECT_FALSE(m.mgr->OpenPlayUrl(id, 1, 2, nginx.Url("lesson").c_str()));
    EXPECT_EQ(m.mgr->GetVideoId(id), 0x1122334455667788ULL);
    EXPECT_EQ(m.mgr->GetAudioId(id), 42ULL);
    EXPECT_EQ(m.mgr->GetVideoId(id + 1), ~0ULL);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return m.sink.VideoCount() >= 75 && m.sink.AudioCount() >= 100; },
                                       30000));
    m.mgr->ClosePlay(id);
    const size_t after = m.sink.VideoCount() + m.sink.AudioCount();

    const auto events = m.sink.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].result, RTMP_PLAY_CONNECTED);
    EXPECT_EQ(events[0].id, id);
    EXPECT_EQ(events[0].name, "lesson");
    EXPECT_TRUE(events[0].infoNull);

    const auto video = m.sink.Video();
    ASSERT_TRUE(video[0].key);  // inter frames before the first key frame are dropped
    uint32_t lastTs = 0;
    for (size_t i = 0; i < video.size(); ++i) {
        const Bytes& d = video[i].data;
        ASSERT_GT(d.size(), 16u);
        EXPECT_EQ(video[i].id, id);
        EXPECT_EQ(video[i].tag, 0x1122334455667788ULL);
        EXPECT_EQ(d[0], 0x80);
        EXPECT_EQ(d[1], 0xE0);
        EXPECT_EQ((d[2] << 8) | d[3], static_cast<int>(i));
        const uint32_t ts = Be32(d.data() + 4);
        EXPECT_EQ(ts % 90, 0u);
        if (i > 0) {
            EXPECT_GE(ts, lastTs);
        }
        lastTs = ts;
        EXPECT_EQ(Be32(d.data() + 12), 1u);  // a start code right behind the header
        if (video[i].key) {
            EXPECT_EQ(d[16] & 0x1F, 7);  // the SPS leads every key frame
        }
    }
    // 25 fps: 40 ms apart, 3600 ticks of the 90 kHz clock.
    EXPECT_NEAR(double(lastTs - Be32(video[0].data.data() + 4)) / double(video.size() - 1), 3600.0, 200.0);
    int frames = 0;
    const auto size = DecodeVideo(video, &frames);
    EXPECT_EQ(size.first, 320);
    EXPECT_EQ(size.second, 240);
    EXPECT_GE(frames, static_cast<int>(video.size()) - 2);

    const auto audio = m.sink.Audio();
    ASSERT_GT(audio.size(), 2u);
    EXPECT_EQ(audio[0].data[12], 0x00);  // the AAC configuration first
    for (size_t i = 0; i < audio.size(); ++i) {
        const Bytes& d = audio[i].data;
        EXPECT_EQ(audio[i].tag, 42ULL);
        EXPECT_EQ(d[1], 0xE1);
        EXPECT_EQ((d[2] << 8) | d[3], static_cast<int>(i));
        EXPECT_EQ(Be32(d.data() + 4), 640u * i);
    }
    int rate = 0;
    const std::vector<float> pcm = DecodeAudio(audio, &rate);
    EXPECT_EQ(rate, 44100);
    EXPECT_NEAR(ToneFrequency(pcm, rate), 1000.0, 20.0);
    float peak = 0;
    for (float s : pcm) peak = std::max(peak, std::fabs(s));
    EXPECT_GT(peak, 0.05f);

    // Nothing arrives for a closed id.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(m.sink.VideoCount() + m.sink.AudioCount(), after);
}

TEST(PlayServer, UnreachableServerReportsFailureEverySecondOrTwo) {
    Manager m;
    const int port = testsupport::FreeTcpPort();
    const int id = m.mgr->GetPlayId();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(m.mgr->OpenPlayUrl(id, 1, 2, ("rtmp://127.0.0.1:" + std::to_string(port) + "/live/none").c_str()));
    // Three attempts, at about 0, 1 and 2 s.
    ASSERT_TRUE(
        testsupport::WaitUntil([&] { return m.sink.Count(RTMP_PLAY_CONNECT_FAILED) >= 3; }, 10000));
    const auto t0 = std::chrono::steady_clock::now();
    m.mgr->ClosePlay(id);
    const auto closeMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(closeMs, 1500);
    const auto events = m.sink.Events();
    EXPECT_GE(events.size(), 3u);
    EXPECT_LE(events.size(), 4u);
    for (const auto& e : events) {
        EXPECT_EQ(e.result, RTMP_PLAY_CONNECT_FAILED);
        EXPECT_EQ(e.name, "none");
    }
    for (size_t i = 1; i < events.size(); ++i) {
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(events[i].at - events[i - 1].at).count();
        EXPECT_GE(gap, 900);
        EXPECT_LE(gap, 2500);
    }
    (void)start;
    // A bad URL is reported the same way.
    const int bad = m.mgr->GetPlayId();
    ASSERT_TRUE(m.mgr->OpenPlayUrl(bad, 1, 2, "notaurl"));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return m.sink.Count(RTMP_PLAY_CONNECT_FAILED) > int(events.size()); },
                                       5000));
    m.mgr->ClosePlay(bad);
    EXPECT_FALSE(m.mgr->OpenPlayUrl(m.mgr->GetPlayId(), 1, 2, nullptr));
}

TEST(PlayServer, ClosingWhileBlockedInReceiveReturnsPromptly) {
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start());
    Manager m;
    const int id = m.mgr->GetPlayId();
    // Nobody publishes: the player is connected and waits for data that never comes.
    ASSERT_TRUE(m.mgr->OpenPlayUrl(id, 1, 2, nginx.Url("silent").c_str()));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return m.sink.Count(RTMP_PLAY_CONNECTED) == 1; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const auto t0 = std::chrono::steady_clock::now();
    m.mgr->ClosePlay(id);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 1000);
    EXPECT_EQ(m.sink.Count(RTMP_PLAY_CONNECT_FAILED), 0);
    // An open player is also ended by the manager's destruction.
    ASSERT_TRUE(m.mgr->OpenPlayUrl(m.mgr->GetPlayId(), 1, 2, nginx.Url("silent").c_str()));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return m.sink.Count(RTMP_PLAY_CONNECTED) == 2; }, 10000));
}

TEST(PlayServer, ReconnectsAfterServerRestart) {
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start());
    Manager m;
    {
        Publisher pub;
        ASSERT_TRUE(pub.Start(nginx.Url("again")));
        const int id = m.mgr->GetPlayId();
        ASSERT_TRUE(m.mgr->OpenPlayUrl(id, 7, 8, nginx.Url("again").c_str()));
        ASSERT_TRUE(testsupport::WaitUntil([&] { return m.sink.VideoCount() >= 10; }, 30000));
        nginx.Stop();
        ASSERT_TRUE(testsupport::WaitUntil([&] { return m.sink.Count(RTMP_PLAY_CONNECT_FAILED) >= 1; }, 10000));
    }
    const size_t before = m.sink.VideoCount();
    ASSERT_TRUE(nginx.Start());
    Publisher pub;
    ASSERT_TRUE(pub.Start(nginx.Url("again")));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return m.sink.VideoCount() >= before + 10; }, 30000));
    EXPECT_GE(m.sink.Count(RTMP_PLAY_CONNECTED), 2);
    // The first frame after the reconnect is a key frame again (the new stream's sequence
    // header arrives first), and it decodes.
    const auto video = m.sink.Video();
    EXPECT_TRUE(video[before].key);
    int frames = 0;
    const auto size = DecodeVideo(std::vector<Packet>(video.begin() + static_cast<long>(before), video.end()), &frames);
    EXPECT_EQ(size.first, 320);
    EXPECT_GE(frames, 5);
}
