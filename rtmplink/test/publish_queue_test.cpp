// The publisher's queue rules, time bases and flags, with a connection double that records
// what would go on the wire and can hold or fail sends.
#include "rtmp_mgr.h"
#include "rtmp_publish.h"
#include "rtmp_session.h"

#include "media.h"

#include "support/process.h"

#include "common/slogger.h"

#include <Poco/Exception.h>

#include <gtest/gtest.h>

#include <errno.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

using namespace rtmptest;
using Bytes = std::vector<uint8_t>;

namespace {

struct Sent {
    int type;
    uint32_t timestamp;
    int streamId;
    Bytes body;
};

// State shared by the test and the double (which the publisher owns).
struct Wire {
    std::mutex lock;
    std::condition_variable changed;
    bool gateOpen = true;
    bool blockedInSend = false;
    bool open = false;
    bool exists = false;
    int failNextSendWith = 0;
    bool refuseConnects = false;
    int connects = 0;
    bool aborted = false;
    std::vector<Sent> sent;

    std::vector<Sent> Media() {
        std::lock_guard<std::mutex> g(lock);
        return sent;
    }
    void SetGate(bool isOpen) {
        std::lock_guard<std::mutex> g(lock);
        gateOpen = isOpen;
        changed.notify_all();
    }
    bool WaitBlocked() {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, std::chrono::seconds(10), [&] { return blockedInSend; });
    }
    bool WaitSent(size_t n) {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, std::chrono::seconds(10), [&] { return sent.size() >= n; });
    }
};

class FakeConnection : public rtmplink::IRtmpConnection {
public:
    explicit FakeConnection(std::shared_ptr<Wire> wire) : m_wire(std::move(wire)) {}
    bool Exists() const override {
        std::lock_guard<std::mutex> g(m_wire->lock);
        return m_wire->exists;
    }
    void Create(int) override { Set(&Wire::exists, true); }
    bool SetupURL(const std::string&) override { return true; }
    void EnableWrite() override {}
    bool Connect() override {
        std::lock_guard<std::mutex> g(m_wire->lock);
        ++m_wire->connects;
        m_wire->open = !m_wire->refuseConnects;
        return m_wire->open;
    }
    bool ConnectStream() override { return true; }
    bool IsOpen() override {
        std::lock_guard<std::mutex> g(m_wire->lock);
        return m_wire->open;
    }
    bool SendPacket(RTMPPacket* packet, bool) override {
        std::unique_lock<std::mutex> g(m_wire->lock);
        if (packet->m_packetType != RTMP_PACKET_TYPE_AUDIO && packet->m_packetType != RTMP_PACKET_TYPE_VIDEO) return true;
        m_wire->blockedInSend = !m_wire->gateOpen;
        m_wire->changed.notify_all();
        m_wire->changed.wait(g, [&] { return m_wire->gateOpen || m_wire->aborted; });
        m_wire->blockedInSend = false;
        if (m_wire->failNextSendWith) {
            m_error = m_wire->failNextSendWith;
            m_wire->failNextSendWith = 0;
            m_wire->open = false;
            return false;
        }
        m_wire->sent.push_back(Sent{packet->m_packetType, packet->m_nTimeStamp, packet->m_nInfoField2,
                                    Bytes(packet->m_body, packet->m_body + packet->m_nBodySize)});
        m_wire->changed.notify_all();
        return true;
    }
    void SetOutChunkSize(int) override {}
    int StreamId() override { return 1; }
    int LastError() override { return m_error; }
    int Socket() override { return 7; }
    void Close() override { Set(&Wire::open, false); }
    void Destroy() override {
        std::lock_guard<std::mutex> g(m_wire->lock);
        m_wire->open = false;
        m_wire->exists = false;
    }
    void Abort() override { Set(&Wire::aborted, true); }

private:
    void Set(bool Wire::*field, bool value) {
        std::lock_guard<std::mutex> g(m_wire->lock);
        (*m_wire).*field = value;
        m_wire->changed.notify_all();
    }
    std::shared_ptr<Wire> m_wire;
    int m_error = 0;
};

