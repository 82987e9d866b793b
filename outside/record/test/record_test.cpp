// The recording library against real media: H.264 and AAC made by ffmpeg at test time,
// recorded into each container, and checked with ffprobe and a full decode.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

#include "record/IRecord.h"
#include "support/ffprobe.h"
#include "support/media_split.h"
#include "support/process.h"

namespace {

using testsupport::AccessUnit;
using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::RunCapture;
using testsupport::SplitAdts;
using testsupport::TempDir;
using Bytes = std::vector<uint8_t>;

struct Media {
    std::vector<AccessUnit> video;  // 10 fps, a key frame every 10 frames
    std::vector<Bytes> audio;       // 16 kHz mono, 1024 samples a frame
    std::vector<Bytes> adts;        // the same frames with their ADTS headers
    Bytes audioConfig;
};

Media* g_media = nullptr;

class RecordTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        TempDir dir("record_media");
        const std::string h264 = dir.file("v.h264"), aac = dir.file("a.aac");
        int st1 = -1, st2 = -1;
        RunCapture({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=10", "-t",
                    "4", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "veryfast", "-bf", "0", "-g", "10",
                    "-keyint_min", "10", "-sc_threshold", "0", "-x264-params", "repeat-headers=1", "-f", "h264", h264},
                   120000, &st1);
        RunCapture({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=16000",
                    "-t", "4", "-ac", "1", "-c:a", "aac", "-b:a", "32k", "-f", "adts", aac},
                   120000, &st2);
        auto* m = new Media;
        m->video = testsupport::SplitAccessUnits(ReadFile(h264), true);
        if (st1 != 0 || st2 != 0 || !SplitAdts(ReadFile(aac), &m->audio, &m->audioConfig, &m->adts)) m->audio.clear();
        g_media = m;
    }
    static void TearDownTestSuite() {
        delete g_media;
        g_media = nullptr;
    }

    void SetUp() override {
        ASSERT_EQ(g_media->video.size(), 40u);
        ASSERT_TRUE(g_media->video[0].key && g_media->video[10].key && !g_media->video[1].key);
        ASSERT_GE(g_media->audio.size(), 60u);
    }
};

struct RecorderDeleter {
    void operator()(IRecord* r) const { DestroyRecord(r); }
};
using Recorder = std::unique_ptr<IRecord, RecorderDeleter>;

bool OpenAsTheEndpointDoes(IRecord* rec, const std::string& path, bool withAudio = true) {
    return rec->Open(path, 2, 320, 240, 10, 16, 16000, 1, 10, withAudio);
}

// Feeds video frames [0, videoCount) at 100 ms steps and the audio frames that fall before
// the end at 64 ms steps, in time order, with the audio header before every audio frame.
// Ticks start at startTick and may wrap. Returns false when a write reported failure.
bool Feed(IRecord* rec, size_t videoCount, uint32_t startTick, size_t* audioFed) {
    const Media& m = *g_media;
    size_t v = 0, a = 0;
    bool ok = true;
    while (v < videoCount) {
        const uint64_t vt = v * 100, at = a * 64;
        if (a < m.audio.size() && at < vt) {
            ok &= rec->SetAudioHeader(m.audioConfig.data(), static_cast<int>(m.audioConfig.size())) == 0;
            ok &= rec->WriteAudio(2, startTick + static_cast<uint32_t>(at), m.audio[a].data(),
                                  static_cast<int>(m.audio[a].size())) == 0;
            ++a;
        } else {
            const AccessUnit& u = m.video[v];
            ok &= rec->WriteVideo(startTick + static_cast<uint32_t>(vt), u.data.data(), static_cast<int>(u.data.size()),
                                  u.key) == 0;
            ++v;
        }
    }
    if (audioFed) *audioFed = a;
    return ok;
}

using StreamInfo = testsupport::ProbedStream;
using ProbeResult = testsupport::ProbedFile;

ProbeResult Probe(const std::string& path) { return testsupport::ProbeMedia(path); }

// The sizes of the packets of one stream ("v" or "a"), in file order.
std::vector<size_t> PacketSizes(const std::string& path, const char* stream) {
    std::vector<size_t> sizes;
    std::istringstream lines(RunCapture({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
                                         "packet=size", "-of", "csv=p=0", path}));
    std::string line;
    while (std::getline(lines, line)) sizes.push_back(static_cast<size_t>(std::atol(line.c_str())));
    return sizes;
}

