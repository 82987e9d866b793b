#include "media.h"

#include "support/process.h"

#include <chrono>
#include <memory>
#include <thread>

namespace rtmptest {

namespace {

// Offsets of the NAL units (right after their start codes) and of the start codes.
struct NalPos {
    size_t codeAt;
    size_t nalAt;
};

std::vector<NalPos> FindNals(const std::vector<uint8_t>& s) {
    std::vector<NalPos> out;
    for (size_t i = 0; i + 3 <= s.size(); ++i) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            size_t code = i;
            if (code > 0 && s[code - 1] == 0) --code;
            out.push_back(NalPos{code, i + 3});
            i += 2;
        }
    }
    return out;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    const std::string text = testsupport::ReadFile(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace

std::vector<Frame> SplitAccessUnits(const std::vector<uint8_t>& stream, int fps) {
    std::vector<Frame> frames;
    const std::vector<NalPos> nals = FindNals(stream);
    for (size_t n = 0; n < nals.size(); ++n) {
        if ((stream[nals[n].nalAt] & 0x1F) != 9) continue;  // access unit delimiter
        size_t begin = n + 1 < nals.size() ? nals[n + 1].codeAt : stream.size();
        size_t end = stream.size();
        bool key = false;
        for (size_t m = n + 1; m < nals.size(); ++m) {
            if ((stream[nals[m].nalAt] & 0x1F) == 9) {
                end = nals[m].codeAt;
                break;
            }
            if ((stream[nals[m].nalAt] & 0x1F) == 5) key = true;
        }
        if (begin >= end) continue;
        Frame f;
        f.data.assign(stream.begin() + static_cast<long>(begin), stream.begin() + static_cast<long>(end));
        f.key = key;
        f.timestamp = static_cast<uint32_t>(frames.size() * 1000 / static_cast<size_t>(fps));
        frames.push_back(std::move(f));
    }
    return frames;
}

std::vector<Frame> SplitAdts(const std::vector<uint8_t>& s, std::vector<uint8_t>* config) {
    std::vector<Frame> frames;
    size_t i = 0;
    int sampleRate = 16000;
    static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
    while (i + 7 <= s.size()) {
        if (s[i] != 0xFF || (s[i + 1] & 0xF0) != 0xF0) break;
        const bool noCrc = s[i + 1] & 0x01;
        const int profile = (s[i + 2] >> 6) & 0x03;
        const int rateIndex = (s[i + 2] >> 2) & 0x0F;
        const int channels = ((s[i + 2] & 0x01) << 2) | ((s[i + 3] >> 6) & 0x03);
        const size_t length = ((s[i + 3] & 0x03) << 11) | (s[i + 4] << 3) | ((s[i + 5] >> 5) & 0x07);
        const size_t header = noCrc ? 7 : 9;
        if (length < header || i + length > s.size()) break;
        if (config->empty()) {
            const int objectType = profile + 1;
            config->push_back(static_cast<uint8_t>((objectType << 3) | (rateIndex >> 1)));
            config->push_back(static_cast<uint8_t>(((rateIndex & 1) << 7) | (channels << 3)));
            if (rateIndex < 13) sampleRate = kRates[rateIndex];
        }
        Frame f;
        f.data.assign(s.begin() + static_cast<long>(i + header), s.begin() + static_cast<long>(i + length));
        f.timestamp = static_cast<uint32_t>(frames.size() * 1024 * 1000 / static_cast<size_t>(sampleRate));
        frames.push_back(std::move(f));
        i += length;
    }
    return frames;
}

const TestMedia& Media(int seconds) {
    static std::mutex lock;
    static std::unique_ptr<TestMedia> media;
    std::lock_guard<std::mutex> guard(lock);
    if (media) return *media;
    media.reset(new TestMedia);
    testsupport::TempDir dir("rtmpmedia");
    const std::string t = std::to_string(seconds);
    const std::string h264 = dir.file("v.h264");
    const std::string aac = dir.file("a.aac");
    int status = -1;
    testsupport::RunCapture({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
                             "-t", t, "-c:v", "libx264", "-preset", "ultrafast", "-g", "10", "-bf", "0",
                             "-x264-params", "aud=1", "-pix_fmt", "yuv420p", "-f", "h264", h264},
                            60000, &status);
    testsupport::RunCapture({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                             "sine=frequency=440:sample_rate=16000", "-t", t, "-ac", "1", "-c:a", "aac", "-b:a",
                             "32k", "-f", "adts", aac},
                            60000, &status);
    media->video = SplitAccessUnits(ReadBytes(h264), 25);
    media->audio = SplitAdts(ReadBytes(aac), &media->aacConfig);
    return *media;
}

bool RecordingSink::OnPublishEvent(int id, std::string name, RTMP_RESULT result, char* info, int infoLen) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_events.push_back(Event{id, name, result, info == nullptr, infoLen});
    }
    m_changed.notify_all();
    return true;
}

std::vector<Event> RecordingSink::Events() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_events;
}

int RecordingSink::Count(RTMP_RESULT result) {
    std::lock_guard<std::mutex> lock(m_lock);
    int n = 0;
    for (const Event& e : m_events) n += e.result == result;
    return n;
}

bool RecordingSink::WaitFor(RTMP_RESULT result, int count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        int n = 0;
        for (const Event& e : m_events) n += e.result == result;
        return n >= count;
    });
}

void FeedRealTime(IRtmpMgr* mgr, int id, const std::vector<Frame>& video, const std::vector<Frame>& audio,
                  double speed) {
    const auto start = std::chrono::steady_clock::now();
    size_t v = 0, a = 0;
    const uint32_t base = std::min(video.empty() ? 0u : video[0].timestamp, audio.empty() ? 0u : audio[0].timestamp);
    while (v < video.size() || a < audio.size()) {
        const bool takeVideo = a >= audio.size() || (v < video.size() && video[v].timestamp <= audio[a].timestamp);
        const Frame& f = takeVideo ? video[v] : audio[a];
        std::this_thread::sleep_until(start + std::chrono::microseconds(
                                                  static_cast<int64_t>((f.timestamp - base) * 1000.0 / speed)));
        std::vector<uint8_t> copy = f.data;
        if (takeVideo) {
            mgr->PublishVideoRtmpData(id, copy.data(), static_cast<int>(copy.size()), f.timestamp, f.key);
            ++v;
        } else {
            mgr->PublishAudioRtmpData(id, 1, copy.data(), static_cast<int>(copy.size()), f.timestamp);
            ++a;
        }
    }
}

std::string Probe(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"ffprobe", "-v", "error"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::RunCapture(argv, 60000);
}

}  // namespace rtmptest
