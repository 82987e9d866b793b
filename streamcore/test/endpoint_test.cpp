// The endpoint against link-time doubles of the engine, the RTMP manager, the window-share
// manager and the recorder: lifecycle, events, publishing, local devices and recording.
#include "IStreamCore.h"
#include "doubles.h"
#include "support/process.h"

#include "common/util.h"

#include <Poco/Exception.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace doubles;
using testsupport::WaitUntil;

namespace {

const char kMixer[] = "#soundcard#mix#mic";

class RecordingSink : public StreamCoreSink {
public:
    void OnStreamCoreEvent(int id, int value) override { Add("event:" + std::to_string(id) + ":" + std::to_string(value)); }
    void OnPublishResult(int value, const char* name) override { Add("publish:" + std::to_string(value) + ":" + name); }
    void OnPlayResult(int value, const char* name) override { Add("play:" + std::to_string(value) + ":" + name); }

    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events.size();
    }

private:
    void Add(const std::string& e) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(e);
    }
    std::mutex m_mutex;
    std::vector<std::string> m_events;
};

// A video frame of the engine: 12-byte header, then payload bytes marked with n.
std::vector<unsigned char> VideoFrame(int payload, unsigned char n) {
    std::vector<unsigned char> f(12 + payload, n);
    f[0] = 0x80;
    f[1] = 0xE0;
    return f;
}

class EndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetAll();
        m_core = CreateStreamCore();
        ASSERT_NE(m_core, nullptr);
        ASSERT_TRUE(m_core->Initialize(nullptr, nullptr, nullptr, false));
        ASSERT_NE(Engine(), nullptr);
        ASSERT_NE(Rtmp(), nullptr);
    }
    void TearDown() override {
        if (m_core) DestroyStreamCore(m_core);
        m_core = nullptr;
    }
    IMediaTapSink* EngineSink() { return Engine()->Sink(); }
    IRtmpMgrSink* RtmpSink() { return Rtmp()->Sink(); }
    void SendVideo(const char* uniName, const std::vector<unsigned char>& f, bool key, unsigned ts) {
        EngineSink()->OnRtpVideoData(uniName, f.data(), static_cast<int>(f.size()), key, ts);
    }
    bool WaitSent(size_t n) {
        return WaitUntil([n] { return SentFrames().size() >= n; }, 10000);
    }

    IStreamCore* m_core = nullptr;
};

}  // namespace

// Record ids come from a process-wide counter, so this runs first in the binary.
TEST_F(EndpointTest, RecordIdsStartAtOneAndUnknownStopIsTrue) {
    SetEngineResult("GetVideoParamA", 640);
    SetEngineResult("GetVideoParamB", 360);
    int first = m_core->StartRecord("/tmp/a.mp4", "cam0", kMixer, true);
    int second = m_core->StartRecord("/tmp/b.mp4", "cam0", "mic0", false);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);
    auto calls = RecordCalls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0].op, "Open");
    EXPECT_EQ(calls[0].args, "/tmp/a.mp4,2,640,360,10,16,16000,1,10,1");
    // The mixer starts for the mixer source only, and a key frame is asked for.
    EXPECT_EQ(Calls().Count("StartEncodeMixer(#soundcard#mix#mic,96,16000,1)"), 1);
    EXPECT_EQ(Calls().Count("ForceKeyFrame(cam0)"), 2);

    EXPECT_TRUE(m_core->StopRecord(999));
    EXPECT_EQ(LiveRecorders(), 2);
    EXPECT_TRUE(m_core->StopRecord(first));
    EXPECT_EQ(LiveRecorders(), 1);
    calls = RecordCalls();
    EXPECT_EQ(calls[calls.size() - 2].op, "Close");
    EXPECT_EQ(calls.back().op, "Destroy");
    EXPECT_TRUE(m_core->StopRecord(first));  // again: unknown now, still true
    EXPECT_EQ(LiveRecorders(), 1);

    // A recorder that cannot open consumes no id and is destroyed.
    SetRecordOpenResult(false);
    EXPECT_EQ(m_core->StartRecord("/nonexistent/x.mp4", "cam0", kMixer, true), -1);
    EXPECT_EQ(LiveRecorders(), 1);
    SetRecordOpenResult(true);
    EXPECT_EQ(m_core->StartRecord("/tmp/c.mp4", "cam0", kMixer, true), 3);
    // UnInitialize closes and destroys what is left.
    m_core->UnInitialize();
    EXPECT_EQ(LiveRecorders(), 0);
}

TEST(EndpointFactoryTest, OneEndpointPerProcessEvenWhenCreatedFromTwoThreadsAtOnce) {
    for (int round = 0; round < 5; ++round) {
        std::atomic<bool> go{false};
        IStreamCore* seen[4] = {};
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([&, i] {
                while (!go) std::this_thread::yield();
                seen[i] = CreateStreamCore();
            });
        go = true;
        for (auto& t : threads) t.join();
        for (int i = 1; i < 4; ++i) EXPECT_EQ(seen[i], seen[0]);
        EXPECT_EQ(CreateStreamCore(), seen[0]);
        DestroyStreamCore(seen[0]);
    }
    // Without an Initialize the endpoint still tears down cleanly, and null is ignored.
    DestroyStreamCore(nullptr);
}

