// The publisher against a real nginx RTMP server (recording everything it receives), checked
// with ffprobe / ffmpeg and the server's own log.
#include "four_slot_host.h"
#include "media.h"
#include "rtmp_mgr.h"
#include "rtmp_publish.h"

#include "support/ffprobe.h"
#include "support/peers.h"
#include "support/process.h"

#include "common/slogger.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

using namespace rtmptest;
using testsupport::NginxRtmp;

namespace {

// Lines of ffprobe's csv output.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) out.push_back(line);
    }
    return out;
}

// The manager under test, torn down even when an assertion fails.
struct Manager {
    RecordingSink sink;
    IRtmpMgr* mgr = CreateRtmpMgr(&sink);
    ~Manager() { DestroyRtmpMgr(mgr); }
};

// A TCP listener on 127.0.0.1 that never accepts (the kernel completes the handshake) and
// never answers.
struct SilentListener {
    int fd = -1;
    int port = 0;
    SilentListener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        listen(fd, 16);
        socklen_t len = sizeof(addr);
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
    ~SilentListener() { close(fd); }
};

// Waits until the publisher's queue is empty.
void Drain(IRtmpMgr* mgr, int id) {
    RtmpPublish* publisher = static_cast<CRtmpMgr*>(mgr)->FindPublish(id);
    if (!publisher) return;
    // The last message taken off the queue may still be on its way: a pause or a close lets a
    // send under way finish.
    testsupport::WaitUntil([&] { return publisher->QueuedCount() == 0; }, 5000);
}

// Waits until nginx has written the recording and the file no longer grows.
bool RecordingSettled(const std::string& path) {
    long last = -1;
    return testsupport::WaitUntil(
        [&] {
            const long size = static_cast<long>(testsupport::ReadFile(path).size());
            const bool settled = size > 0 && size == last;
            last = size;
            return settled;
        },
        10000);
}

// Lets the queue drain, closes the publication and returns the server's copy once nginx has
// written all of it (empty when it never settles).
std::string CloseWhenDrained(IRtmpMgr* mgr, int id, const NginxRtmp& nginx, const std::string& stream) {
    Drain(mgr, id);
    mgr->ClosePublish(id);
    const std::string rec = nginx.Recording(stream);
    return RecordingSettled(rec) ? rec : std::string();
}

// The server's copy holds videoFrames frames of H.264 and the tone as AAC, 16 kHz mono.
void ExpectH264AndAac(const std::string& rec, size_t videoFrames) {
    const auto v = Lines(Probe({"-select_streams", "v", "-count_frames", "-show_entries",
                                "stream=codec_name,nb_read_frames", "-of", "csv=p=0", rec}));
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0], "h264," + std::to_string(videoFrames));
    const auto a = Lines(Probe({"-select_streams", "a", "-show_entries", "stream=codec_name,sample_rate,channels",
                                "-of", "csv=p=0", rec}));
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0], "aac,16000,1");
}

double FirstPts(const std::string& rec, const char* stream) {
    const auto lines = Lines(Probe({"-select_streams", stream, "-show_entries", "packet=pts_time", "-read_intervals",
                                     "%+#1", "-of", "csv=p=0", rec}));
    return lines.empty() ? -1.0 : std::stod(lines[0]);
}

}  // namespace

TEST(PublishServer, DeliversDecodableH264AndAac) {
    const TestMedia& media = Media();
    ASSERT_GT(media.video.size(), 20u);
    ASSERT_GT(media.audio.size(), 10u);
    ASSERT_TRUE(media.video[0].key);
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start());
    Manager m;
    const int id = m.mgr->GetPublishId();
    ASSERT_TRUE(m.mgr->OpenPublishUrl(id, true, "uni", nginx.Url("first").c_str(), 0));
    ASSERT_TRUE(m.sink.WaitFor(RTMP_PUBLISH_CONNECTED, 1, 10000));
    const Event e = m.sink.Events().at(0);
    EXPECT_EQ(e.id, id);
    EXPECT_EQ(e.name, "first");
    EXPECT_TRUE(e.infoNull);
    EXPECT_EQ(e.infoLen, 0);
    std::vector<uint8_t> config = media.aacConfig;
    m.mgr->SetAACExtraData(id, config.data(), static_cast<int>(config.size()));
    FeedRealTime(m.mgr, id, media.video, media.audio, 2.0);
    const std::string rec = CloseWhenDrained(m.mgr, id, nginx, "first");
    ASSERT_FALSE(rec.empty());
    ExpectH264AndAac(rec, media.video.size());
    // Every audio frame given arrived, key frames notwithstanding.
    EXPECT_EQ(Probe({"-select_streams", "a", "-count_packets", "-show_entries", "stream=nb_read_packets", "-of",
                     "csv=p=0", rec}),
              std::to_string(media.audio.size()) + "\n");
    EXPECT_DOUBLE_EQ(FirstPts(rec, "v"), 0.0);
    EXPECT_DOUBLE_EQ(FirstPts(rec, "a"), 0.0);
    EXPECT_EQ(testsupport::DecodeErrors(rec), "");
}

