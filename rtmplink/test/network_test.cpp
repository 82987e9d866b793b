// Publishing and playing over the networks users have, against real peers: an IPv6 literal,
// a host name whose first address refuses, and RTMPS through a TLS terminator (stunnel) in
// front of nginx, with a certificate made here.
#include "media.h"
#include "rtmp_mgr.h"
#include "rtmp_session.h"

#include "support/peers.h"
#include "support/process.h"

#include "common/slogger.h"

#include <gtest/gtest.h>

#include <netdb.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

using namespace rtmptest;
using testsupport::NginxRtmp;

namespace {

// Counts the frames a player hands over, and its connections.
class CountingSink : public RecordingSink {
public:
    bool OnPlayEvent(int, std::string, RTMP_RESULT result, char*, int) override {
        if (result == RTMP_PLAY_CONNECTED) ++playConnected;
        return true;
    }
    bool OnPlayVideoData(int, unsigned long long, unsigned char*, int, bool) override {
        ++video;
        return true;
    }
    bool OnPlayAudioData(int, unsigned long long, unsigned char*, int) override {
        ++audio;
        return true;
    }
    std::atomic<int> video{0};
    std::atomic<int> audio{0};
    std::atomic<int> playConnected{0};
};

struct Manager {
    CountingSink sink;
    IRtmpMgr* mgr = CreateRtmpMgr(&sink);
    ~Manager() { DestroyRtmpMgr(mgr); }
};

// The library's log, switched on for one test.
struct LogCapture {
    testsupport::TempDir dir{"rtmplog"};
    LogCapture() {
        Orvane::Common::slogger::Inst()->InitLogInfoPath(dir.path());
        Orvane::Common::slogger::Inst()->m_bLogEnabled = true;
    }
    ~LogCapture() {
        Orvane::Common::slogger::Inst()->m_bLogEnabled = false;
        Orvane::Common::slogger::Inst()->InitLogInfoPath("");
    }
    std::string Text() { return testsupport::ReadFile(Orvane::Common::slogger::Inst()->GetLogFile()); }
};

// Publishes two seconds of media to url while a player plays the same url back; then checks
// what the server recorded in `recording` (unless empty). Returns the frames the player got.
int PublishAndPlayBack(Manager& m, const std::string& url, const std::string& recording) {
    const TestMedia& media = Media();
    const int connected = m.sink.Count(RTMP_PUBLISH_CONNECTED);
    const int id = m.mgr->GetPublishId();
    EXPECT_TRUE(m.mgr->OpenPublishUrl(id, true, "uni", url.c_str(), 0));
    if (!m.sink.WaitFor(RTMP_PUBLISH_CONNECTED, connected + 1, 10000)) {
        ADD_FAILURE() << "no connection to " << url;
        m.mgr->ClosePublish(id);
        return 0;
    }
    const int playId = m.mgr->GetPlayId();
    const int played = m.sink.video;
    const int playing = m.sink.playConnected;
    m.mgr->OpenPlayUrl(playId, 1, 2, url.c_str());
    EXPECT_TRUE(testsupport::WaitUntil([&] { return m.sink.playConnected > playing; }, 10000)) << "no player on " << url;
    std::vector<uint8_t> config = media.aacConfig;
    m.mgr->SetAACExtraData(id, config.data(), static_cast<int>(config.size()));
    FeedRealTime(m.mgr, id, media.video, media.audio);
    // The player joined live: more than ten frames of the two seconds is what the callers ask.
    testsupport::WaitUntil([&] { return m.sink.video - played > 10; }, 5000);
    m.mgr->ClosePlay(playId);
    m.mgr->ClosePublish(id);
    if (recording.empty()) return m.sink.video - played;
    const std::string& rec = recording;
    // The server finishes writing its copy a little after the stream closed.
    const std::string whole = "h264," + std::to_string(media.video.size()) + "\n";
    auto frames = [&] {
        return Probe({"-select_streams", "v", "-count_frames", "-show_entries", "stream=codec_name,nb_read_frames",
                      "-of", "csv=p=0", rec});
    };
    EXPECT_TRUE(testsupport::WaitUntil([&] { return testsupport::FileExists(rec) && frames() == whole; }, 10000));
    EXPECT_EQ(frames(), whole);
    return m.sink.video - played;
}

}  // namespace