TEST_F(RecordTest, EachContainerHoldsEveryFrameFromTheFirstKeyFrame) {
    for (const char* ext : {"mp4", "flv", "mkv"}) {
        SCOPED_TRACE(ext);
        TempDir dir("record");
        const std::string path = dir.file(std::string("lesson.") + ext);
        Recorder rec(CreateRecord());
        ASSERT_TRUE(OpenAsTheEndpointDoes(rec.get(), path));

        // Before the first key frame: audio and inter frames are dropped.
        const Media& m = *g_media;
        const uint32_t start = 0xfffff800u;  // the 32-bit tick wraps 2 s into the recording
        EXPECT_EQ(rec->SetAudioHeader(m.audioConfig.data(), 2), 0);
        EXPECT_EQ(rec->WriteAudio(2, start - 300, m.audio[0].data(), static_cast<int>(m.audio[0].size())), 1);
        for (int i = 1; i <= 3; ++i)
            EXPECT_EQ(rec->WriteVideo(start - 400 + i * 100, m.video[i].data.data(),
                                      static_cast<int>(m.video[i].data.size()), false), 1);

        size_t audioFed = 0;
        EXPECT_TRUE(Feed(rec.get(), m.video.size(), start, &audioFed));
        EXPECT_EQ(rec->Close(), 0);

        const ProbeResult p = Probe(path);
        ASSERT_EQ(p.streams.size(), 2u);
        const StreamInfo& v = p.streams.at("video");
        const StreamInfo& a = p.streams.at("audio");
        EXPECT_EQ(v.codec, "h264");
        EXPECT_EQ(v.width, 320);
        EXPECT_EQ(v.height, 240);
        EXPECT_EQ(v.frames, 40);
        EXPECT_EQ(a.codec, "aac");
        EXPECT_EQ(a.frames, static_cast<long>(audioFed));
        EXPECT_GT(p.duration, 3.8);
        EXPECT_LT(p.duration, 4.3);
        EXPECT_EQ(testsupport::DecodeErrors(path), "");
    }
}

TEST_F(RecordTest, RecordingWhoseWriterDiedPlaysUpToItsLastFragment) {
    struct Case {
        const char* ext;
        bool killed;
        long videoFrames;  // what survives of 30 frames with key frames at 0, 1 and 2 s
    };
    // MP4 and Matroska lose the fragment (cluster) being built, FLV nothing.
    for (const Case& c : {Case{"mp4", true, 20}, Case{"mp4", false, 20}, Case{"flv", true, 30}, Case{"mkv", true, 20}}) {
        SCOPED_TRACE(std::string(c.ext) + (c.killed ? " SIGKILL" : " _exit"));
        TempDir dir("record");
        const std::string path = dir.file(std::string("cut.") + c.ext);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Three seconds; the writer dies without Close.
            IRecord* rec = CreateRecord();
            if (!rec || !OpenAsTheEndpointDoes(rec, path)) _exit(3);
            Feed(rec, 30, 5000, nullptr);
            if (c.killed) raise(SIGKILL);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (c.killed)
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        else
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

        const ProbeResult p = Probe(path);
        ASSERT_EQ(p.streams.count("video"), 1u);
        EXPECT_EQ(p.streams.at("video").codec, "h264");
        EXPECT_EQ(p.streams.at("video").frames, c.videoFrames);
        ASSERT_EQ(p.streams.count("audio"), 1u);
        EXPECT_GT(p.streams.at("audio").frames, 20);
        if (std::string(c.ext) != "mkv") {  // an unfinished Matroska file has no duration
            EXPECT_GT(p.duration, 1.8);
        }
        EXPECT_EQ(testsupport::DecodeErrors(path), "");
    }
}

TEST_F(RecordTest, OpenRefusesWhatItCannotWriteAndLeavesNothing) {
    TempDir dir("record");
    Recorder rec(CreateRecord());
    EXPECT_FALSE(OpenAsTheEndpointDoes(rec.get(), dir.file("missing/folder/a.mp4")));
    EXPECT_FALSE(FileExists(dir.file("missing")));
    EXPECT_FALSE(OpenAsTheEndpointDoes(rec.get(), dir.file("a.avi")));
    EXPECT_FALSE(OpenAsTheEndpointDoes(rec.get(), dir.file("a")));
    EXPECT_FALSE(FileExists(dir.file("a.avi")));
    mkdir(dir.file("folder.mp4").c_str(), 0755);
    EXPECT_FALSE(OpenAsTheEndpointDoes(rec.get(), dir.file("folder.mp4")));
    chmod(dir.path().c_str(), 0555);
    if (access(dir.path().c_str(), W_OK) != 0) {  // root may write anyway
        EXPECT_FALSE(OpenAsTheEndpointDoes(rec.get(), dir.file("readonly.mp4")));
    }
    chmod(dir.path().c_str(), 0755);
    // Unusable parameters: another audio codec, a negative size, no flush period, an odd sample rate.
    EXPECT_FALSE(rec->Open(dir.file("b.mp4"), 1, 320, 240, 10, 16, 16000, 1, 10, true));
    EXPECT_FALSE(rec->Open(dir.file("b.mp4"), 2, -320, 240, 10, 16, 16000, 1, 10, true));
    EXPECT_FALSE(rec->Open(dir.file("b.mp4"), 2, 320, 240, 10, 16, 16000, 1, 0, true));
    EXPECT_FALSE(rec->Open(dir.file("b.mp4"), 2, 320, 240, 10, 16, 12345, 1, 10, true));
    EXPECT_FALSE(FileExists(dir.file("b.mp4")));
    EXPECT_EQ(RunCapture({"ls", "-A", dir.path()}), "folder.mp4\n");
}

