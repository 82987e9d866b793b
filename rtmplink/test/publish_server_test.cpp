// The publisher against a real nginx RTMP server (recording everything it receives), checked
// with ffprobe / ffmpeg and the server's own log.
#include "media.h"
#include "rtmp_mgr.h"

#include "support/peers.h"
#include "support/process.h"

#include "common/slogger.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
    // Let the queue drain before closing.
    testsupport::WaitUntil([&] { return m.mgr->OnSendVideoPacketCount(id) <= 0; }, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    m.mgr->ClosePublish(id);
    const std::string rec = nginx.Recording("first");
    ASSERT_TRUE(RecordingSettled(rec));

    const auto v = Lines(Probe({"-select_streams", "v", "-count_frames", "-show_entries",
                                "stream=codec_name,nb_read_frames", "-of", "csv=p=0", rec}));
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0], "h264," + std::to_string(media.video.size()));
    const auto a = Lines(Probe({"-select_streams", "a", "-show_entries", "stream=codec_name,sample_rate,channels",
                                "-of", "csv=p=0", rec}));
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0], "aac,16000,1");
    EXPECT_DOUBLE_EQ(FirstPts(rec, "v"), 0.0);
    EXPECT_DOUBLE_EQ(FirstPts(rec, "a"), 0.0);
    int status = -1;
    const std::string errors =
        testsupport::RunCapture({"sh", "-c", "ffmpeg -nostdin -v error -i \"$0\" -f null - 2>&1", rec}, 60000, &status);
    EXPECT_EQ(errors, "");
    EXPECT_EQ(status, 0);
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
