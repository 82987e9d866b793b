// The endpoint with its real collaborators: RtmpLink against an nginx RTMP server, the
// recording library, and the window-share manager under Xvfb. Only the capture engine is a
// stand-in: the test feeds real ffmpeg-made H.264 and AAC frames through IMediaTapSink the
// way the engine does, under the engine's own source names.
#include "IStreamCore.h"
#include "common/util.h"
#include "doubles.h"
#include "media.h"
#include "support/ffprobe.h"
#include "support/peers.h"
#include "support/process.h"

#include <json/json.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using testsupport::ChildProcess;
using testsupport::FileExists;
using testsupport::NginxRtmp;
using testsupport::TempDir;
using testsupport::WaitUntil;
using testsupport::XvfbDisplay;

namespace {

const char kApp[] = "app0";  // the uniName an application capture gets from the engine
const char kMixer[] = "#soundcard#mix#mic";

class ResultSink : public StreamCoreSink {
public:
    void OnStreamCoreEvent(int, int) override {}
    void OnPublishResult(int value, const char* name) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_results.push_back(std::to_string(value) + ":" + name);
    }
    void OnPlayResult(int, const char*) override {}
    bool Has(const std::string& r) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& x : m_results)
            if (x == r) return true;
        return false;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_results;
};

media::Clip* g_clip = nullptr;
XvfbDisplay* g_display = nullptr;

unsigned Now() { return static_cast<unsigned>(Orvane::Common::ovGetTickCount()); }

// Feeds video frames [0, count) of the clip at its frame rate and the audio frames that fall
// in between at 64 ms steps, in real time, as the engine's threads would. Returns the number
// of audio frames fed.
size_t Feed(IMediaTapSink* sink, size_t count) {
    const media::Clip& c = *g_clip;
    const auto start = std::chrono::steady_clock::now();
    const int frameMs = 1000 / c.fps;
    size_t v = 0, a = 0;
    char config[16];
    std::copy(c.audioConfig.begin(), c.audioConfig.end(), config);
    sink->OnMixerAudioHeaderData(kMixer, config, static_cast<int>(c.audioConfig.size()));
    while (v < count) {
        const long vt = static_cast<long>(v) * frameMs, at = static_cast<long>(a) * 64;
        const bool audioNext = a < c.audio.size() && at < vt;
        std::this_thread::sleep_until(start + std::chrono::milliseconds(audioNext ? at : vt));
        if (audioNext) {
            sink->OnMixerAudioDataAt(kMixer, c.audio[a].data(), static_cast<int>(c.audio[a].size()), Now());
            ++a;
        } else {
            const media::VideoFrame& f = c.video[v];
            sink->OnRtpVideoData(kApp, f.data.data(), static_cast<int>(f.data.size()), f.key, Now());
            ++v;
        }
    }
    return a;
}

class IntegrationTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        TempDir dir("sc_media");
        g_clip = new media::Clip;
        if (!media::MakeClip(dir.path(), 320, 240, 10, 4, g_clip)) g_clip->video.clear();
        g_display = new XvfbDisplay;
        if (g_display->Start(true)) setenv("DISPLAY", g_display->display().c_str(), 1);
    }
    static void TearDownTestSuite() {
        delete g_display;
        g_display = nullptr;
        delete g_clip;
        g_clip = nullptr;
    }
    void SetUp() override {
        ASSERT_EQ(g_clip->video.size(), 40u);
        ASSERT_TRUE(g_clip->video[0].key && g_clip->video[10].key && !g_clip->video[1].key);
        ASSERT_GE(g_clip->audio.size(), 60u);
        ASSERT_NE(getenv("DISPLAY"), nullptr);
        doubles::ResetEngineResults();
        doubles::SetEngineResult("IsVideoEncoding", 1);
        doubles::SetEngineResult("GetVideoParamA", g_clip->width);
        doubles::SetEngineResult("GetVideoParamB", g_clip->height);
    }
};

}  // namespace