TEST(PublishServer, AFourSlotHostGetsItsResultsAndLinkReportsOnlyOnceRegistered) {
    struct Host {
        void* host = NewFourSlotHost();
        ~Host() { DeleteFourSlotHost(host); }
    } host;
    struct Reports final : IRtmpLinkSink {
        std::atomic<int> count{0};
        void OnPublishLink(int, const std::string&, const RtmpLinkReport&) override { ++count; }
    } reports;
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start());
    struct Mgr {
        IRtmpMgr* mgr;
        ~Mgr() { DestroyRtmpMgr(mgr); }
    } m{CreateRtmpMgr(static_cast<IRtmpMgrSink*>(host.host))};
    const int id = m.mgr->GetPublishId();
    ASSERT_TRUE(m.mgr->OpenPublishUrl(id, true, "uni", nginx.Url("host").c_str(), 0));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return FourSlotHostConnects(host.host) > 0; }, 10000));
    const TestMedia& media = Media();
    std::vector<uint8_t> config = media.aacConfig;
    m.mgr->SetAACExtraData(id, config.data(), static_cast<int>(config.size()));
    // Two seconds of a connected publisher: several link reports' worth, none for this host.
    FeedRealTime(m.mgr, id, media.video, media.audio);
    m.mgr->SetLinkSink(&reports);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return reports.count >= 2; }, 5000));
    m.mgr->SetLinkSink(nullptr);
    m.mgr->ClosePublish(id);
    EXPECT_EQ(FourSlotHostConnects(host.host), 1);
}

TEST(PublishServer, PublishModeGoesOnTheWire) {
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start());
    Manager m;
    const char* types[] = {"live", "record", "append"};
    for (int mode = 0; mode < 3; ++mode) {
        const std::string name = "mode" + std::to_string(mode);
        const int id = m.mgr->GetPublishId();
        ASSERT_TRUE(m.mgr->OpenPublishUrl(id, nginx.Url(name).c_str(), mode));
        ASSERT_TRUE(m.sink.WaitFor(RTMP_PUBLISH_CONNECTED, mode + 1, 10000));
        m.mgr->ClosePublish(id);
        const std::string want = "publish: name='" + name + "' args='' type=" + types[mode];
        EXPECT_TRUE(testsupport::WaitUntil(
            [&] { return testsupport::ReadFile(nginx.ErrorLog()).find(want) != std::string::npos; }, 5000))
            << want;
    }
}

TEST(PublishServer, ClosedPortFailsEveryAttempt) {
    testsupport::TempDir logs("rtmplog");
    Orvane::Common::slogger::Inst()->InitLogInfoPath(logs.path());
    Orvane::Common::slogger::Inst()->m_bLogEnabled = true;
    const int port = testsupport::FreeTcpPort();
    Manager m;
    const int id = m.mgr->GetPublishId();
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(port) + "/live/nobody";
    EXPECT_TRUE(m.mgr->OpenPublishUrl(id, url.c_str(), 0));
    // A refused connect fails at once: attempts follow each other after the 100 ms pause.
    EXPECT_TRUE(m.sink.WaitFor(RTMP_PUBLISH_CONNECT_FAILED, 5, 10000));
    m.mgr->ClosePublish(id);
    for (const Event& e : m.sink.Events()) {
        EXPECT_EQ(e.result, RTMP_PUBLISH_CONNECT_FAILED);
        EXPECT_EQ(e.name, "nobody");
    }
    const std::string log = testsupport::ReadFile(Orvane::Common::slogger::Inst()->GetLogFile());
    Orvane::Common::slogger::Inst()->m_bLogEnabled = false;
    Orvane::Common::slogger::Inst()->InitLogInfoPath("");
    EXPECT_NE(log.find("Create Rtmp Publish Steam(nobody).."), std::string::npos);
    EXPECT_NE(log.find("RTMP_Connect Fail(nobody)!"), std::string::npos);
    EXPECT_NE(log.find("RtmpPublish rtmpConnectFail"), std::string::npos);
    EXPECT_NE(log.find("Rtmp_1_TcpConnect, failed to connect socket. 111 (Connection refused " + std::to_string(port) + ")"),
              std::string::npos)
        << log.substr(0, 2000);
    EXPECT_NE(log.find("CRtmpMgr ClosePublish leave"), std::string::npos);
}