TEST(EndpointLifecycleTest, EverythingFailsSoftlyBeforeInitializeAndAfterUnInitialize) {
    ResetAll();
    IStreamCore* core = CreateStreamCore();
    char name[128] = {}, uni[128] = {};
    auto check = [&] {
        EXPECT_FALSE(core->OpenMic("mic"));
        EXPECT_FALSE(core->CloseMic());
        EXPECT_FALSE(core->AddVideoWindows("cam", nullptr));
        EXPECT_FALSE(core->RemoveVideoWindows("cam", nullptr));
        EXPECT_FALSE(core->RemoveAllVideoWindows("cam"));
        EXPECT_FALSE(core->GetCameraNames(0, name, uni));
        EXPECT_FALSE(core->OpenCamera("cam", nullptr, 1, 2, 3));
        EXPECT_EQ(core->GetCameraCount(), 0);
        EXPECT_EQ(core->GetMicVolume(), 0);
        EXPECT_EQ(core->StartTestMic("mic"), 0);
        EXPECT_FALSE(core->GetMuteStatus());
        EXPECT_FALSE(core->PublishVideoStream("rtmp://h/live/a", "cam", false));
        EXPECT_FALSE(core->PublishMixStream("rtmp://h/live/a", "cam", kMixer, 0));
        EXPECT_FALSE(core->ForceKeyFrame("rtmp://h/live/a"));
        EXPECT_FALSE(core->PlayStream("rtmp://h/live/p", nullptr));
        EXPECT_FALSE(core->ChangeRemoteVideoWindows("rtmp://h/live/p", nullptr));
        EXPECT_EQ(core->StartRecord("/tmp/x.mp4", "cam", kMixer, true), -1);
        core->StopPublish("rtmp://h/live/a");
        core->StopPlay("rtmp://h/live/p");
        core->SetMicVolume(3);
    };
    check();
    EXPECT_STREQ(core->EnumWindowList(), "{\"count\":0}\n");
    ASSERT_TRUE(core->Initialize(nullptr, nullptr, nullptr, false));
    ASSERT_TRUE(core->Initialize(nullptr, nullptr, nullptr, false));  // once is enough: nothing new made
    ASSERT_TRUE(core->UnInitialize());
    EXPECT_TRUE(core->UnInitialize());  // twice: true, nothing happens
    // The workers are gone for good: no second life for this endpoint.
    EXPECT_FALSE(core->Initialize(nullptr, nullptr, nullptr, false));
    check();
    EXPECT_STREQ(core->EnumWindowList(), "{\"count\":0}\n");
    // No worker ran anything for the calls after UnInitialize, and no collaborator was left.
    EXPECT_EQ(Engine(), nullptr);
    EXPECT_EQ(Rtmp(), nullptr);
    EXPECT_EQ(Calls().Count("OpenPublishUrl"), 0);
    EXPECT_EQ(LiveRecorders(), 0);
    DestroyStreamCore(core);
}

TEST(EndpointLifecycleTest, AFailedInitializeLeavesNothingHalfMadeAndALaterOneRepeatsTheSetUp) {
    ResetAll();
    IStreamCore* core = CreateStreamCore();
    SetEngineResult("CreateMediaTap", 1);
    EXPECT_THROW(core->Initialize(nullptr, nullptr, nullptr, false), Poco::AssertionViolationException);
    EXPECT_EQ(Rtmp(), nullptr);  // the RTMP manager made before the engine is gone again
    EXPECT_THROW(core->Initialize(nullptr, nullptr, nullptr, false), Poco::AssertionViolationException);
    EXPECT_EQ(core->PublishMixStream("rtmp://h/live/a", "cam", kMixer, 0), false);

    SetEngineResult("CreateMediaTap", 0);
    ASSERT_TRUE(core->Initialize(nullptr, nullptr, nullptr, false));
    ASSERT_NE(Engine(), nullptr);
    ASSERT_NE(Rtmp(), nullptr);
    // The event thread runs: a publish result reaches the sink.
    RecordingSink sink;
    core->SetSink(&sink);
    Rtmp()->Sink()->OnPublishEvent(1000, "room1", RTMP_PUBLISH_CONNECTED, nullptr, 0);
    EXPECT_TRUE(WaitUntil([&] { return sink.Count() == 1; }, 10000));
    core->SetSink(nullptr);
    DestroyStreamCore(core);
}

TEST_F(EndpointTest, PublishResultsAndPlayResultsReachTheSinkAsValues) {
    RecordingSink sink;
    m_core->SetSink(&sink);
    RtmpSink()->OnPublishEvent(1000, "room1", RTMP_PUBLISH_CONNECTED, nullptr, 0);
    RtmpSink()->OnPublishEvent(1000, "room1", RTMP_PUBLISH_CONNECT_FAILED, nullptr, 0);
    RtmpSink()->OnPublishEvent(1000, "room1", RTMP_PUBLISH_FAILED, nullptr, 0);
    RtmpSink()->OnPlayEvent(10000, "show", RTMP_PLAY_CONNECTED, nullptr, 0);
    RtmpSink()->OnPlayEvent(10000, "show", RTMP_PLAY_FAILED, nullptr, 0);
    ASSERT_TRUE(WaitUntil([&] { return sink.Count() >= 5; }, 10000));
    EXPECT_EQ(sink.Events(), (std::vector<std::string>{"publish:0:room1", "publish:-1:room1", "publish:-1:room1",
                                                        "play:0:show", "play:-1:show"}));
    m_core->SetSink(nullptr);
}

namespace {

// Every detail as "id:value:subject:text".
struct DetailLog final : IStreamCoreDetailSink {
    std::mutex lock;
    std::vector<std::string> seen;
    void OnStreamCoreDetail(int id, int value, const char* subject, const char* text) override {
        std::lock_guard<std::mutex> hold(lock);
        seen.push_back(std::to_string(id) + ":" + std::to_string(value) + ":" + subject + ":" + text);
    }
    size_t Count() {
        std::lock_guard<std::mutex> hold(lock);
        return seen.size();
    }
};

}  // namespace

