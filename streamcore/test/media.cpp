#include "media.h"

#include "support/ffprobe.h"
#include "support/media_split.h"
#include "support/process.h"

#include <cstdlib>

namespace media {

using testsupport::ReadFile;
using testsupport::RunCapture;

std::vector<VideoFrame> SplitAccessUnits(const std::string& stream) {
    std::vector<VideoFrame> frames;
    uint16_t seq = 0;
    for (testsupport::AccessUnit& unit : testsupport::SplitAccessUnits(stream, false)) {
        VideoFrame frame;
        // The engine's 12-byte header: 0x80, 0xE0, sequence, 90 kHz timestamp, source id.
        frame.data = {0x80, 0xE0, static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq), 0, 0, 0, 0, 0, 0, 0, 1};
        ++seq;
        frame.data.insert(frame.data.end(), unit.data.begin(), unit.data.end());
        frame.key = unit.key;
        frames.push_back(std::move(frame));
    }
    return frames;
}

bool MakeClip(const std::string& folder, int width, int height, int fps, int seconds, Clip* clip) {
    const std::string h264 = folder + "/clip.h264", aac = folder + "/clip.aac";
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const std::string g = std::to_string(fps), t = std::to_string(seconds);
    int st1 = -1, st2 = -1;
    RunCapture({"ffmpeg", "-nostdin", "-y", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=" + size + ":rate=" + g,
                "-t", t, "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "veryfast", "-bf", "0", "-g", g,
                "-keyint_min", g, "-sc_threshold", "0", "-x264-params", "repeat-headers=1", "-f", "h264", h264},
               120000, &st1);
    RunCapture({"ffmpeg", "-nostdin", "-y", "-v", "error", "-f", "lavfi", "-i",
                "sine=frequency=440:sample_rate=16000", "-t", t, "-ac", "1", "-c:a", "aac", "-b:a", "32k", "-f", "adts",
                aac},
               120000, &st2);
    if (st1 != 0 || st2 != 0) return false;
    clip->video = SplitAccessUnits(ReadFile(h264));
    clip->audio.clear();
    clip->audioConfig.clear();
    clip->width = width;
    clip->height = height;
    clip->fps = fps;
    return testsupport::SplitAdts(ReadFile(aac), &clip->audio, &clip->audioConfig) && !clip->video.empty();
}

Probe ProbeFile(const std::string& path) {
    testsupport::ProbedFile file = testsupport::ProbeMedia(path);
    Probe r;
    auto Take = [&](const char* type, StreamProbe* out, bool* has) {
        auto it = file.streams.find(type);
        if (it == file.streams.end()) return;
        *out = it->second;
        *has = true;
    };
    Take("video", &r.video, &r.hasVideo);
    Take("audio", &r.audio, &r.hasAudio);
    r.duration = file.duration;
    return r;
}

}  // namespace media