TEST(PublishServer, UnansweredConnectIsBoundedToOneSecond) {
    // A listener whose accept queue is full: the kernel drops further SYNs, so a connect is
    // never answered.
    SilentListener full;
    listen(full.fd, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(full.port));
        connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        fillers.push_back(s);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    testsupport::TempDir logs("rtmplog");
    Orvane::Common::slogger::Inst()->InitLogInfoPath(logs.path());
    Orvane::Common::slogger::Inst()->m_bLogEnabled = true;
    Manager m;
    const int id = m.mgr->GetPublishId();
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(full.port) + "/live/silent";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(m.mgr->OpenPublishUrl(id, url.c_str(), 0));
    EXPECT_TRUE(m.sink.WaitFor(RTMP_PUBLISH_CONNECT_FAILED, 3, 15000));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.mgr->ClosePublish(id);
    for (int s : fillers) close(s);
    const std::string log = testsupport::ReadFile(Orvane::Common::slogger::Inst()->GetLogFile());
    Orvane::Common::slogger::Inst()->m_bLogEnabled = false;
    Orvane::Common::slogger::Inst()->InitLogInfoPath("");
    EXPECT_NE(log.find("failed to connect socket. 110 (Connection timed out"), std::string::npos) << log.substr(0, 2000);
    // About 1.1 s per attempt; only a loose lower bound is asserted.
    EXPECT_GT(seconds, 2.0);
    std::printf("three unanswered attempts took %.2f s\n", seconds);
}

TEST(PublishServer, AServerThatNeverAnswersFailsTheAttemptAfterFiveSecondsAndCloseEndsTheNext) {
    SilentListener silent;
    Manager m;
    const int id = m.mgr->GetPublishId();
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(silent.port) + "/live/mute";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(m.mgr->OpenPublishUrl(id, url.c_str(), 0));
    // The TCP connect succeeds (the kernel answers it); the handshake gets no answer.
    ASSERT_TRUE(m.sink.WaitFor(RTMP_PUBLISH_CONNECT_FAILED, 1, 10000));
    const double failedAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(failedAfter, 4.5);
    // The next attempt is under way, waiting for its handshake: a close ends it at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const auto closeStart = std::chrono::steady_clock::now();
    m.mgr->ClosePublish(id);
    const double closing = std::chrono::duration<double>(std::chrono::steady_clock::now() - closeStart).count();
    std::printf("the unanswered attempt failed after %.2f s; ClosePublish took %.3f s\n", failedAfter, closing);
    EXPECT_LT(closing, 2.0);
    EXPECT_EQ(m.sink.Count(RTMP_PUBLISH_CONNECTED), 0);
    EXPECT_EQ(m.sink.Count(RTMP_PUBLISH_CONNECT_FAILED), 1);
}