const Bytes kSps = {0x67, 0x64, 0x00, 0x1F, 0xAC};
const Bytes kPps = {0x68, 0xEB, 0xE3};
const Bytes kPps2 = {0x68, 0xEB, 0xE4};

Bytes KeyFrame(const Bytes& pps, uint8_t tag) {
    Bytes f = {0, 0, 0, 1};
    f.insert(f.end(), kSps.begin(), kSps.end());
    f.insert(f.end(), {0, 0, 0, 1});
    f.insert(f.end(), pps.begin(), pps.end());
    f.insert(f.end(), {0, 0, 0, 1, 0x65, tag});
    return f;
}

Bytes InterFrame(uint8_t tag) { return {0, 0, 0, 1, 0x41, tag}; }

// Which message a body is: "SEQ", "K<tag>", "P<tag>", "AACHDR", "A<tag>".
std::string Name(const Sent& s) {
    const Bytes& b = s.body;
    if (s.type == RTMP_PACKET_TYPE_AUDIO) {
        if (b.size() >= 2 && b[0] == 0xAF && b[1] == 0x00) return "AACHDR";
        return "A" + std::to_string(b.back());
    }
    if (b.size() >= 2 && b[1] == 0x00) return "SEQ";
    return std::string(b[0] == 0x17 ? "K" : "P") + std::to_string(b.back());
}

std::vector<std::string> Names(const std::vector<Sent>& sent) {
    std::vector<std::string> out;
    for (const Sent& s : sent) out.push_back(Name(s));
    return out;
}

class PublishQueue : public ::testing::Test {
protected:
    void SetUp() override {
        wire = std::make_shared<Wire>();
        publisher.reset(new RtmpPublish(&mgr, std::unique_ptr<rtmplink::IRtmpConnection>(new FakeConnection(wire))));
        ASSERT_TRUE(publisher->OpenUrl(1000, true, "uni", "rtmp://host/live/name", &sink, 0));
        ASSERT_TRUE(sink.WaitFor(RTMP_PUBLISH_CONNECTED, 1, 10000));
    }
    void TearDown() override {
        wire->SetGate(true);
        publisher->Close();
    }
    void Video(const Bytes& frame, uint32_t ts, bool key) {
        Bytes copy = frame;
        publisher->PublishVideoRtmpData(copy.data(), static_cast<int>(copy.size()), ts, key);
    }
    void Audio(int type, uint8_t tag, uint32_t ts) {
        Bytes frame = {0x21, tag};
        publisher->PublishAudioRtmpData(type, frame.data(), static_cast<int>(frame.size()), ts);
    }
    // Holds the wire with one audio frame in flight.
    void HoldWire() {
        wire->SetGate(false);
        Audio(0, 99, 0);
        ASSERT_TRUE(wire->WaitBlocked());
    }

    CRtmpMgr mgr;
    RecordingSink sink;
    std::shared_ptr<Wire> wire;
    std::unique_ptr<RtmpPublish> publisher;
};

}  // namespace