// Runs first: the child process forks before this process has started any endpoint threads.
TEST_F(IntegrationTest, RecordingCutOffByKillingItsProcessPlaysUpToItsLastFragment) {
    TempDir dir("sc_cut");
    const std::string path = dir.file("cut.mp4");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        IStreamCore* core = CreateStreamCore();
        core->Initialize(nullptr, nullptr, nullptr, false);
        if (core->StartRecord(path.c_str(), kApp, kMixer, true) < 0) _exit(3);
        // Three seconds: key frames at 0, 1 and 2 s; then the process dies without a Close.
        Feed(doubles::Engine()->Sink(), 30);
        // Killed once the writer has put the two complete fragments on disk.
        WaitUntil(
            [&] {
                const media::Probe p = media::ProbeFile(path);
                return p.video.frames >= 20 && p.audio.frames > 20;
            },
            10000);
        raise(SIGKILL);
        _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    const media::Probe p = media::ProbeFile(path);
    ASSERT_TRUE(p.hasVideo);
    EXPECT_EQ(p.video.codec, "h264");
    // The fragments before the last key frame are in the file; the one being built is not.
    EXPECT_EQ(p.video.frames, 20);
    ASSERT_TRUE(p.hasAudio);
    EXPECT_EQ(p.audio.codec, "aac");
    EXPECT_GT(p.audio.frames, 20);
    EXPECT_EQ(testsupport::DecodeErrors(path), "");
}

TEST_F(IntegrationTest, PublishedStreamAndLocalRecordingCarryEveryFrame) {
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start());
    TempDir dir("sc_rec");
    const std::string recPath = dir.file("local.mp4");
    const std::string url = nginx.Url("endpoint");

    IStreamCore* core = CreateStreamCore();
    ASSERT_TRUE(core->Initialize(nullptr, nullptr, nullptr, false));
    ResultSink sink;
    core->SetSink(&sink);
    ASSERT_TRUE(core->PublishMixStream(url.c_str(), kApp, kMixer, 0));
    ASSERT_TRUE(WaitUntil([&] { return sink.Has("0:endpoint"); }, 20000)) << "no publish result";
    // The flag chooses no track: a named audio source is recorded whatever it says, and an
    // empty audio name gives a video-only file.
    const std::string unflagged = dir.file("unflagged.mp4"), videoOnly = dir.file("video.mp4");
    const int id = core->StartRecord(recPath.c_str(), kApp, kMixer, true);
    const int id2 = core->StartRecord(unflagged.c_str(), kApp, kMixer, false);
    const int id3 = core->StartRecord(videoOnly.c_str(), kApp, "", true);
    ASSERT_GT(id, 0);
    ASSERT_GT(id2, 0);
    ASSERT_GT(id3, 0);

    const size_t audioFed = Feed(doubles::Engine()->Sink(), g_clip->video.size());
    // The publisher's send queue has drained once the server's copy (readable while it is
    // written) holds every frame.
    EXPECT_TRUE(WaitUntil(
        [&] {
            const media::Probe p = media::ProbeFile(nginx.Recording("endpoint"));
            return p.video.frames == 40 && p.audio.frames == static_cast<long>(audioFed);
        },
        20000));
    for (int each : {id, id2, id3}) EXPECT_TRUE(core->StopRecord(each));
    core->StopPublish(url.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(core->UnInitialize());
    core->SetSink(nullptr);
    DestroyStreamCore(core);
    nginx.Stop();

    // The server's copy.
    const media::Probe server = media::ProbeFile(nginx.Recording("endpoint"));
    ASSERT_TRUE(server.hasVideo);
    EXPECT_EQ(server.video.codec, "h264");
    EXPECT_EQ(server.video.width, 320);
    EXPECT_EQ(server.video.height, 240);
    EXPECT_EQ(server.video.frames, 40);
    ASSERT_TRUE(server.hasAudio);
    EXPECT_EQ(server.audio.codec, "aac");
    EXPECT_EQ(server.audio.frames, static_cast<long>(audioFed));
    EXPECT_EQ(testsupport::DecodeErrors(nginx.Recording("endpoint")), "");

    // The local recordings.
    for (const std::string& path : {recPath, unflagged, videoOnly}) {
        SCOPED_TRACE(path);
        const media::Probe local = media::ProbeFile(path);
        ASSERT_TRUE(local.hasVideo);
        EXPECT_EQ(local.video.codec, "h264");
        EXPECT_EQ(local.video.width, 320);
        EXPECT_EQ(local.video.height, 240);
        EXPECT_EQ(local.video.frames, 40);
        EXPECT_GT(local.duration, 3.5);
        EXPECT_LT(local.duration, 4.6);
        EXPECT_EQ(testsupport::DecodeErrors(path), "");
        if (path == videoOnly) {
            EXPECT_FALSE(local.hasAudio);
            continue;
        }
        ASSERT_TRUE(local.hasAudio);
        EXPECT_EQ(local.audio.codec, "aac");
        EXPECT_EQ(local.audio.sampleRate, 16000);
        EXPECT_EQ(local.audio.channels, 1);
        EXPECT_EQ(local.audio.frames, static_cast<long>(audioFed));
    }
}