TEST_F(RecordTest, CallsOutsideAnOpenRecordingFailByResult) {
    TempDir dir("record");
    const Media& m = *g_media;
    const AccessUnit& key = m.video[0];
    Recorder rec(CreateRecord());
    EXPECT_EQ(rec->WriteVideo(0, key.data.data(), static_cast<int>(key.data.size()), true), -1);
    EXPECT_EQ(rec->WriteAudio(2, 0, m.audio[0].data(), static_cast<int>(m.audio[0].size())), -1);
    EXPECT_EQ(rec->SetAudioHeader(m.audioConfig.data(), 2), -1);
    EXPECT_EQ(rec->Close(), -1);

    const std::string path = dir.file("a.mkv");
    ASSERT_TRUE(OpenAsTheEndpointDoes(rec.get(), path));
    EXPECT_FALSE(OpenAsTheEndpointDoes(rec.get(), dir.file("b.mkv")));  // one file at a time
    EXPECT_EQ(rec->WriteVideo(0, nullptr, 10, true), -1);
    EXPECT_EQ(rec->WriteVideo(0, key.data.data(), 0, true), -1);
    const Bytes garbage(100, 0x5a);
    EXPECT_EQ(rec->WriteVideo(0, garbage.data(), static_cast<int>(garbage.size()), true), -1);
    EXPECT_EQ(rec->WriteAudio(1, 0, m.audio[0].data(), static_cast<int>(m.audio[0].size())), -1);
    EXPECT_EQ(rec->SetAudioHeader(nullptr, 2), -1);
    EXPECT_TRUE(Feed(rec.get(), 10, 0, nullptr));
    // The audio configuration is fixed once the file has begun.
    const Bytes other = {0x12, 0x10};
    EXPECT_EQ(rec->SetAudioHeader(other.data(), 2), -1);
    EXPECT_EQ(rec->Close(), 0);
    EXPECT_EQ(rec->Close(), -1);
    EXPECT_EQ(rec->WriteVideo(2000, key.data.data(), static_cast<int>(key.data.size()), true), -1);
    EXPECT_EQ(Probe(path).streams.at("video").frames, 10);

    // A recording that never saw a key frame leaves no file behind.
    const std::string empty = dir.file("empty.flv");
    ASSERT_TRUE(OpenAsTheEndpointDoes(rec.get(), empty));
    EXPECT_EQ(rec->WriteVideo(0, m.video[1].data.data(), static_cast<int>(m.video[1].data.size()), false), 1);
    EXPECT_EQ(rec->Close(), 0);
    EXPECT_FALSE(FileExists(empty));

    // Destroying an open recorder finishes its file.
    const std::string unclosed = dir.file("unclosed.mp4");
    {
        Recorder other(CreateRecord());
        ASSERT_TRUE(OpenAsTheEndpointDoes(other.get(), unclosed));
        EXPECT_TRUE(Feed(other.get(), 20, 0, nullptr));
    }
    EXPECT_EQ(Probe(unclosed).streams.at("video").frames, 20);
    EXPECT_EQ(testsupport::DecodeErrors(unclosed), "");
}