TEST_F(EndpointTest, ARegisteredDetailSinkHearsResultsByFullUrl) {
    DetailLog details;
    RecordingSink sink;
    m_core->SetSink(&sink);
    m_core->SetDetailSink(&details);
    // Two publications whose URLs end in the same stream name.
    ASSERT_TRUE(m_core->PublishVideoStream("rtmp://one/live/lesson", "cam0", false));  // 1000
    ASSERT_TRUE(m_core->PublishVideoStream("rtmp://two/live/lesson", "cam0", false));  // 1001
    ASSERT_TRUE(m_core->PlayStream("rtmp://one/live/show", nullptr));                  // 10000
    RtmpSink()->OnPublishEvent(1001, "lesson", RTMP_PUBLISH_CONNECT_FAILED, nullptr, 0);
    RtmpSink()->OnPublishEvent(1000, "lesson", RTMP_PUBLISH_CONNECTED, nullptr, 0);
    RtmpSink()->OnPlayEvent(10000, "show", RTMP_PLAY_CONNECTED, nullptr, 0);
    ASSERT_TRUE(WaitUntil([&] { return details.Count() >= 3 && sink.Count() >= 3; }, 10000));
    EXPECT_EQ(details.seen, (std::vector<std::string>{"6001:-1:rtmp://two/live/lesson:", "6001:0:rtmp://one/live/lesson:",
                                                      "6002:0:rtmp://one/live/show:"}));
    // The three-slot sink hears the same results as before, by stream name.
    EXPECT_EQ(sink.Events(), (std::vector<std::string>{"publish:-1:lesson", "publish:0:lesson", "play:0:show"}));
    m_core->SetDetailSink(nullptr);
    m_core->SetSink(nullptr);
}

// The engine tells of a capture that ended by itself (from its own thread); the host hears
// which one and why, and the three-slot sink hears nothing of it.
TEST_F(EndpointTest, ASourceThatEndsByItselfIsNamedToTheDetailSink) {
    EXPECT_NE(Engine()->SinkFlags() & MEDIATAP_SINK_SOURCE_ENDED, 0);
    DetailLog details;
    RecordingSink sink;
    m_core->SetSink(&sink);
    m_core->SetDetailSink(&details);
    std::thread engineThread(
        [&] { EngineSink()->OnSourceEnded("#app#1#0x400001", "the connection to the X display was lost"); });
    engineThread.join();
    ASSERT_TRUE(WaitUntil([&] { return details.Count() >= 1; }, 10000));
    EXPECT_EQ(details.seen,
              (std::vector<std::string>{"6004:0:#app#1#0x400001:the connection to the X display was lost"}));
    EXPECT_EQ(sink.Count(), 0u);
    m_core->SetDetailSink(nullptr);
    m_core->SetSink(nullptr);
}