TEST_F(PublishQueue, KeyFrameEmptiesTheQueueAndHeaderFollowsWhatWasSent) {
    HoldWire();
    Video(InterFrame(1), 0, false);  // before any key frame: dropped
    Video(KeyFrame(kPps, 2), 1000, true);
    Video(InterFrame(3), 1040, false);
    Video(InterFrame(4), 1080, false);
    EXPECT_EQ(publisher->OnSendVideoPacketCount(), 2);
    // The second key frame drops the unsent first one, sequence header included; the header
    // goes again because the server never got it.
    Video(KeyFrame(kPps, 5), 1120, true);
    EXPECT_EQ(publisher->OnSendVideoPacketCount(), 0);
    EXPECT_EQ(publisher->QueuedCount(), 2u);
    wire->SetGate(true);
    ASSERT_TRUE(wire->WaitSent(3));
    EXPECT_EQ(Names(wire->Media()), (std::vector<std::string>{"A99", "SEQ", "K5"}));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return publisher->OnSendVideoPacketCount() == -2; }, 5000));

    // Unchanged SPS/PPS after the header was sent: only the key frame (count -1 after it).
    // (The wire is open here, so the count may already have moved on when it is read: only
    // its value after the send is checked.)
    Video(KeyFrame(kPps, 6), 1160, true);
    ASSERT_TRUE(wire->WaitSent(4));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return publisher->OnSendVideoPacketCount() == -1; }, 5000));
    // A changed PPS: a new header first.
    Video(KeyFrame(kPps2, 7), 1200, true);
    Video(InterFrame(8), 1240, false);
    ASSERT_TRUE(wire->WaitSent(7));
    const auto sent = wire->Media();
    EXPECT_EQ(Names(sent), (std::vector<std::string>{"A99", "SEQ", "K5", "K6", "SEQ", "K7", "P8"}));
    // Timestamps count from the first frame queued on the connection (A99, at 0); every
    // message carries the stream id.
    EXPECT_EQ(sent[1].timestamp, 1120u);
    EXPECT_EQ(sent[3].timestamp, 1160u);
    EXPECT_EQ(sent[6].timestamp, 1240u);
    for (const Sent& s : sent) EXPECT_EQ(s.streamId, 1);
    EXPECT_EQ(sent[4].body.back(), 0xE4);
}

TEST_F(PublishQueue, AKeyFrameDropsStaleVideoOnlyAudioStaysInOrder) {
    Bytes config = {0x14, 0x08};
    publisher->SetAACExtraData(config.data(), 2);
    wire->SetGate(false);
    Video(KeyFrame(kPps, 1), 500, true);  // its header is in flight
    ASSERT_TRUE(wire->WaitBlocked());
    Audio(1, 2, 700);                     // AAC header + A2 queued behind K1
    Video(InterFrame(3), 520, false);
    Video(KeyFrame(kPps, 4), 540, true);  // drops K1 and P3, not the audio
    Audio(1, 5, 764);
    wire->SetGate(true);
    ASSERT_TRUE(wire->WaitSent(6));
    const auto sent = wire->Media();
    EXPECT_EQ(Names(sent), (std::vector<std::string>{"SEQ", "AACHDR", "A2", "SEQ", "K4", "A5"}));
    EXPECT_EQ(sent[1].body, (Bytes{0xAF, 0x00, 0x14, 0x08}));
    EXPECT_EQ(sent[2].body, (Bytes{0xAF, 0x01, 0x21, 2}));
    // Both tracks count from the first frame queued (K1, at 500), though it never left.
    EXPECT_EQ(sent[2].timestamp, 200u);
    EXPECT_EQ(sent[5].timestamp, 264u);
    EXPECT_EQ(sent[4].timestamp, 40u);
    // The AAC header goes once per connection.
    Audio(1, 6, 828);
    ASSERT_TRUE(wire->WaitSent(7));
    EXPECT_EQ(Name(wire->Media()[6]), "A6");
}

