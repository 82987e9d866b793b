// Playing through the endpoint: the real RtmpLink against an nginx RTMP server that ffmpeg
// publishes to (testsrc and a 1 kHz tone, H.264 and AAC); the capture engine is the recording
// double, and what reaches its remote channels is decoded with libavcodec.
#include "IStreamCore.h"
#include "doubles.h"
#include "support/peers.h"
#include "support/process.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using doubles::RemoteCall;
using doubles::RemoteCalls;
using doubles::RemoteCount;
using testsupport::NginxRtmp;
using testsupport::WaitUntil;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

class PlayResultSink : public StreamCoreSink {
public:
    void OnStreamCoreEvent(int, int) override {}
    void OnPublishResult(int, const char*) override {}
    void OnPlayResult(int value, const char* name) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_results.push_back(std::to_string(value) + ":" + name);
    }
    int Count(const std::string& result) {
        std::lock_guard<std::mutex> lock(m_mutex);
        int n = 0;
        for (const auto& r : m_results) n += r == result;
        return n;
    }
    std::vector<std::string> Results() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_results;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_results;
};

using Publisher = testsupport::TestPatternPublisher;

// One server and one publisher for the whole suite; each test plays the stream anew.
NginxRtmp* g_nginx = nullptr;
Publisher* g_publisher = nullptr;
const char kStream[] = "lesson";

uint32_t Be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }

std::vector<RemoteCall> DataFor(const std::string& op, uint64_t id) {
    std::vector<RemoteCall> out;
    for (RemoteCall& c : RemoteCalls())
        if (c.op == op && c.id == id) out.push_back(std::move(c));
    return out;
}

// The session's "play: name='NAME'" lines in the server's log.
int ServerPlayCommands(const std::string& stream) {
    const std::string log = testsupport::ReadFile(g_nginx->ErrorLog()), needle = "play: name='" + stream + "'";
    int n = 0;
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
    return n;
}