TEST_F(EndpointTest, EventsBeforeSetSinkAreLost) {
    RtmpSink()->OnPublishEvent(1000, "early", RTMP_PUBLISH_CONNECTED, nullptr, 0);
    // The event thread drops it once dispatched; give it time to do so.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    RecordingSink sink;
    m_core->SetSink(&sink);
    RtmpSink()->OnPublishEvent(1000, "late", RTMP_PUBLISH_CONNECTED, nullptr, 0);
    ASSERT_TRUE(WaitUntil([&] { return sink.Count() >= 1; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(sink.Events(), std::vector<std::string>{"publish:0:late"});
    m_core->SetSink(nullptr);
}

TEST_F(EndpointTest, PendingEventsAreDroppedByUnInitialize) {
    RecordingSink sink;
    m_core->SetSink(&sink);
    // Delivery is paced at about one event per millisecond, so most of these are still
    // queued when UnInitialize runs.
    const int kEvents = 3000;
    for (int i = 0; i < kEvents; ++i) RtmpSink()->OnPublishEvent(1000, "s", RTMP_PUBLISH_CONNECTED, nullptr, 0);
    ASSERT_TRUE(m_core->UnInitialize());
    size_t delivered = sink.Count();
    EXPECT_LT(delivered, static_cast<size_t>(kEvents));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sink.Count(), delivered);
}

TEST_F(EndpointTest, PublishTwiceOpensOneStream) {
    EXPECT_TRUE(m_core->PublishVideoStream("rtmp://h/live/a", "cam0", false));
    EXPECT_TRUE(m_core->PublishVideoStream("rtmp://h/live/a", "cam0", true));
    EXPECT_TRUE(m_core->PublishAudioStream("rtmp://h/live/b", "mic0", true));
    EXPECT_EQ(Calls().Count("OpenPublishUrl("), 2);
    EXPECT_EQ(Calls().Count("OpenPublishUrl(1000,rtmp://h/live/a,0)"), 1);
    EXPECT_EQ(Calls().Count("OpenPublishUrl(1001,rtmp://h/live/b,1)"), 1);
    // Video publishing prepares the source and starts its encoder when it is not running.
    EXPECT_EQ(Calls().Count("PrepareVideoPublish(cam0)"), 1);
    EXPECT_EQ(Calls().Count("StartEncodeVideo(cam0,640,480)"), 1);
    EXPECT_EQ(Calls().Count("PrepareVideoPublish(mic0)"), 0);
}

TEST_F(EndpointTest, EncoderThatWillNotStartFailsThePublishAndRegistersNothing) {
    SetEngineResult("StartEncodeVideo", -1);
    EXPECT_FALSE(m_core->PublishVideoStream("rtmp://h/live/a", "cam0", false));
    EXPECT_FALSE(m_core->PublishMixStream("rtmp://h/live/a", "cam0", kMixer, 0));
    EXPECT_EQ(Calls().Count("OpenPublishUrl"), 0);
    EXPECT_EQ(Calls().Count("StartEncodeMixer"), 0);
    // An encoder already running is not started again.
    SetEngineResult("IsVideoEncoding", 1);
    EXPECT_TRUE(m_core->PublishVideoStream("rtmp://h/live/a", "cam0", false));
    EXPECT_EQ(Calls().Count("OpenPublishUrl(1000,rtmp://h/live/a,0)"), 1);
}

TEST_F(EndpointTest, MixedPublishStartsTheMixerOnlyForTheMixerSource) {
    EXPECT_TRUE(m_core->PublishMixStream("rtmp://h/live/a", "app0", "mic0", 2));
    EXPECT_EQ(Calls().Count("StartEncodeMixer"), 0);
    EXPECT_EQ(Calls().Count("OpenPublishUrl(1000,rtmp://h/live/a,2)"), 1);
    EXPECT_TRUE(m_core->PublishMixStream("rtmp://h/live/b", "app0", kMixer, 1));
    EXPECT_EQ(Calls().Count("StartEncodeMixer(#soundcard#mix#mic,96,16000,1)"), 1);
    EXPECT_EQ(Calls().Count("OpenPublishUrl(1001,rtmp://h/live/b,1)"), 1);
}

TEST_F(EndpointTest, TwoUrlsWithOneVideoSourceGetEveryFrameInUrlOrder) {
    // "b" is published first but sorts second.
    ASSERT_TRUE(m_core->PublishVideoStream("rtmp://h/live/b", "cam0", false));  // id 1000
    ASSERT_TRUE(m_core->PublishVideoStream("rtmp://h/live/a", "cam0", false));  // id 1001
    ASSERT_TRUE(m_core->PublishVideoStream("rtmp://h/live/c", "other", false));
    const int kFrames = 200;
    for (int i = 0; i < kFrames; ++i) SendVideo("cam0", VideoFrame(20 + i, static_cast<unsigned char>(i)), i % 30 == 0, 1000u + i);
    ASSERT_TRUE(WaitSent(2 * kFrames));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto sent = SentFrames();
    ASSERT_EQ(sent.size(), static_cast<size_t>(2 * kFrames));
    for (int i = 0; i < kFrames; ++i) {
        for (int k = 0; k < 2; ++k) {
            const SentFrame& f = sent[2 * i + k];
            EXPECT_EQ(f.id, k == 0 ? 1001 : 1000) << i;
            EXPECT_FALSE(f.audio);
            ASSERT_EQ(f.len, 20 + i);  // the 12-byte header is not sent
            EXPECT_EQ(f.timestamp, 1000u + i);
            EXPECT_EQ(f.keyFrame, i % 30 == 0);
            EXPECT_EQ(f.bytes.front(), static_cast<unsigned char>(i));
        }
    }
}

TEST_F(EndpointTest, TwelveByteVideoFrameIsSentWithLengthZeroAndShorterOnesNotAtAll) {
    ASSERT_TRUE(m_core->PublishVideoStream("rtmp://h/live/a", "cam0", false));
    SendVideo("cam0", VideoFrame(0, 1), true, 5);
    std::vector<unsigned char> tiny(5, 0);
    SendVideo("cam0", tiny, false, 6);
    SendVideo("cam0", VideoFrame(3, 2), false, 7);
    ASSERT_TRUE(WaitSent(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto sent = SentFrames();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].len, 0);
    EXPECT_EQ(sent[0].timestamp, 5u);
    EXPECT_EQ(sent[1].len, 3);
}

TEST_F(EndpointTest, AacHeaderReachesEveryPublicationOnceAndAgainForANewMixedPublish) {
    ASSERT_TRUE(m_core->PublishMixStream("rtmp://h/live/b", "app0", kMixer, 0));  // 1000
    ASSERT_TRUE(m_core->PublishMixStream("rtmp://h/live/a", "app0", kMixer, 0));  // 1001, first in URL order
    const unsigned char aac[] = {1, 2, 3, 4};
    // Audio before the engine reported a header: no header sent.
    EngineSink()->OnMixerAudioDataAt(kMixer, aac, sizeof aac, 77);
    ASSERT_TRUE(WaitSent(2));
    EXPECT_TRUE(AacHeadersSent().empty());
    char header[] = {0x14, 0x08};
    EngineSink()->OnMixerAudioHeaderData(kMixer, header, 2);
    for (int i = 0; i < 5; ++i) EngineSink()->OnMixerAudioDataAt(kMixer, aac, sizeof aac, 77);
    ASSERT_TRUE(WaitSent(12));
    // Both publications of the mixer got it, once each.
    EXPECT_EQ(AacHeadersSent(), (std::vector<std::string>{"1001:1408", "1000:1408"}));
    // A new mixed publish hands it to every publication again, the new one included.
    ASSERT_TRUE(m_core->PublishMixStream("rtmp://h/live/c", "app0", kMixer, 0));
    EngineSink()->OnMixerAudioDataAt(kMixer, aac, sizeof aac, 77);
    EngineSink()->OnMixerAudioDataAt(kMixer, aac, sizeof aac, 77);
    ASSERT_TRUE(WaitSent(18));
    EXPECT_EQ(AacHeadersSent(), (std::vector<std::string>{"1001:1408", "1000:1408", "1001:1408", "1000:1408",
                                                         "1002:1408"}));
    auto sent = SentFrames();
    EXPECT_TRUE(sent.back().audio);
    EXPECT_TRUE(sent.back().keyFrame);  // audio type 1 (AAC)
    EXPECT_EQ(sent.back().len, 4);
    EXPECT_EQ(sent.back().timestamp, 77u);  // the engine's capture time, unchanged
}

TEST_F(EndpointTest, MixerAudioFromAnEngineWithoutCaptureTimesIsStampedOnArrival) {
    // An engine built against the three-argument slot calls only that one.
    ASSERT_TRUE(m_core->PublishMixStream("rtmp://h/live/a", "app0", kMixer, 0));
    const unsigned char aac[] = {5, 6, 7};
    const auto before = static_cast<uint32_t>(Orvane::Common::ovGetTickCount());
    EngineSink()->OnMixerAudioData(kMixer, aac, sizeof aac);
    const auto after = static_cast<uint32_t>(Orvane::Common::ovGetTickCount());
    ASSERT_TRUE(WaitSent(1));
    const SentFrame f = SentFrames().front();
    EXPECT_TRUE(f.audio);
    EXPECT_EQ(f.len, 3);
    EXPECT_LE(f.timestamp - before, after - before) << "stamped with the time it arrived";
}

TEST_F(EndpointTest, OversizedMixerHeaderAndOverlongUniNameAreRefused) {
    ASSERT_TRUE(m_core->PublishMixStream("rtmp://h/live/a", "app0", kMixer, 0));
    char big[12];
    std::memset(big, 0x55, sizeof big);
    EngineSink()->OnMixerAudioHeaderData(kMixer, big, 12);
    std::string longName(128, 'x');
    const unsigned char aac[] = {9, 9};
    EngineSink()->OnMixerAudioDataAt(longName.c_str(), aac, 2, 1);
    auto f = VideoFrame(4, 1);
    EngineSink()->OnRtpVideoData(longName.c_str(), f.data(), static_cast<int>(f.size()), true, 1);
    EngineSink()->OnMixerAudioDataAt(kMixer, aac, 2, 1);
    ASSERT_TRUE(WaitSent(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(SentFrames().size(), 1u);
    EXPECT_TRUE(AacHeadersSent().empty());
    char ok[] = {0x12, 0x10};
    EngineSink()->OnMixerAudioHeaderData(kMixer, ok, 2);
    EngineSink()->OnMixerAudioDataAt(kMixer, aac, 2, 1);
    ASSERT_TRUE(WaitSent(2));
    EXPECT_EQ(AacHeadersSent(), std::vector<std::string>{"1000:1210"});
}

TEST_F(EndpointTest, AnEngineWithoutTheBitrateSlotIsNeverCalledThere) {
    ASSERT_TRUE(m_core->PublishVideoStream("rtmp://h/live/a", "cam0", false));
    ASSERT_TRUE(m_core->PublishVideoStream("rtmp://h/live/b", "cam1", false));
    IRtmpLinkSink* links = Rtmp()->LinkSink();
    ASSERT_NE(links, nullptr);
    RtmpLinkReport report;
    report.ackedKbps = 100;
    report.congested = true;
    SetEngineResult("MediaTapSlotCount", 63);
    links->OnPublishLink(1000, "rtmp://h/live/a", report);
    EXPECT_TRUE(m_core->PublishVideoStream("rtmp://h/live/z", "zz", false));  // flushes the control thread
    EXPECT_EQ(Calls().Count("SetVideoBitrate"), 0);
    SetEngineResult("MediaTapSlotCount", 64);
    links->OnPublishLink(1001, "rtmp://h/live/b", report);
    EXPECT_TRUE(WaitUntil([] { return Calls().Count("SetVideoBitrate(cam1,0)") == 1; }, 10000));
}

TEST_F(EndpointTest, StopPublishClosesTheStreamAndForceKeyFrameNeedsARegisteredUrl) {
    EXPECT_FALSE(m_core->ForceKeyFrame("rtmp://h/live/a"));
    EXPECT_EQ(Calls().Count("ForceKeyFrame"), 0);
    ASSERT_TRUE(m_core->PublishMixStream("rtmp://h/live/a", "app0", kMixer, 0));
    EXPECT_TRUE(m_core->ForceKeyFrame("rtmp://h/live/a"));
    EXPECT_EQ(Calls().Count("ForceKeyFrame(app0)"), 1);
    SetEngineResult("ForceKeyFrame", -1);
    EXPECT_FALSE(m_core->ForceKeyFrame("rtmp://h/live/a"));
    m_core->StopPublish("rtmp://h/live/nothing");
    m_core->StopPublish("rtmp://h/live/a");
    ASSERT_TRUE(WaitUntil([] { return Calls().Count("ClosePublish(1000)") == 1; }, 10000));
    // Frames of the source now go to no publisher; encoders and the mixer were left running.
    SendVideo("app0", VideoFrame(4, 1), true, 1);
    EXPECT_TRUE(m_core->PublishVideoStream("rtmp://h/live/z", "zz", false));  // flushes the control thread
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(SentFrames().empty());
    EXPECT_EQ(Calls().Count("StopEncodeMixer"), 0);
    EXPECT_EQ(Calls().Count("StopEncodeVideo"), 0);
    // After a stop the URL can be published again.
    EXPECT_TRUE(m_core->PublishMixStream("rtmp://h/live/a", "app0", kMixer, 0));
    EXPECT_EQ(Calls().Count("OpenPublishUrl(1002,rtmp://h/live/a,0)"), 1);
}

TEST_F(EndpointTest, TwoRecordingsOfOneSourceGetEveryFrameWithTheHeaderBeforeEachAudioFrame) {
    SetEngineResult("GetVideoParamA", 320);
    SetEngineResult("GetVideoParamB", 240);
    int r1 = m_core->StartRecord("/tmp/r1.mp4", "cam0", kMixer, true);
    int r2 = m_core->StartRecord("/tmp/r2.mp4", "cam0", "mic9", true);
    ASSERT_GT(r1, 0);
    ASSERT_GT(r2, 0);
    char header[] = {0x14, 0x08};
    EngineSink()->OnMixerAudioHeaderData(kMixer, header, 2);
    // Nothing is published: frames still pass to recording.
    const int kFrames = 50;
    for (int i = 0; i < kFrames; ++i) SendVideo("cam0", VideoFrame(8, static_cast<unsigned char>(i)), i == 0, 100 + i);
    const unsigned char aac[] = {7, 7, 7};
    EngineSink()->OnMixerAudioDataAt(kMixer, aac, 3, 123);
    auto writes = [](int serial, const std::string& op) {
        int n = 0;
        for (const auto& c : RecordCalls())
            if (c.recorder == serial && c.op == op) ++n;
        return n;
    };
    auto calls = RecordCalls();
    int s1 = calls[0].recorder, s2 = calls[1].recorder;
    ASSERT_TRUE(WaitUntil([&] { return writes(s1, "WriteAudio") == 1 && writes(s2, "WriteVideo") == kFrames; }, 10000));
    EXPECT_EQ(writes(s1, "WriteVideo"), kFrames);
    EXPECT_EQ(writes(s2, "WriteAudio"), 0);
    calls = RecordCalls();
    std::vector<RecordCall> mine;
    for (const auto& c : calls)
        if (c.recorder == s1 && (c.op == "WriteVideo" || c.op == "WriteAudio" || c.op == "SetAudioHeader")) mine.push_back(c);
    ASSERT_EQ(mine.size(), static_cast<size_t>(kFrames + 2));
    for (int i = 0; i < kFrames; ++i) {
        EXPECT_EQ(mine[i].len, 8);  // header stripped
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", i);
        std::string payload;
        for (int k = 0; k < 8; ++k) payload += hex;
        EXPECT_EQ(mine[i].args, std::string(i == 0 ? "1:" : "0:") + payload) << i;
    }
    EXPECT_EQ(mine[kFrames].op, "SetAudioHeader");
    EXPECT_EQ(mine[kFrames].args, "1408");
    EXPECT_EQ(mine[kFrames + 1].op, "WriteAudio");
    EXPECT_EQ(mine[kFrames + 1].args, "2:070707");
    // Times are the frames' own capture times, as the engine gave them.
    for (int i = 0; i < kFrames; ++i) EXPECT_EQ(mine[i].time, 100u + i);
    EXPECT_EQ(mine[kFrames + 1].time, 123u);
    EXPECT_TRUE(m_core->StopRecord(r1));
    EXPECT_TRUE(m_core->StopRecord(r2));
}

TEST_F(EndpointTest, DeviceCallsPassThroughWithTheirResultConventions) {
    char name[128] = {}, uni[128] = {};
    SetEngineResult("GetCameraCount", 3);
    SetEngineResult("GetMicphoneCount", -5);
    SetEngineResult("GetMicVolume", 42);
    SetEngineResult("StartTestSpeaker", 17);
    EXPECT_EQ(m_core->GetCameraCount(), 3);
    EXPECT_EQ(m_core->GetMicphoneCount(), -5);  // int results are passed unchanged
    EXPECT_EQ(m_core->GetMicVolume(), 42);
    EXPECT_EQ(m_core->StartTestSpeaker("spk", "/tmp/t.wav"), 17);
    EXPECT_EQ(Calls().Count("StartTestSpeaker(spk,/tmp/t.wav)"), 1);
    EXPECT_TRUE(m_core->GetCameraNames(0, name, uni));
    EXPECT_STREQ(uni, "cam0");
    EXPECT_TRUE(m_core->OpenMic("mic"));
    SetEngineResult("OpenMic", 1);
    EXPECT_FALSE(m_core->OpenMic("mic"));  // ok means exactly 0
    SetEngineResult("CloseMic", -1);
    EXPECT_FALSE(m_core->CloseMic());

    // OpenCamera: no preview window without a window; a failing preview fails the call.
    EXPECT_TRUE(m_core->OpenCamera("cam0", nullptr, 640, 480, 15));
    EXPECT_EQ(Calls().Count("OpenCamera(cam0,640,480,15)"), 1);
    EXPECT_EQ(Calls().Count("AddVideoWindow"), 0);
    SetEngineResult("AddVideoWindow", 2);
    EXPECT_FALSE(m_core->OpenCamera("cam0", reinterpret_cast<void*>(0x2a), 640, 480, 15));
    EXPECT_EQ(Calls().Count("AddVideoWindow(cam0,42)"), 1);
    EXPECT_FALSE(m_core->AddVideoWindows("cam0", reinterpret_cast<void*>(0x2a)));

    // The application capture's arguments: the four rectangle values are 0.
    char out[128] = {};
    EXPECT_TRUE(m_core->StartCaptureApplication(nullptr, true, reinterpret_cast<void*>(0x99), 1500, 1280, 720, out, 15));
    EXPECT_EQ(Calls().Count("StartCaptureApplication(153,1,0,0,0,0,1500,1280,720,15)"), 1);
    EXPECT_STREQ(out, "app0");

    // Picture with pixel data: false even though the engine took it; the other form: true.
    EXPECT_FALSE(m_core->SetCapturePicture("pic", reinterpret_cast<unsigned char*>(out), 5, 6));
    EXPECT_EQ(Calls().Count("SetCapturePicture(pic,320,240,1)"), 1);
    EXPECT_TRUE(m_core->SetCapturePicture("a", "b", 1, 2));

    // Mute status is asked for with the flag preset to false.
    EXPECT_FALSE(m_core->GetMuteStatus());
    EXPECT_EQ(Calls().Count("GetMuteStatus(preset-false)"), 1);
    SetEngineResult("GetMuteStatus", 7);
    EXPECT_TRUE(m_core->GetMuteStatus());

    // Pause and continue: only -1 is failure.
    SetEngineResult("StopEncodeVideo", 5);
    EXPECT_TRUE(m_core->PauseVideoEncode("cam0"));
    SetEngineResult("StopEncodeVideo", -1);
    EXPECT_FALSE(m_core->PauseVideoEncode("cam0"));
    SetEngineResult("StartEncodeVideo", -1);
    EXPECT_FALSE(m_core->ContinueVideoEncode("cam0"));
    SetEngineResult("IsVideoEncoding", 1);
    EXPECT_FALSE(m_core->IsPublishPause("cam0"));
    SetEngineResult("IsVideoEncoding", 0);
    EXPECT_TRUE(m_core->IsPublishPause("cam0"));
}

TEST_F(EndpointTest, WindowListJsonCountsNullEntriesAndWritesLargeHandlesNegative) {
    SetWindowList({{true, 0x1e0, "desktop", "desktop"},
                   {false, 0, "", ""},
                   {true, 0x80000010ul, "Editor", "/usr/bin/ed"}});
    std::string text = m_core->EnumWindowList();
    EXPECT_EQ(text,
              "{\"count\":3,\"windowList\":[{\"filePath\":\"desktop\",\"hWnd\":480,\"windowName\":\"desktop\"},"
              "{\"filePath\":\"/usr/bin/ed\",\"hWnd\":-2147483632,\"windowName\":\"Editor\"}]}\n");
    SetWindowList({});
    EXPECT_STREQ(m_core->EnumWindowList(), "{\"count\":0}\n");
}

TEST_F(EndpointTest, PlayRoutesFramesToTheEngineChannelsUntilStopped) {
    ASSERT_TRUE(m_core->PlayStream("rtmp://h/live/p", reinterpret_cast<void*>(0x5)));
    ASSERT_TRUE(m_core->PlayStream("rtmp://h/live/p", reinterpret_cast<void*>(0x5)));
    EXPECT_EQ(Calls().Count("OpenPlayUrl(10000,77,55,rtmp://h/live/p)"), 1);
    EXPECT_EQ(Calls().Count("OpenPlayUrl"), 1);
    unsigned char frame[20] = {};
    RtmpSink()->OnPlayVideoData(10000, 77, frame, 20, true);
    RtmpSink()->OnPlayAudioData(10000, 55, frame, 15);
    RtmpSink()->OnPlayAudioData(12345, 55, frame, 15);  // unknown play id: dropped
    ASSERT_TRUE(WaitUntil([] { return Calls().Count("PlayRemoteAudioData(55,15)") == 1; }, 10000));
    EXPECT_EQ(Calls().Count("PlayRemoteVideoData(77,20)"), 1);
    EXPECT_TRUE(m_core->ChangeRemoteVideoWindows("rtmp://h/live/p", reinterpret_cast<void*>(0x6)));
    EXPECT_FALSE(m_core->ChangeRemoteVideoWindows("rtmp://h/live/q", reinterpret_cast<void*>(0x6)));
    m_core->StopPlay("rtmp://h/live/p");
    ASSERT_TRUE(WaitUntil([] { return Calls().Count("CloseRemoteVideo(77)") == 1; }, 10000));
    auto lines = Calls().Lines();
    auto pos = [&](const std::string& s) { return std::find(lines.begin(), lines.end(), s) - lines.begin(); };
    EXPECT_LT(pos("ClosePlay(10000)"), pos("CloseRemoteAudio(55)"));
    EXPECT_LT(pos("CloseRemoteAudio(55)"), pos("CloseRemoteVideo(77)"));
    RtmpSink()->OnPlayVideoData(10000, 77, frame, 20, true);
    // Synchronous calls are served ahead of queued ones, so this one proves nothing about the
    // frame just queued; the pause lets the play threads run it.
    EXPECT_FALSE(m_core->ChangeRemoteVideoWindows("rtmp://h/live/p", nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Calls().Count("PlayRemoteVideoData"), 1);
}

TEST_F(EndpointTest, StopPlayClosesTheChannelsOnlyAfterTheFramesAlreadyOnTheirWay) {
    ASSERT_TRUE(m_core->PlayStream("rtmp://h/live/p", nullptr));
    // A slow engine: most frames still wait on the play data thread when StopPlay runs.
    SetRemoteDataDelayMs(10);
    unsigned char frame[40] = {};
    for (int i = 0; i < 30; ++i) {
        RtmpSink()->OnPlayVideoData(10000, 77, frame, 40, i == 0);
        RtmpSink()->OnPlayAudioData(10000, 55, frame, 20);
    }
    m_core->StopPlay("rtmp://h/live/p");
    ASSERT_TRUE(WaitUntil([] { return RemoteCount("CloseRemoteVideo", 77) == 1; }, 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // Everything that was looked up went to the open channels, nothing came after the close.
    const std::vector<RemoteCall> calls = RemoteCalls();
    int data = 0;
    bool closed = false;
    for (const RemoteCall& c : calls) {
        if (c.op == "CloseRemoteAudio") closed = true;
        if (c.op == "PlayRemoteVideoData" || c.op == "PlayRemoteAudioData") {
            ++data;
            EXPECT_FALSE(closed) << c.op << " after the channels were closed";
        }
    }
    EXPECT_EQ(data, 60);
    EXPECT_EQ(RemoteCount("CloseRemoteAudio", 55), 1);
}

TEST_F(EndpointTest, ReceivedFramesWaitingForABusyEngineAreBoundedAndDeliveryResumes) {
    ASSERT_TRUE(m_core->PlayStream("rtmp://h/live/p", nullptr));
    // The engine takes nothing while 160 MB arrive; at most 64 MB of them may wait for it.
    HoldRemoteData(true);
    std::vector<unsigned char> big(1 << 20, 7);
    for (int i = 0; i < 160; ++i) RtmpSink()->OnPlayVideoData(10000, 77, big.data(), static_cast<int>(big.size()), i == 0);
    HoldRemoteData(false);
    unsigned char small[40] = {};
    // Once the backlog is gone, frames are taken again.
    ASSERT_TRUE(WaitUntil([&] {
        RtmpSink()->OnPlayAudioData(10000, 55, small, 40);
        return RemoteCount("PlayRemoteAudioData", 55) > 0;
    }, 30000));
    const int delivered = RemoteCount("PlayRemoteVideoData", 77);
    EXPECT_GE(delivered, 32);
    EXPECT_LE(delivered, 64);
    for (const RemoteCall& c : RemoteCalls()) {
        if (c.op == "PlayRemoteVideoData") {
            EXPECT_EQ(c.len, 1 << 20);
        }
    }
}

TEST_F(EndpointTest, FramesRacingUnInitializeAreDroppedSafely) {
    ASSERT_TRUE(m_core->PublishMixStream("rtmp://h/live/a", "app0", kMixer, 0));
    IMediaTapSink* engineSink = EngineSink();
    IRtmpMgrSink* rtmpSink = RtmpSink();
    std::atomic<bool> stop{false};
    // The engine double stays alive while a feeder thread keeps posting, like an engine whose
    // callbacks are still in flight.
    std::thread feeder([&] {
        auto f = VideoFrame(100, 3);
        unsigned char p[30] = {};
        while (!stop) {
            engineSink->OnRtpVideoData("app0", f.data(), static_cast<int>(f.size()), false, 1);
            rtmpSink->OnPlayVideoData(10000, 1, p, 30, false);
            rtmpSink->OnPublishEvent(1000, "a", RTMP_PUBLISH_CONNECTED, nullptr, 0);
        }
    });
    ASSERT_TRUE(WaitSent(20));
    EXPECT_TRUE(m_core->UnInitialize());
    stop = true;
    feeder.join();
}

TEST(EndpointLoggingTest, LogLinesGoToTheLogFolderOnlyWhenLoggingIsOn) {
    ResetAll();
    {
        testsupport::TempDir dir("sc_nolog");
        IStreamCore* core = CreateStreamCore();
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        ASSERT_TRUE(core->Initialize(nullptr, nullptr, nullptr, false));
        core->OpenMic("mic");
        DestroyStreamCore(core);
        EXPECT_FALSE(testsupport::FileExists(dir.file("log")));
        ASSERT_EQ(chdir("/"), 0);
    }
    testsupport::TempDir dir("sc_log");
    IStreamCore* core = CreateStreamCore();
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    ASSERT_TRUE(core->Initialize(nullptr, nullptr, nullptr, true));
    RecordingSink sink;
    core->SetSink(&sink);
    // One event delivered: the event loop is running, so its exit line must follow.
    Rtmp()->Sink()->OnPublishEvent(1000, "s", RTMP_PUBLISH_CONNECTED, nullptr, 0);
    ASSERT_TRUE(WaitUntil([&] { return sink.Count() == 1; }, 10000));
    core->OpenMic("mic7");
    core->OpenCamera("cam3", nullptr, 1, 2, 3);
    EXPECT_TRUE(core->PublishMixStream("rtmp://h/live/a", "app0", kMixer, 0));
    std::string longName(300, 'q');
    auto f = VideoFrame(4, 1);
    Engine()->Sink()->OnRtpVideoData(longName.c_str(), f.data(), static_cast<int>(f.size()), true, 1);
    EXPECT_TRUE(core->PlayStream("rtmp://h/live/p", nullptr));
    core->StopPlay("rtmp://h/live/p");
    ASSERT_TRUE(WaitUntil([] { return Calls().Count("CloseRemoteVideo") == 1; }, 10000));
    ASSERT_TRUE(core->UnInitialize());
    DestroyStreamCore(core);
    ASSERT_EQ(chdir("/"), 0);
    std::string text;
    std::string out = testsupport::RunCapture({"sh", "-c", "cat \"$0\"/log/*", dir.path()});
    for (const char* line : {"LiveMediaEndpoint:", "Initialize!", "Initialize end!", "SetSink", "SetSink end",
                             "OpenMic uniName = mic7", "OpenCamera uniName = cam3", "OpenCamera uniName = cam3 end",
                             "SlotPublishMixStream video:app0 audio.#soundcard#mix#mic",
                             "stop play enter!", "stop play leave!",
                             "OnRtpVideoData frame refused (uniName missing or longer than 127 characters), 1 so far",
                             "LiveMediaEndpoint UnInitialize!", "LiveMediaEndpoint UnInitialize! 2",
                             "LiveMediaEndpoint UnInitialize! 3", "LiveEndpoint::run exit time = ",
                             "LiveMediaEndpoint UnInitialize! end"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
}