TEST_F(PublishQueue, BehindALinkThatTakesNothingTheQueueKeepsTenSecondsOfSoundAndItsByteBound) {
    HoldWire();
    // Twelve seconds of sound: the first two are dropped, oldest first.
    for (uint32_t t = 64; t <= 12000; t += 64) Audio(0, static_cast<uint8_t>(t / 64), t);
    const size_t sound = publisher->QueuedCount();
    EXPECT_NEAR(static_cast<double>(sound), 10000.0 / 64, 2.0);
    // Video beyond the byte bound goes (all of it: what is left needs the next key frame);
    // the sound stays.
    Video(KeyFrame(kPps, 1), 12000, true);
    Bytes big(1 << 20, 0x5A);
    big[0] = 0, big[1] = 0, big[2] = 0, big[3] = 1, big[4] = 0x41;
    for (uint32_t i = 1; i <= 17; ++i) Video(big, 12000 + i, false);
    EXPECT_LE(publisher->QueuedCount(), sound + 2);
    Video(InterFrame(2), 12040, false);  // refers to a dropped picture
    Video(KeyFrame(kPps, 3), 12080, true);
    wire->SetGate(true);
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            const auto sent = Names(wire->Media());
            return !sent.empty() && sent.back() == "K3";
        },
        10000));
    const auto names = Names(wire->Media());
    // The sound that left is what lies within ten seconds of the newest frame (12080 ms).
    EXPECT_EQ(names[1], "A" + std::to_string((12080 - 10000) / 64 + 1));
    EXPECT_EQ(names.size(), 1 + (12000 - 64 * ((12080 - 10000) / 64 + 1)) / 64 + 1 + 2);
    EXPECT_EQ(std::vector<std::string>(names.end() - 2, names.end()), (std::vector<std::string>{"SEQ", "K3"}));
}

TEST_F(PublishQueue, FramesGivenWhilePausedAreDroppedAndInterFramesWaitForAKeyFrame) {
    Video(KeyFrame(kPps, 1), 0, true);
    ASSERT_TRUE(wire->WaitSent(2));
    publisher->Pause();
    Video(InterFrame(2), 40, false);
    Video(KeyFrame(kPps, 3), 80, true);
    Audio(1, 4, 0);
    EXPECT_EQ(publisher->QueuedCount(), 0u);
    publisher->Continue();
    Video(InterFrame(5), 120, false);  // refers to frames the server never got
    Video(KeyFrame(kPps, 6), 160, true);
    Video(InterFrame(7), 200, false);
    ASSERT_TRUE(wire->WaitSent(4));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(Names(wire->Media()), (std::vector<std::string>{"SEQ", "K1", "K6", "P7"}));
}

TEST_F(PublishQueue, SendOnADeadSocketSetsTheFlagUntilTheReconnect) {
    EXPECT_FALSE(publisher->GetSendDataTimeOut());
    {
        std::lock_guard<std::mutex> g(wire->lock);
        wire->failNextSendWith = EPIPE;
        wire->refuseConnects = true;
    }
    Video(KeyFrame(kPps, 1), 0, true);
    ASSERT_TRUE(sink.WaitFor(RTMP_PUBLISH_CONNECT_FAILED, 1, 10000));
    EXPECT_TRUE(publisher->GetSendDataTimeOut());
    {
        std::lock_guard<std::mutex> g(wire->lock);
        wire->refuseConnects = false;
    }
    ASSERT_TRUE(sink.WaitFor(RTMP_PUBLISH_CONNECTED, 2, 10000));
    EXPECT_FALSE(publisher->GetSendDataTimeOut());
    // After the reconnect the stream starts over: header again, time base from the new key.
    Video(InterFrame(2), 40, false);
    Video(KeyFrame(kPps, 3), 5000, true);
    ASSERT_TRUE(wire->WaitSent(2));
    const auto sent = wire->Media();
    EXPECT_EQ(Names(sent), (std::vector<std::string>{"SEQ", "K3"}));
    EXPECT_EQ(sent[1].timestamp, 0u);
    for (const Event& e : sink.Events()) EXPECT_EQ(e.name, "name");
}