TEST(Addresses, Ipv6LiteralPublishesAndPlays) {
    NginxRtmp nginx;
    nginx.AlsoListenOnIpv6();
    ASSERT_TRUE(nginx.Start());
    Manager m;
    const std::string url = "rtmp://[::1]:" + std::to_string(nginx.port()) + "/live/six";
    EXPECT_GT(PublishAndPlayBack(m, url, nginx.Recording("six")), 10);
    EXPECT_NE(testsupport::ReadFile(nginx.ErrorLog()).find("client connected '::1'"), std::string::npos);
}

// A host whose hosts file lists ::1 before 127.0.0.1, with the server on IPv4 only (Debian's
// default hosts file and many servers). Runs itself again in a private mount namespace with
// its own /etc/hosts; that part publishes and checks the log.
TEST(Addresses, NameWhoseFirstAddressRefuses) {
    const char* port = getenv("RTMPLINK_DUALSTACK_PORT");
    if (port) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* addrs = nullptr;
        ASSERT_EQ(getaddrinfo("dualstack.test", port, &hints, &addrs), 0);
        const bool v6First = addrs->ai_family == AF_INET6;
        freeaddrinfo(addrs);
        ASSERT_TRUE(v6First) << "the resolver does not put ::1 first";
        LogCapture log;
        Manager m;
        const int id = m.mgr->GetPublishId();
        const std::string url = std::string("rtmp://dualstack.test:") + port + "/live/dual";
        ASSERT_TRUE(m.mgr->OpenPublishUrl(id, url.c_str(), 0));
        EXPECT_TRUE(m.sink.WaitFor(RTMP_PUBLISH_CONNECTED, 1, 10000));
        EXPECT_EQ(m.sink.Count(RTMP_PUBLISH_CONNECT_FAILED), 0);
        m.mgr->ClosePublish(id);
        EXPECT_NE(log.Text().find(std::string("failed to connect socket. 111 (Connection refused ") + port + ") at ::1"),
                  std::string::npos)
            << log.Text().substr(0, 2000);
        return;
    }
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start());
    testsupport::TempDir dir("hosts");
    std::ofstream(dir.file("hosts")) << "::1 dualstack.test\n127.0.0.1 dualstack.test\n";
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    int status = -1;
    const std::string out = testsupport::RunCapture(
        {"sh", "-c",
         "unshare -m true 2>/dev/null || exit 77; "
         "exec unshare -m sh -c 'mount --bind \"$0\" /etc/hosts 2>/dev/null || exit 77; "
         "exec \"$1\" --gtest_filter=\"$2\"' \"$0\" \"$1\" \"$2\" 2>&1",
         dir.file("hosts"), self, "Addresses.NameWhoseFirstAddressRefuses"},
        60000, &status, {{"RTMPLINK_DUALSTACK_PORT", std::to_string(nginx.port())}});
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace here (unshare -m)";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
    EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
}

