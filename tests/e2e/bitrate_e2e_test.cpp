// The video bitrate follows the uplink, end to end: the endpoint with the real capture engine
// publishes a pattern camera (drifting noise, 640x480 at 30 fps, about 920 kbit/s asked) to nginx
// in a network namespace whose loopback passes through a token bucket. Through a link at half
// the stream the bitrate comes down and the server receives frames steadily; through a link
// four times the stream it stays at what was asked. The host is one built against the
// three-slot event sink: it lives through all of it, and hears of bitrate changes only once
// it registered for them.
//
// The test runs itself again inside the namespace (`ip netns exec`), as root.
#include "IStreamCore.h"
#include "three_slot_host.h"
#include "support/ffprobe.h"
#include "support/peers.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

// The three-slot host, as one object that owns what three_slot_host.cpp makes.
struct ThreeSlotHost {
    void* host = NewThreeSlotHost();
    ~ThreeSlotHost() { DeleteThreeSlotHost(host); }
    bool Connected(const std::string& name) { return ThreeSlotHostConnected(host, name.c_str()); }
    StreamCoreSink* AsSink() { return static_cast<StreamCoreSink*>(host); }
};

class BitrateListener final : public IStreamCoreBitrateSink {
public:
    void OnBitrateChanged(int kbps, const char* url) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_changes.emplace_back(url ? url : "", kbps);
    }
    std::vector<int> Changes(const std::string& url) {
        std::lock_guard<std::mutex> lock(m_lock);
        std::vector<int> out;
        for (const auto& c : m_changes)
            if (c.first == url) out.push_back(c.second);
        return out;
    }

private:
    std::mutex m_lock;
    std::vector<std::pair<std::string, int>> m_changes;
};

// The encoded bitrate of the video frames a recording holds after `after` seconds: their mean
// size at the camera's 30 frames a second, in kbit/s (frames the link lost do not lower it).
double EncodedKbps(const std::string& file, double after) {
    std::istringstream in(RunCapture({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                      "packet=pts_time,size", "-of", "csv=p=0", file}));
    double bytes = 0;
    int frames = 0;
    for (std::string line; std::getline(in, line);) {
        const size_t comma = line.find(',');
        if (comma == std::string::npos || std::atof(line.c_str()) <= after) continue;
        bytes += std::atof(line.c_str() + comma + 1);
        ++frames;
    }
    return frames ? bytes / frames * 30 * 8 / 1000 : 0;
}

// Video packet times of a recording, in seconds.
std::vector<double> VideoTimes(const std::string& file) {
    std::istringstream in(RunCapture({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                      "packet=pts_time", "-of", "csv=p=0", file}));
    std::vector<double> times;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) times.push_back(std::atof(line.c_str()));
    return times;
}

// The longest stretch without a frame after `after` seconds.
double LongestGap(const std::vector<double>& times, double after) {
    double longest = 0;
    for (size_t i = 1; i < times.size(); ++i)
        if (times[i] > after) longest = std::max(longest, times[i] - times[i - 1]);
    return longest;
}

// Publishes the camera to stream for seconds through a link of linkKbps; returns the URL.
std::string Publish(IStreamCore* core, NginxRtmp& server, ThreeSlotHost& host, const std::string& camera,
                    const std::string& stream, int linkKbps, int seconds) {
    int status = -1;
    RunCapture({"sh", "-c", "tc qdisc replace dev lo root tbf rate ${0}kbit burst 8kb latency 50ms",
                std::to_string(linkKbps)},
               10000, &status);
    EXPECT_EQ(status, 0) << "tc";
    const std::string url = server.Url(stream);
    EXPECT_TRUE(core->PublishVideoStream(url.c_str(), camera.c_str(), false));
    EXPECT_TRUE(WaitUntil([&] { return host.Connected(stream); }, 15000));
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    core->StopPublish(url.c_str());
    return url;
}