TEST_F(RecordTest, VideoOnlyAndLateAudioHeader) {
    const Media& m = *g_media;
    TempDir dir("record");
    // Without audio: the audio calls are accepted and ignored.
    const std::string videoOnly = dir.file("video.mp4");
    Recorder rec(CreateRecord());
    ASSERT_TRUE(OpenAsTheEndpointDoes(rec.get(), videoOnly, false));
    EXPECT_TRUE(Feed(rec.get(), 20, 100, nullptr));
    EXPECT_EQ(rec->Close(), 0);
    ProbeResult p = Probe(videoOnly);
    EXPECT_EQ(p.streams.size(), 1u);
    EXPECT_EQ(p.streams["video"].frames, 20);
    EXPECT_EQ(testsupport::DecodeErrors(videoOnly), "");

    // Opened with another size than the frames have, or with none: the file tells the
    // frames' size.
    for (const int openedWidth : {640, 0}) {
        const std::string sized = dir.file("sized" + std::to_string(openedWidth) + ".mkv");
        ASSERT_TRUE(rec->Open(sized, 2, openedWidth, openedWidth * 3 / 4, 10, 16, 16000, 1, 10, false));
        EXPECT_TRUE(Feed(rec.get(), 10, 100, nullptr));
        EXPECT_EQ(rec->Close(), 0);
        p = Probe(sized);
        EXPECT_EQ(p.streams["video"].width, 320);
        // The track header itself (Matroska PixelWidth 0xB0 and PixelHeight 0xBA elements).
        const std::string file = ReadFile(sized);
        EXPECT_NE(file.find(std::string("\xb0\x82\x01\x40\xba\x81\xf0", 7)), std::string::npos);
        EXPECT_EQ(file.find(std::string("\xb0\x82\x02\x80", 4)), std::string::npos);
    }

    // Audio header only after a second of video: the video held meanwhile is all there.
    const std::string late = dir.file("late.flv");
    ASSERT_TRUE(OpenAsTheEndpointDoes(rec.get(), late));
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(rec->WriteVideo(static_cast<uint32_t>(i * 100), m.video[i].data.data(),
                                  static_cast<int>(m.video[i].data.size()), m.video[i].key), 0);
    EXPECT_EQ(rec->WriteAudio(2, 950, m.audio[0].data(), static_cast<int>(m.audio[0].size())), 1);  // no header yet
    for (size_t i = 1; i < 10; ++i) {
        // Some frames come with their ADTS header; it does not end up in the file.
        const Bytes& frame = i % 2 ? m.adts[i] : m.audio[i];
        EXPECT_EQ(rec->SetAudioHeader(m.audioConfig.data(), static_cast<int>(m.audioConfig.size())), 0);
        EXPECT_EQ(rec->WriteAudio(2, static_cast<uint32_t>(1000 + i * 64), frame.data(), static_cast<int>(frame.size())),
                  0);
    }
    EXPECT_EQ(rec->Close(), 0);
    p = Probe(late);
    EXPECT_EQ(p.streams["video"].frames, 10);
    EXPECT_EQ(p.streams["audio"].frames, 9);
    std::vector<size_t> rawSizes;
    for (size_t i = 1; i < 10; ++i) rawSizes.push_back(m.audio[i].size());
    EXPECT_EQ(PacketSizes(late, "a"), rawSizes);
    EXPECT_EQ(testsupport::DecodeErrors(late), "");
}

TEST_F(RecordTest, AudioHeaderThatNeverComesAndCallsFromSeveralThreads) {
    TempDir dir("record");
    // Opened, fed and closed on three threads in turn, as the endpoint does; no audio header
    // ever arrives, so after flushSeconds the video starts with the configuration of the
    // Open parameters.
    const std::string path = dir.file("noheader.mkv");
    Recorder rec(CreateRecord());
    bool opened = false, fed = false;
    int closed = -1;
    std::thread([&] { opened = rec->Open(path, 2, 320, 240, 10, 16, 16000, 1, 1, true); }).join();
    ASSERT_TRUE(opened);
    std::thread([&] {
        fed = true;
        for (size_t i = 0; i < 25; ++i) {
            const AccessUnit& u = g_media->video[i];
            fed &= rec->WriteVideo(static_cast<uint32_t>(i * 100), u.data.data(), static_cast<int>(u.data.size()),
                                   u.key) == 0;
        }
    }).join();
    std::thread([&] { closed = rec->Close(); }).join();
    EXPECT_TRUE(fed);
    EXPECT_EQ(closed, 0);
    const ProbeResult p = Probe(path);
    EXPECT_EQ(p.streams.at("video").frames, 25);
    EXPECT_EQ(p.streams.at("audio").codec, "aac");
    EXPECT_EQ(testsupport::DecodeErrors(path), "");
}

TEST_F(RecordTest, FullDiskIsReportedAsFailure) {
    TempDir dir("record");
    const std::string path = dir.file("full.flv");
    ASSERT_EQ(symlink("/dev/full", path.c_str()), 0);
    Recorder rec(CreateRecord());
    ASSERT_TRUE(OpenAsTheEndpointDoes(rec.get(), path, false));
    int failures = 0;
    for (size_t i = 0; i < 10; ++i) {
        const AccessUnit& u = g_media->video[i];
        if (rec->WriteVideo(static_cast<uint32_t>(i * 100), u.data.data(), static_cast<int>(u.data.size()), u.key) ==
            -1)
            ++failures;
    }
    EXPECT_EQ(failures, 10);
    EXPECT_EQ(rec->Close(), -1);
}

}  // namespace