TEST(PublishServer, AServerThatStopsReadingEndsTheConnectionWithAFailureWhileLinkReportsGoOn) {
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start());
    struct Reports final : IRtmpLinkSink {
        std::atomic<int> count{0};
        void OnPublishLink(int, const std::string&, const RtmpLinkReport&) override { ++count; }
    } reports;
    Manager m;
    m.mgr->SetLinkSink(&reports);
    const int id = m.mgr->GetPublishId();
    ASSERT_TRUE(m.mgr->OpenPublishUrl(id, true, "uni", nginx.Url("wedged").c_str(), 0));
    ASSERT_TRUE(m.sink.WaitFor(RTMP_PUBLISH_CONNECTED, 1, 10000));
    const TestMedia& media = Media();
    std::vector<uint8_t> key = media.video[0].data;
    std::vector<uint8_t> big(256 << 10, 0x5A);
    big[0] = 0, big[1] = 0, big[2] = 0, big[3] = 1, big[4] = 0x41;
    std::atomic<bool> feeding{true};
    // About 50 Mbit/s of video and a steady sound: the kernel's buffers fill within a second of
    // the server stopping.
    std::thread feeder([&] {
        for (unsigned t = 0; feeding; t += 40) {
            if (t % 2000 == 0) m.mgr->PublishVideoRtmpData(id, key.data(), static_cast<int>(key.size()), t, true);
            else m.mgr->PublishVideoRtmpData(id, big.data(), static_cast<int>(big.size()), t, false);
            std::vector<uint8_t> aac = media.audio[0].data;
            m.mgr->PublishAudioRtmpData(id, 1, aac.data(), static_cast<int>(aac.size()), t);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
    });
    const pid_t server = static_cast<pid_t>(std::atoi(testsupport::ReadFile(nginx.dir() + "/nginx.pid").c_str()));
    ASSERT_GT(server, 0);
    ASSERT_EQ(::kill(server, SIGSTOP), 0);
    const auto stopped = std::chrono::steady_clock::now();
    const int reportsBefore = reports.count;
    const bool failed = m.sink.WaitFor(RTMP_PUBLISH_CONNECT_FAILED, 1, 25000);
    const double failedAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count();
    const int reportsDuring = reports.count - reportsBefore;
    // The reconnect cycle goes on: the stopped server's kernel takes the TCP connect, and the
    // handshake goes unanswered.
    const bool retried = failed && m.sink.WaitFor(RTMP_PUBLISH_CONNECT_FAILED, 2, 10000);
    feeding = false;
    feeder.join();
    ::kill(server, SIGCONT);
    m.mgr->ClosePublish(id);
    std::printf("a stopped server: the failure came %.1f s after the stop, %d link reports in between\n", failedAfter,
                reportsDuring);
    EXPECT_TRUE(failed) << "no failure event for a server that stopped reading";
    EXPECT_TRUE(retried) << "no reconnect attempt";
    EXPECT_GE(reportsDuring, static_cast<int>(failedAfter * 2)) << "link reports stopped during the stall";
}

TEST(PublishServer, ReconnectsAfterServerRestartWithFreshSequenceHeaders) {
    const TestMedia& media = Media();
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start());
    Manager m;
    const int id = m.mgr->GetPublishId();
    ASSERT_TRUE(m.mgr->OpenPublishUrl(id, true, "uni", nginx.Url("again").c_str(), 0));
    ASSERT_TRUE(m.sink.WaitFor(RTMP_PUBLISH_CONNECTED, 1, 10000));
    std::vector<uint8_t> config = media.aacConfig;
    m.mgr->SetAACExtraData(id, config.data(), static_cast<int>(config.size()));
    const size_t half = media.video.size() / 2;
    std::vector<Frame> v1(media.video.begin(), media.video.begin() + static_cast<long>(half));
    FeedRealTime(m.mgr, id, v1, {}, 2.0);
    nginx.Stop();
    // Frames given while the server is gone make the send fail and the publisher reconnect.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (size_t i = half; m.sink.Count(RTMP_PUBLISH_CONNECT_FAILED) == 0 && std::chrono::steady_clock::now() < until;
         i = i + 1 < media.video.size() ? i + 1 : half) {
        std::vector<uint8_t> copy = media.video[i].data;
        m.mgr->PublishVideoRtmpData(id, copy.data(), static_cast<int>(copy.size()), media.video[i].timestamp,
                                    media.video[i].key);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(m.sink.Count(RTMP_PUBLISH_CONNECT_FAILED), 1);
    ASSERT_TRUE(nginx.Start());
    ASSERT_TRUE(m.sink.WaitFor(RTMP_PUBLISH_CONNECTED, 2, 10000));
    // The stream goes on with later timestamps, starting with a key frame.
    std::vector<Frame> v2, a2;
    for (const Frame& f : media.video) {
        Frame g = f;
        g.timestamp += 10000;
        v2.push_back(g);
    }
    for (const Frame& f : media.audio) {
        Frame g = f;
        g.timestamp += 10000;
        a2.push_back(g);
    }
    // At real-time pace: a server slowed down (sanitizers, a busy machine) must not fall a key
    // frame interval behind, or the queue rightly drops stale video.
    FeedRealTime(m.mgr, id, v2, a2);
    const std::string rec = CloseWhenDrained(m.mgr, id, nginx, "again");
    ASSERT_FALSE(rec.empty());
    ExpectH264AndAac(rec, media.video.size());
    EXPECT_DOUBLE_EQ(FirstPts(rec, "v"), 0.0);
    EXPECT_EQ(testsupport::DecodeErrors(rec), "");
}