TEST_F(PublishQueue, AudioAndVideoShareOneZeroOnEveryConnection) {
    // Sound first, the key frame a second later (a connect inside a key-frame interval): the
    // picture keeps its distance from the sound, across the tick count's wrap.
    const uint32_t t0 = 0xFFFFFF00u;
    Audio(0, 1, t0);
    ASSERT_TRUE(wire->WaitSent(1));        // (a key frame drops what is still queued)
    Video(InterFrame(2), t0 + 40, false);  // no key frame yet: dropped
    Video(KeyFrame(kPps, 3), t0 + 1000, true);
    Audio(0, 4, t0 + 1064);
    ASSERT_TRUE(wire->WaitSent(4));
    auto sent = wire->Media();
    EXPECT_EQ(Names(sent), (std::vector<std::string>{"A1", "SEQ", "K3", "A4"}));
    EXPECT_EQ(sent[0].timestamp, 0u);
    EXPECT_EQ(sent[2].timestamp, 1000u);
    EXPECT_EQ(sent[3].timestamp, 1064u);

    // A new connection takes a new zero: here the key frame's; sound captured before it is
    // left out, sound after it keeps its distance.
    {
        std::lock_guard<std::mutex> g(wire->lock);
        wire->failNextSendWith = EBADF;
    }
    Audio(0, 5, 9000);  // fails on the wire: the publisher reconnects
    ASSERT_TRUE(sink.WaitFor(RTMP_PUBLISH_CONNECTED, 2, 10000));
    Video(KeyFrame(kPps, 6), 20000, true);
    Audio(0, 7, 19900);
    Audio(0, 8, 20020);
    ASSERT_TRUE(wire->WaitSent(7));
    sent = wire->Media();
    EXPECT_EQ(Names(sent), (std::vector<std::string>{"A1", "SEQ", "K3", "A4", "SEQ", "K6", "A8"}));
    EXPECT_EQ(sent[5].timestamp, 0u);
    EXPECT_EQ(sent[6].timestamp, 20u);
}

TEST_F(PublishQueue, MalformedKeyFrameIsDroppedWithoutTouchingTheQueue) {
    HoldWire();
    Video(KeyFrame(kPps, 1), 0, true);
    Video(InterFrame(2), 40, false);
    const Bytes noPps = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x1F, 0, 0, 0, 1, 0x65, 9};
    Video(noPps, 80, true);
    Video(Bytes{0, 0, 1}, 120, true);
    EXPECT_EQ(publisher->QueuedCount(), 3u);
    wire->SetGate(true);
    ASSERT_TRUE(wire->WaitSent(4));
    EXPECT_EQ(Names(wire->Media()), (std::vector<std::string>{"A99", "SEQ", "K1", "P2"}));
}

TEST(RtmpSession, ReceiveErrorLinesAreThrottledProcessWide) {
    int due = 0;
    for (int i = 0; i < 300; ++i) due += rtmplink::RecvErrorLineDue();
    EXPECT_EQ(due, 3);
}

TEST(RtmpSession, ConnectionObjectGetsTheOneSecondTimeOut) {
    rtmplink::LibRtmpConnection connection;
    connection.Create(1);
    ASSERT_NE(connection.Raw(), nullptr);
    EXPECT_EQ(connection.Raw()->Link.timeout, 1);
    EXPECT_EQ(connection.Raw()->Link.swfAge, 30);
    ASSERT_TRUE(connection.SetupURL("rtmp://127.0.0.1:1/live/x"));
    EXPECT_EQ(connection.Raw()->Link.timeout, 1);
    connection.Destroy();
    EXPECT_FALSE(connection.Exists());
}