TEST(Addresses, BracketedHostParsing) {
    std::string host;
    int port = -1;
    EXPECT_TRUE(rtmplink::ParseBracketedHost("rtmp://[::1]:1936/live/s", &host, &port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 1936);
    EXPECT_TRUE(rtmplink::ParseBracketedHost("rtmps://[fe80::1]/app/s", &host, &port));
    EXPECT_EQ(host, "fe80::1");
    EXPECT_EQ(port, 0);
    EXPECT_FALSE(rtmplink::ParseBracketedHost("rtmp://127.0.0.1:1935/live/s", &host, &port));
    EXPECT_FALSE(rtmplink::ParseBracketedHost("rtmp://[::1/live/s]", &host, &port));
}

// stunnel terminating TLS in front of nginx with a certificate for "localhost" made here.
class TlsTerminator {
public:
    explicit TlsTerminator(int backendPort) : m_dir("tls"), m_port(testsupport::FreeTcpPort()) {
        int status = -1;
        testsupport::RunCapture({"sh", "-c",
                                 "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost -addext "
                                 "subjectAltName=DNS:localhost -keyout \"$0\" -out \"$1\" 2>/dev/null",
                                 m_dir.file("key.pem"), cert()},
                                60000, &status);
        std::ofstream(m_dir.file("stunnel.conf"))
            << "foreground = yes\npid =\n[rtmps]\naccept = 127.0.0.1:" << m_port
            << "\nconnect = 127.0.0.1:" << backendPort << "\ncert = " << cert() << "\nkey = " << m_dir.file("key.pem")
            << "\n";
        m_ok = status == 0 && m_proc.Start({"stunnel4", m_dir.file("stunnel.conf")}, m_dir.file("stunnel.log")) &&
               testsupport::WaitUntil(
                   [&] { return testsupport::ReadFile(m_dir.file("stunnel.log")).find("Configuration successful") !=
                                std::string::npos; },
                   10000);
    }
    bool ok() const { return m_ok; }
    int port() const { return m_port; }
    std::string cert() const { return m_dir.file("cert.pem"); }
    std::string log() const { return testsupport::ReadFile(m_dir.file("stunnel.log")); }

private:
    testsupport::TempDir m_dir;
    int m_port;
    bool m_ok = false;
    testsupport::ChildProcess m_proc;
};

// Sets an environment variable for one scope.
struct ScopedEnv {
    const char* name;
    ScopedEnv(const char* n, const std::string& value) : name(n) { setenv(name, value.c_str(), 1); }
    ~ScopedEnv() { unsetenv(name); }
};

TEST(Tls, VerifiedServerPublishesAndPlays_OthersAreRefusedWithTheReason) {
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start());
    TlsTerminator tls(nginx.port());
    ASSERT_TRUE(tls.ok());
    const std::string port = std::to_string(tls.port());
    {
        ScopedEnv ca("STREAMCORE_CA_FILE", tls.cert());
        Manager m;
        EXPECT_GT(PublishAndPlayBack(m, "rtmps://localhost:" + port + "/live/secure", nginx.Recording("secure")), 10)
            << tls.log();
    }
    LogCapture log;
    Manager m;
    // Not trusted: no extra CA. Trusted, but not the name the certificate is for.
    const int untrusted = m.mgr->GetPublishId();
    m.mgr->OpenPublishUrl(untrusted, ("rtmps://localhost:" + port + "/live/untrusted").c_str(), 0);
    EXPECT_TRUE(m.sink.WaitFor(RTMP_PUBLISH_CONNECT_FAILED, 1, 10000));
    m.mgr->ClosePublish(untrusted);
    {
        ScopedEnv ca("STREAMCORE_CA_FILE", tls.cert());
        const int misnamed = m.mgr->GetPublishId();
        m.mgr->OpenPublishUrl(misnamed, ("rtmps://127.0.0.1:" + port + "/live/misnamed").c_str(), 0);
        EXPECT_TRUE(m.sink.WaitFor(RTMP_PUBLISH_CONNECT_FAILED, 2, 10000));
        m.mgr->ClosePublish(misnamed);
    }
    EXPECT_EQ(m.sink.Count(RTMP_PUBLISH_CONNECTED), 0);
    const std::string text = log.Text();
    EXPECT_NE(text.find("TLS: the handshake with localhost failed: The certificate is NOT trusted"), std::string::npos)
        << text.substr(0, 3000);
    EXPECT_NE(text.find("TLS: the handshake with 127.0.0.1 failed: The certificate is NOT trusted. The name in the "
                        "certificate does not match the expected"),
              std::string::npos)
        << text.substr(0, 3000);
}

// A TCP port that some process listens on now (without connecting to it: FFmpeg's listener
// takes one client only).
bool Listening(int port) {
    return testsupport::RunCapture({"sh", "-c", "ss -tlnH \"sport = :$0\"", std::to_string(port)}, 5000).find(
               "LISTEN") != std::string::npos;
}