// Decodes the video packets behind their 12-byte header; the size of the last picture.
std::pair<int, int> DecodeVideo(const std::vector<RemoteCall>& packets, int* frames) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    std::pair<int, int> size(0, 0);
    *frames = 0;
    if (ctx == nullptr || avcodec_open2(ctx, codec, nullptr) != 0) {
        avcodec_free_context(&ctx);
        return size;
    }
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    for (const RemoteCall& p : packets) {
        if (p.bytes.size() <= 12) continue;
        if (av_new_packet(pkt, static_cast<int>(p.bytes.size() - 12)) != 0) break;
        std::memcpy(pkt->data, p.bytes.data() + 12, p.bytes.size() - 12);
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

// Decodes the audio packets as AAC: after the 12-byte header comes the packet-type byte
// (0 configuration, 1 raw frame). Mono samples of the first channel; the rate into *rate.
std::vector<float> DecodeAudio(const std::vector<RemoteCall>& packets, int* rate, int* frames) {
    std::vector<float> pcm;
    *rate = 0;
    *frames = 0;
    size_t i = 0;
    while (i < packets.size() && !(packets[i].bytes.size() > 13 && packets[i].bytes[12] == 0x00)) ++i;
    if (i == packets.size()) return pcm;
    const Bytes& cfg = packets[i].bytes;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (ctx == nullptr) return pcm;
    ctx->extradata = static_cast<uint8_t*>(av_mallocz(cfg.size() - 13 + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(ctx->extradata, cfg.data() + 13, cfg.size() - 13);
    ctx->extradata_size = static_cast<int>(cfg.size() - 13);
    if (avcodec_open2(ctx, codec, nullptr) != 0) {
        avcodec_free_context(&ctx);
        return pcm;
    }
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    for (++i; i < packets.size(); ++i) {
        const Bytes& d = packets[i].bytes;
        if (d.size() <= 13 || d[12] != 0x01) continue;
        if (av_new_packet(pkt, static_cast<int>(d.size() - 13)) != 0) break;
        std::memcpy(pkt->data, d.data() + 13, d.size() - 13);
        if (avcodec_send_packet(ctx, pkt) == 0) {
            while (avcodec_receive_frame(ctx, frame) == 0) {
                ++*frames;
                *rate = frame->sample_rate;
                if (frame->format == AV_SAMPLE_FMT_FLTP || frame->format == AV_SAMPLE_FMT_FLT) {
                    const float* s = reinterpret_cast<const float*>(frame->extended_data[0]);
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

// Frequency of a tone by its rising zero crossings, past the decoder's priming.
double ToneFrequency(const std::vector<float>& pcm, int rate) {
    const size_t from = 2048;
    if (pcm.size() < from + 4096 || rate <= 0) return 0;
    int crossings = 0;
    for (size_t i = from + 1; i < pcm.size(); ++i) crossings += pcm[i - 1] < 0 && pcm[i] >= 0;
    return crossings * static_cast<double>(rate) / static_cast<double>(pcm.size() - from);
}

class PlayTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The window-share manager is not what these tests are about; keep it off any display
        // the environment may name.
        unsetenv("DISPLAY");
        g_nginx = new NginxRtmp;
        g_publisher = new Publisher;
        if (g_nginx->Start()) g_publisher->Start(g_nginx->Url(kStream));
    }
    static void TearDownTestSuite() {
        delete g_publisher;
        g_publisher = nullptr;
        delete g_nginx;
        g_nginx = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(g_nginx->Running());
        doubles::ResetEngineResults();
        doubles::Calls().Clear();
        m_core = CreateStreamCore();
        ASSERT_TRUE(m_core->Initialize(nullptr, nullptr, nullptr, false));
        m_core->SetSink(&m_sink);
    }
    void TearDown() override {
        if (m_core) {
            m_core->UnInitialize();
            m_core->SetSink(nullptr);
            DestroyStreamCore(m_core);
        }
        m_core = nullptr;
    }
    // Waits until the channels of id got at least this many frames.
    static bool WaitFrames(uint64_t videoId, int video, uint64_t audioId, int audio, int ms = 30000) {
        return WaitUntil([&] {
            return RemoteCount("PlayRemoteVideoData", videoId) >= video &&
                   RemoteCount("PlayRemoteAudioData", audioId) >= audio;
        }, ms);
    }

    IStreamCore* m_core = nullptr;
    PlayResultSink m_sink;
};

void* Window(uintptr_t w) { return reinterpret_cast<void*>(w); }

}  // namespace

TEST_F(PlayTest, OneUrlPlayedTwiceGivesOnePlayerWhoseFramesDecodeInTheEngineChannels) {
    const std::string url = g_nginx->Url(kStream);
    const int commandsBefore = ServerPlayCommands(kStream);
    ASSERT_TRUE(m_core->PlayStream(url.c_str(), Window(0x400001)));
    ASSERT_TRUE(m_core->PlayStream(url.c_str(), Window(0x400001)));
    // One pair of channels, the video one bound to the window.
    EXPECT_EQ(doubles::Calls().Count("CreateRemoteVideo(4194305)"), 1);
    EXPECT_EQ(doubles::Calls().Count("CreateRemoteVideo"), 1);
    EXPECT_EQ(doubles::Calls().Count("CreateRemoteAudio"), 1);

    // Two seconds of video (key frames every second) and of audio.
    ASSERT_TRUE(WaitFrames(77, 60, 55, 80)) << RemoteCount("PlayRemoteVideoData", 77) << " video, "
                                            << RemoteCount("PlayRemoteAudioData", 55) << " audio";
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count("0:lesson") >= 1; }, 10000));
    // One RTMP session asked the server for the stream.
    ASSERT_TRUE(WaitUntil([&] { return ServerPlayCommands(kStream) >= commandsBefore + 1; }, 10000));
    EXPECT_EQ(ServerPlayCommands(kStream), commandsBefore + 1);

    // The window change reaches the video channel.
    EXPECT_TRUE(m_core->ChangeRemoteVideoWindows(url.c_str(), Window(0x400002)));
    EXPECT_EQ(doubles::Calls().Count("ChangeRemoteVideoWindow(77,4194306)"), 1);
    EXPECT_FALSE(m_core->ChangeRemoteVideoWindows(g_nginx->Url("other").c_str(), Window(0x400002)));

    // Only the two channels got data; the player's bytes arrive unchanged, header included.
    for (const RemoteCall& c : RemoteCalls()) {
        if (c.op == "PlayRemoteVideoData") {
            EXPECT_EQ(c.id, 77u);
        } else if (c.op == "PlayRemoteAudioData") {
            EXPECT_EQ(c.id, 55u);
        }
    }
    const std::vector<RemoteCall> video = DataFor("PlayRemoteVideoData", 77);
    ASSERT_FALSE(video.empty());
    for (size_t i = 0; i < video.size(); ++i) {
        const Bytes& d = video[i].bytes;
        ASSERT_GT(d.size(), 16u) << i;
        EXPECT_EQ(static_cast<int>(d.size()), video[i].len);
        EXPECT_EQ(d[0], 0x80);
        EXPECT_EQ(d[1], 0xE0);
        EXPECT_EQ((d[2] << 8) | d[3], static_cast<int>(i & 0xFFFF)) << "frames kept their order";
        EXPECT_EQ(Be32(d.data() + 4) % 90, 0u);
        EXPECT_EQ(Be32(d.data() + 12), 1u);  // a start code right behind the header
    }
    EXPECT_EQ(video[0].bytes[16] & 0x1F, 7) << "the first frame is a key frame led by its SPS";
    int pictures = 0;
    const auto size = DecodeVideo(video, &pictures);
    EXPECT_EQ(size.first, 320);
    EXPECT_EQ(size.second, 240);
    EXPECT_GE(pictures, static_cast<int>(video.size()) - 2);

    const std::vector<RemoteCall> audio = DataFor("PlayRemoteAudioData", 55);
    ASSERT_GT(audio.size(), 2u);
    for (size_t i = 0; i < audio.size(); ++i) {
        const Bytes& d = audio[i].bytes;
        ASSERT_GT(d.size(), 13u) << i;
        EXPECT_EQ(d[0], 0x80);
        EXPECT_EQ(d[1], 0xE1);
        EXPECT_EQ((d[2] << 8) | d[3], static_cast<int>(i & 0xFFFF));
        EXPECT_EQ(Be32(d.data() + 4), 640u * static_cast<uint32_t>(i));
    }
    EXPECT_EQ(audio[0].bytes[12], 0x00) << "the AAC configuration comes first";
    int rate = 0, aacFrames = 0;
    const std::vector<float> pcm = DecodeAudio(audio, &rate, &aacFrames);
    EXPECT_EQ(rate, 44100);
    EXPECT_GE(aacFrames, static_cast<int>(audio.size()) - 2);
    EXPECT_NEAR(ToneFrequency(pcm, rate), 1000.0, 20.0);

    m_core->StopPlay(url.c_str());
    ASSERT_TRUE(WaitUntil([] { return RemoteCount("CloseRemoteVideo", 77) == 1; }, 10000));
}

TEST_F(PlayTest, AfterStopPlayNoFrameReachesTheOldChannelsAndPlayingAgainOpensNewOnes) {
    doubles::SetFreshRemoteIds(true);
    // A slow decoder: frames pile up on the play data thread, so some are still waiting there
    // when the stream is stopped.
    doubles::SetRemoteDataDelayMs(25);
    const std::string url = g_nginx->Url(kStream);
    ASSERT_TRUE(m_core->PlayStream(url.c_str(), Window(0x500001)));
    ASSERT_TRUE(WaitFrames(1001, 30, 2001, 30));
    m_core->StopPlay(url.c_str());
    const Clock::time_point stopReturned = Clock::now();
    ASSERT_TRUE(WaitUntil([] { return RemoteCount("CloseRemoteVideo", 1001) == 1; }, 20000));
    std::this_thread::sleep_for(std::chrono::seconds(2));

    Clock::time_point firstClose = Clock::time_point::max();
    int videoAfterStop = 0;
    for (const RemoteCall& c : RemoteCalls()) {
        if ((c.op == "CloseRemoteAudio" || c.op == "CloseRemoteVideo") && c.at < firstClose) firstClose = c.at;
        if (c.op == "PlayRemoteVideoData" && c.at > stopReturned) ++videoAfterStop;
    }
    for (const RemoteCall& c : RemoteCalls()) {
        if (c.op != "PlayRemoteVideoData" && c.op != "PlayRemoteAudioData") continue;
        EXPECT_LT(c.at, firstClose) << c.op << " for channel " << c.id << " after the channels were closed";
    }
    // Each channel closed exactly once; the play control thread logged its audio close first.
    EXPECT_EQ(RemoteCount("CloseRemoteAudio", 2001), 1);
    EXPECT_EQ(RemoteCount("CloseRemoteVideo", 1001), 1);
    const auto lines = doubles::Calls().Lines();
    auto pos = [&](const std::string& s) { return std::find(lines.begin(), lines.end(), s) - lines.begin(); };
    EXPECT_LT(pos("CloseRemoteAudio(2001)"), pos("CloseRemoteVideo(1001)"));
    // StopPlay returns at once; what was already on its way is delivered before the close.
    RecordProperty("video_frames_between_stop_and_close", videoAfterStop);

    // Stopping again, or a URL never played, changes nothing.
    m_core->StopPlay(url.c_str());
    m_core->StopPlay(g_nginx->Url("never").c_str());
    EXPECT_FALSE(m_core->ChangeRemoteVideoWindows(url.c_str(), Window(0x500002)));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(doubles::Calls().Count("CloseRemote"), 2);

    // Played again: a new player with new channels, which get the stream.
    doubles::SetRemoteDataDelayMs(0);
    ASSERT_TRUE(m_core->PlayStream(url.c_str(), Window(0x500001)));
    ASSERT_TRUE(WaitFrames(1002, 30, 2002, 30));
    int pictures = 0;
    const auto size = DecodeVideo(DataFor("PlayRemoteVideoData", 1002), &pictures);
    EXPECT_EQ(size.first, 320);
    EXPECT_GE(pictures, 25);
    // The new player's frames went to the new channels only.
    for (const RemoteCall& c : RemoteCalls()) {
        if ((c.op == "PlayRemoteVideoData" || c.op == "PlayRemoteAudioData") && (c.id == 1001 || c.id == 2001)) {
            EXPECT_LT(c.at, firstClose) << c.op << " for old channel " << c.id;
        }
    }
    // UnInitialize deletes the record without closing anything.
    ASSERT_TRUE(m_core->UnInitialize());
    EXPECT_EQ(doubles::Calls().Count("CloseRemote"), 2);
}

TEST_F(PlayTest, PlayResultsCarryTheStreamNameWithZeroForALiveStreamAndMinusOneForAClosedPort) {
    const std::string live = g_nginx->Url(kStream);
    const std::string closed = "rtmp://127.0.0.1:" + std::to_string(testsupport::FreeTcpPort()) + "/live/nobody";
    ASSERT_TRUE(m_core->PlayStream(live.c_str(), Window(1)));
    ASSERT_TRUE(m_core->PlayStream(closed.c_str(), Window(2)));
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count("0:lesson") == 1; }, 15000));
    // The closed port is tried again about every second, each attempt reported.
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count("-1:nobody") >= 2; }, 15000));
    m_core->StopPlay(closed.c_str());
    m_core->StopPlay(live.c_str());
    ASSERT_TRUE(WaitUntil([] { return doubles::Calls().Count("CloseRemoteVideo") == 2; }, 15000));
    const int failures = m_sink.Count("-1:nobody");
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(m_sink.Count("-1:nobody"), failures) << "a stopped player reported again";
    for (const std::string& r : m_sink.Results()) EXPECT_TRUE(r == "0:lesson" || r == "-1:nobody") << r;
    EXPECT_EQ(m_sink.Count("0:lesson"), 1);
}