TEST(PublishServer, FramesGivenWhilePausedNeverReachTheServer) {
    const TestMedia& media = Media();
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start());
    Manager m;
    const int id = m.mgr->GetPublishId();
    ASSERT_TRUE(m.mgr->OpenPublishUrl(id, nginx.Url("paused").c_str(), 0));
    ASSERT_TRUE(m.sink.WaitFor(RTMP_PUBLISH_CONNECTED, 1, 10000));
    // Frames 0-19 live, 20-34 paused, 35-49 live again (35 is not a key frame: it and the
    // inter frames after it wait for key frame 40).
    ASSERT_GE(media.video.size(), 50u);
    std::vector<Frame> before(media.video.begin(), media.video.begin() + 20);
    std::vector<Frame> during(media.video.begin() + 20, media.video.begin() + 35);
    std::vector<Frame> after(media.video.begin() + 35, media.video.begin() + 50);
    FeedRealTime(m.mgr, id, before, {}, 2.0);
    Drain(m.mgr, id);
    m.mgr->PausePublish(id);
    FeedRealTime(m.mgr, id, during, {}, 2.0);
    m.mgr->ContinuePublish(id);
    FeedRealTime(m.mgr, id, after, {}, 2.0);
    const std::string rec = CloseWhenDrained(m.mgr, id, nginx, "paused");
    ASSERT_FALSE(rec.empty());
    const auto pts = Lines(Probe({"-select_streams", "v", "-show_entries", "packet=pts", "-of", "csv=p=0", rec}));
    std::vector<std::string> want;
    for (int i = 0; i < 20; ++i) want.push_back(std::to_string(media.video[i].timestamp));
    for (int i = 40; i < 50; ++i) want.push_back(std::to_string(media.video[i].timestamp));
    EXPECT_EQ(pts, want);
    EXPECT_EQ(testsupport::DecodeErrors(rec), "");
}

TEST(PublishServer, CloseEndsASendBlockedOnAStalledServer) {
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start());
    Manager m;
    const int id = m.mgr->GetPublishId();
    ASSERT_TRUE(m.mgr->OpenPublishUrl(id, nginx.Url("stalled").c_str(), 0));
    ASSERT_TRUE(m.sink.WaitFor(RTMP_PUBLISH_CONNECTED, 1, 10000));
    const TestMedia& media = Media();
    std::vector<uint8_t> key = media.video[0].data;
    m.mgr->PublishVideoRtmpData(id, key.data(), static_cast<int>(key.size()), 0, true);
    // The server stops reading; more than the socket buffers hold is queued (within the
    // queue's byte bound), so the send thread ends up blocked inside a send.
    const pid_t server = static_cast<pid_t>(std::atoi(testsupport::ReadFile(nginx.dir() + "/nginx.pid").c_str()));
    ASSERT_GT(server, 0);
    ASSERT_EQ(::kill(server, SIGSTOP), 0);
    std::vector<uint8_t> big(1 << 20, 0x5A);
    big[0] = 0, big[1] = 0, big[2] = 0, big[3] = 1, big[4] = 0x41;
    for (int i = 1; i <= 15; ++i) {
        m.mgr->PublishVideoRtmpData(id, big.data(), static_cast<int>(big.size()), static_cast<unsigned>(i * 40), false);
    }
    RtmpPublish* publisher = static_cast<CRtmpMgr*>(m.mgr)->FindPublish(id);
    // Wait until the queue stops shrinking.
    size_t last = 0;
    testsupport::WaitUntil(
        [&] {
            const size_t now = publisher->QueuedCount();
            const bool stuck = now == last && now > 0;
            last = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return stuck;
        },
        10000);
    EXPECT_GT(publisher->QueuedCount(), 0u);
    const auto start = std::chrono::steady_clock::now();
    m.mgr->ClosePublish(id);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::kill(server, SIGCONT);
    std::printf("ClosePublish with a blocked send took %.3f s\n", seconds);
    // The queue cannot drain into a server that does not read: the drain's bound, then the end.
    EXPECT_LT(seconds, 2.5);
    // Closing wrote to a dead socket on this thread: no SIGPIPE is left pending for it.
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}