TEST(Servers, NodeMediaServer) {
    const std::string main = std::string(TEST_PEERS_DIR) + "/node_modules/node-media-server/bin/app.js";
    if (!testsupport::FileExists(main)) GTEST_SKIP() << "node-media-server is not installed (scripts/setup)";
    testsupport::TempDir dir("nms");
    const int port = testsupport::FreeTcpPort(), http = testsupport::FreeTcpPort();
    std::ofstream(dir.file("config.json"))
        << "{\"bind\": \"127.0.0.1\", \"store\": {\"path\": \"" << dir.path() << "\"}, \"rtmp\": {\"port\": " << port
        << "}, \"http\": {\"port\": " << http << "}, \"webadmin\": {\"enable\": false}, "
        << "\"auth\": {\"play\": false, \"publish\": false}, \"record\": {\"auto\": false, \"path\": \"" << dir.path()
        << "\"}}\n";
    testsupport::ChildProcess server;
    ASSERT_TRUE(server.Start({"node", main, "-c", dir.file("config.json")}, dir.file("server.log")));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return Listening(port); }, 15000))
        << testsupport::ReadFile(dir.file("server.log"));
    Manager m;
    EXPECT_GT(PublishAndPlayBack(m, "rtmp://127.0.0.1:" + std::to_string(port) + "/live/nms", ""), 10)
        << testsupport::ReadFile(dir.file("server.log"));
}

TEST(Servers, FfmpegListener) {
    testsupport::TempDir dir("listener");
    const TestMedia& media = Media();
    // Publishing: the listener takes the stream and writes it down.
    int port = testsupport::FreeTcpPort();
    std::string url = "rtmp://127.0.0.1:" + std::to_string(port) + "/live/s";
    testsupport::ChildProcess taker;
    ASSERT_TRUE(taker.Start({"ffmpeg", "-nostdin", "-v", "error", "-listen", "1", "-i", url, "-c", "copy", "-y",
                             dir.file("got.flv")},
                            dir.file("taker.log")));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return Listening(port); }, 10000));
    {
        Manager m;
        const int id = m.mgr->GetPublishId();
        m.mgr->OpenPublishUrl(id, true, "uni", url.c_str(), 0);
        ASSERT_TRUE(m.sink.WaitFor(RTMP_PUBLISH_CONNECTED, 1, 10000));
        std::vector<uint8_t> config = media.aacConfig;
        m.mgr->SetAACExtraData(id, config.data(), static_cast<int>(config.size()));
        FeedRealTime(m.mgr, id, media.video, media.audio, 2.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        m.mgr->ClosePublish(id);
    }
    EXPECT_NE(taker.Wait(10000), -1);
    EXPECT_EQ(Probe({"-select_streams", "v", "-count_frames", "-show_entries", "stream=codec_name,nb_read_frames", "-of",
                     "csv=p=0", dir.file("got.flv")}),
              "h264," + std::to_string(media.video.size()) + "\n")
        << testsupport::ReadFile(dir.file("taker.log"));

    // Playing: the listener gives a stream it encodes as it goes.
    port = testsupport::FreeTcpPort();
    url = "rtmp://127.0.0.1:" + std::to_string(port) + "/live/s";
    testsupport::ChildProcess giver;
    ASSERT_TRUE(giver.Start({"ffmpeg", "-nostdin", "-v", "error", "-re", "-f", "lavfi", "-i",
                             "testsrc=size=320x240:rate=25", "-f", "lavfi", "-i", "sine=sample_rate=16000", "-t", "4",
                             "-c:v", "libx264", "-preset", "ultrafast", "-g", "10", "-c:a", "aac", "-ac", "1", "-f",
                             "flv", "-listen", "1", url},
                            dir.file("giver.log")));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return Listening(port); }, 10000));
    Manager m;
    const int playId = m.mgr->GetPlayId();
    m.mgr->OpenPlayUrl(playId, 1, 2, url.c_str());
    EXPECT_TRUE(testsupport::WaitUntil([&] { return m.sink.video > 25 && m.sink.audio > 25; }, 10000))
        << m.sink.video << " video, " << m.sink.audio << " audio frames; " << testsupport::ReadFile(dir.file("giver.log"));
    m.mgr->ClosePlay(playId);
}