TEST(RtmpMgr, FactoryIdsAndUnknownIds) {
    RecordingSink first, second;
    IRtmpMgr* mgr = CreateRtmpMgr(&first);
    EXPECT_EQ(CreateRtmpMgr(&second), mgr);
    EXPECT_EQ(mgr->GetPublishId(), 1000);
    EXPECT_EQ(mgr->GetPublishId(), 1001);
    EXPECT_EQ(mgr->GetPlayId(), 10000);
    const int unknown = 4242;
    Bytes data = {0, 0, 0, 1, 0x41};
    EXPECT_EQ(mgr->PublishVideoRtmpData(unknown, data.data(), 5, 0, false), 0);
    EXPECT_EQ(mgr->PublishAudioRtmpData(unknown, 1, data.data(), 5, 0), 0);
    EXPECT_EQ(mgr->OnSendVideoPacketCount(unknown), 0);
    EXPECT_FALSE(mgr->HasAudio(unknown));
    EXPECT_EQ(mgr->GetUniName(unknown), "");
    EXPECT_FALSE(mgr->GetSendDataTimeOut(unknown));
    EXPECT_EQ(mgr->GetVideoId(unknown), ~0ULL);
    EXPECT_EQ(mgr->GetAudioId(unknown), ~0ULL);
    mgr->SetAACExtraData(unknown, data.data(), 2);
    mgr->PausePublish(unknown);
    mgr->ContinuePublish(unknown);
    mgr->ClosePublish(unknown);
    mgr->ClosePlay(unknown);
    EXPECT_FALSE(mgr->OpenPublishUrl(1000, nullptr, 0));

    // The first sink gets the events; an id cannot be opened twice.
    const int id = mgr->GetPublishId();
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(testsupport::FreeTcpPort()) + "/live/s";
    EXPECT_TRUE(mgr->OpenPublishUrl(id, true, "mic", url.c_str(), 0));
    EXPECT_FALSE(mgr->OpenPublishUrl(id, url.c_str(), 0));
    EXPECT_TRUE(mgr->HasAudio(id));
    EXPECT_EQ(mgr->GetUniName(id), "mic");
    EXPECT_TRUE(first.WaitFor(RTMP_PUBLISH_CONNECT_FAILED, 1, 10000));
    EXPECT_EQ(second.Events().size(), 0u);
    EXPECT_EQ(first.Events()[0].id, id);

    // Destroying closes what is open; a new manager counts from the start again.
    DestroyRtmpMgr(mgr);
    DestroyRtmpMgr(nullptr);
    mgr = CreateRtmpMgr(&second);
    EXPECT_EQ(mgr->GetPublishId(), 1000);
    EXPECT_EQ(mgr->GetPlayId(), 10000);
    // An open player (whose server refuses) is ended by the manager's destruction too.
    const int play = mgr->GetPlayId();
    EXPECT_TRUE(mgr->OpenPlayUrl(play, 1, 2, "rtmp://127.0.0.1:1/live/x"));
    EXPECT_EQ(mgr->GetVideoId(play), 1u);
    DestroyRtmpMgr(mgr);
}

TEST(RtmpMgr, NullSinkIsAnAssertion) {
    EXPECT_THROW(CreateRtmpMgr(nullptr), Poco::AssertionViolationException);
    RecordingSink sink;
    IRtmpMgr* mgr = CreateRtmpMgr(&sink);
    ASSERT_NE(mgr, nullptr);
    EXPECT_THROW(mgr->SetRtmpMgrSink(nullptr), Poco::AssertionViolationException);
    DestroyRtmpMgr(mgr);
}

TEST(RtmpMgr, ClosePublishOfAnUnknownIdLogsOnlyItsFirstLine) {
    testsupport::TempDir logs("rtmplog");
    Orvane::Common::slogger::Inst()->InitLogInfoPath(logs.path());
    Orvane::Common::slogger::Inst()->m_bLogEnabled = true;
    RecordingSink sink;
    IRtmpMgr* mgr = CreateRtmpMgr(&sink);
    mgr->ClosePublish(777);
    DestroyRtmpMgr(mgr);
    const std::string log = testsupport::ReadFile(Orvane::Common::slogger::Inst()->GetLogFile());
    Orvane::Common::slogger::Inst()->m_bLogEnabled = false;
    Orvane::Common::slogger::Inst()->InitLogInfoPath("");
    EXPECT_NE(log.find("CRtmpMgr ClosePublish enter"), std::string::npos);
    EXPECT_EQ(log.find("CRtmpMgr ClosePublish leave"), std::string::npos);
    EXPECT_NE(log.find("~CRtmpMgr 1"), std::string::npos);
    EXPECT_NE(log.find("~CRtmpMgr 2"), std::string::npos);
}