TEST_F(IntegrationTest, WindowListShowsTheDesktopFirstAndTheWindowsOfAHelperProcess) {
    ChildProcess helper;
    ASSERT_TRUE(helper.Start({"xclock", "-display", getenv("DISPLAY")}));
    IStreamCore* core = CreateStreamCore();
    ASSERT_TRUE(core->Initialize(nullptr, nullptr, nullptr, false));
    std::string text;
    Json::Value root;
    auto listsHelper = [&] {
        text = core->EnumWindowList();
        Json::CharReaderBuilder builder;
        std::string errors;
        std::istringstream in(text);
        if (!Json::parseFromStream(builder, in, &root, &errors)) return false;
        for (const auto& w : root["windowList"])
            if (w["filePath"].asString().find("xclock") != std::string::npos) return true;
        return false;
    };
    EXPECT_TRUE(WaitUntil(listsHelper, 15000)) << text;
    ASSERT_TRUE(root["windowList"].isArray());
    ASSERT_GE(root["windowList"].size(), 2u);
    EXPECT_GE(root["count"].asInt(), static_cast<int>(root["windowList"].size()));
    EXPECT_EQ(root["windowList"][0]["windowName"].asString(), "desktop");
    EXPECT_EQ(root["windowList"][0]["filePath"].asString(), "desktop");
    bool found = false;
    for (const auto& w : root["windowList"]) {
        if (w["filePath"].asString().find("xclock") == std::string::npos) continue;
        found = true;
        EXPECT_EQ(w["windowName"].asString(), "xclock");
        EXPECT_NE(w["hWnd"].asInt(), 0);
    }
    EXPECT_TRUE(found);
    // Compact, one line, with the line feed at the end.
    EXPECT_EQ(text.find('\n'), text.size() - 1);
    EXPECT_EQ(text.find(": "), std::string::npos);
    DestroyStreamCore(core);
}

// A disk that fills up under a recording: a small tmpfs in a mount namespace of the test's own
// (the test runs itself again inside it, as root).
TEST_F(IntegrationTest, AFullDiskEndsTheRecordingWithAnEventAndItsStopAnswersFalse) {
    const char* disk = getenv("SC_FULL_DISK");
    if (!disk) {
        TempDir dir("sc_full");
        char self[4096];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
        self[n > 0 ? n : 0] = '\0';
        int status = -1;
        const std::string out = testsupport::RunCapture(
            {"unshare", "-m", "sh", "-c",
             "mount -t tmpfs -o size=256k tmpfs \"$0\" && exec \"$1\" --gtest_filter='*FullDisk*' 2>&1",
             dir.path(), self},
            120000, &status, {{"SC_FULL_DISK", dir.path()}});
        std::printf("%s", out.c_str());
        if (out.find("mount") != std::string::npos && status != 0 && out.find("[ RUN") == std::string::npos)
            GTEST_SKIP() << "no tmpfs can be mounted here";
        EXPECT_EQ(status, 0);
        return;
    }
    // Leave about 20 KB free: the first fragments fit, a later one does not.
    {
        std::FILE* filler = std::fopen((std::string(disk) + "/filler").c_str(), "wb");
        ASSERT_NE(filler, nullptr);
        std::vector<char> block(236 * 1024, 'f');
        std::fwrite(block.data(), 1, block.size(), filler);
        std::fclose(filler);
    }
    struct Details final : IStreamCoreDetailSink {
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
    } details;
    const std::string path = std::string(disk) + "/lesson.mp4";
    IStreamCore* core = CreateStreamCore();
    ASSERT_TRUE(core->Initialize(nullptr, nullptr, nullptr, false));
    core->SetDetailSink(&details);
    const int id = core->StartRecord(path.c_str(), kApp, kMixer, true);
    ASSERT_GT(id, 0);
    Feed(doubles::Engine()->Sink(), g_clip->video.size());
    ASSERT_TRUE(WaitUntil([&] { return details.Count() > 0; }, 5000))
        << "no event for the failed recording; " << testsupport::ReadFile(path).size() << " bytes written";
    EXPECT_FALSE(core->StopRecord(id));
    core->UnInitialize();
    DestroyStreamCore(core);
    ASSERT_EQ(details.seen.size(), 1u);
    EXPECT_EQ(details.seen[0], "6005:" + std::to_string(id) + ":" + path +
                                   ":the file could not be written (No space left on device)");
    // What was written before the disk filled plays.
    const media::Probe p = media::ProbeFile(path);
    ASSERT_TRUE(p.hasVideo);
    EXPECT_GE(p.video.frames, 10);
    EXPECT_LT(p.video.frames, 40);
    EXPECT_EQ(testsupport::DecodeErrors(path), "");
    std::printf("the full disk's recording holds %ld of 40 frames\n", p.video.frames);
}