void RunInside() {
    int status = -1;
    RunCapture({"ip", "link", "set", "lo", "mtu", "1500", "up"}, 10000, &status);
    ASSERT_EQ(status, 0);
    TempDir dir("bitrate");
    const std::string clip = dir.file("noise.nut");
    RunCapture({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=640x480:rate=30", "-vf",
                "noise=alls=60:allf=t", "-frames:v", "60", "-c:v", "rawvideo", "-pix_fmt", "yuv420p", clip},
               60000, &status);
    ASSERT_EQ(status, 0) << "ffmpeg";
    setenv("CAMPORT_PATTERN_CAMERAS", (clip + ",YUY2:640x480@30").c_str(), 1);
    XvfbDisplay x;
    ASSERT_TRUE(x.Start(false));
    setenv("DISPLAY", x.display().c_str(), 1);
    NginxRtmp server;
    ASSERT_TRUE(server.Start());
    ThreeSlotHost host;
    BitrateListener listener;
    IStreamCore* core = CreateStreamCore();
    ASSERT_NE(core, nullptr);
    core->SetSink(host.AsSink());
    ASSERT_TRUE(core->Initialize(nullptr, nullptr, nullptr, false));
    std::string camera;
    for (int i = 0; i < core->GetCameraCount() && camera.empty(); ++i) {
        char name[128] = {0}, uni[128] = {0};
        if (core->GetCameraNames(i, name, uni) && std::strncmp(uni, "pattern:", 8) == 0) camera = uni;
    }
    ASSERT_FALSE(camera.empty());
    ASSERT_TRUE(core->OpenCamera(camera.c_str(), nullptr, 640, 480, 30));

    // The three-slot host alone: the bitrate still follows the narrow link.
    const std::string narrow = Publish(core, server, host, camera, "narrow", 460, 20);
    // The same host registered for bitrate changes.
    core->SetBitrateSink(&listener);
    const std::string wide = Publish(core, server, host, camera, "wide", 4000, 8);
    const std::string heard = Publish(core, server, host, camera, "heard", 460, 6);
    core->CloseCamera(camera.c_str());
    core->UnInitialize();
    DestroyStreamCore(core);
    server.Stop();

    EXPECT_LT(EncodedKbps(server.Recording("narrow"), 10), 460) << "the narrow stream's bitrate came down";
    // (The camera asks for 921 kbit/s; this picture encodes to about 600-650, a little less on
    // a loaded machine.)
    EXPECT_GT(EncodedKbps(server.Recording("wide"), 2), 520) << "a wide link keeps the asked bitrate";
    EXPECT_TRUE(listener.Changes(narrow).empty()) << "no change reached the host before it registered";
    EXPECT_TRUE(listener.Changes(wide).empty()) << "a wide link keeps the asked bitrate";
    const std::vector<int> changes = listener.Changes(heard);
    ASSERT_FALSE(changes.empty()) << "the registered host hears the bitrate come down";
    EXPECT_LT(changes.front(), 460);
    // Steady: after the first 5 s no frame is missing for more than half a second.
    const std::vector<double> times = VideoTimes(server.Recording("narrow"));
    ASSERT_GT(times.size(), 300u);
    const double longest = LongestGap(times, 5);
    // Judged only where the engine keeps its frame rate with nothing in the way (a sanitizer
    // build on a busy machine may not).
    const double wideLongest = LongestGap(VideoTimes(server.Recording("wide")), 2);
    if (wideLongest <= 0.5) {
        EXPECT_LE(longest, 0.5) << "longest stretch without a frame";
    } else {
        std::printf("the engine left %.2f s without a frame on the wide link: steadiness not judged\n", wideLongest);
    }
    std::printf("narrow link: %zu frames, encoded %.0f kbit/s after 10 s, longest stretch without a frame %.2f s;"
                " registered host heard:",
                times.size(), EncodedKbps(server.Recording("narrow"), 10), longest);
    for (int kbps : changes) std::printf(" %d", kbps);
    std::printf(" kbit/s\n");
    EXPECT_EQ(testsupport::DecodeErrors(server.Recording("narrow")), "");
}

}  // namespace

TEST(BitrateE2E, FollowsANarrowLinkForAThreeSlotHostAndTellsARegisteredOne) {
    if (getenv("E2E_BITRATE_INSIDE")) {
        RunInside();
        return;
    }
    const int status = RunSelfInNetworkNamespace("BitrateE2E.*", "E2E_BITRATE_INSIDE", 200000);
    if (status == -2) GTEST_SKIP() << "no network namespace can be made here (ip netns add)";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
