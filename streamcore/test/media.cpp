#include "media.h"

#include "support/process.h"

#include <cstdlib>
#include <map>
#include <sstream>

namespace media {

using testsupport::ReadFile;
using testsupport::RunCapture;

std::vector<VideoFrame> SplitAccessUnits(const std::string& stream) {
    std::vector<std::pair<size_t, size_t>> nals;  // offset, size
    const auto* d = reinterpret_cast<const uint8_t*>(stream.data());
    const size_t n = stream.size();
    size_t i = 0, begin = std::string::npos;
    while (i + 3 <= n) {
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            if (begin != std::string::npos) {
                size_t end = i;
                while (end > begin && d[end - 1] == 0) --end;
                nals.emplace_back(begin, end - begin);
            }
            begin = i + 3;
            i += 3;
        } else {
            ++i;
        }
    }
    if (begin != std::string::npos && begin < n) nals.emplace_back(begin, n - begin);

    std::vector<VideoFrame> units;
    VideoFrame cur;
    bool hasSlice = false;
    uint16_t seq = 0;
    auto startUnit = [&] {
        cur = VideoFrame();
        // The engine's 12-byte header: 0x80, 0xE0, sequence, 90 kHz timestamp, source id.
        cur.data = {0x80, 0xE0, static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq), 0, 0, 0, 0, 0, 0, 0, 1};
        ++seq;
    };
    startUnit();
    for (const auto& nal : nals) {
        const int type = d[nal.first] & 0x1f;
        const bool slice = type == 1 || type == 5;
        const bool firstSlice = slice && nal.second > 1 && (d[nal.first + 1] & 0x80);
        if (hasSlice && (type == 9 || type == 7 || type == 8 || type == 6 || firstSlice)) {
            units.push_back(cur);
            startUnit();
            hasSlice = false;
        }
        if (type == 9) continue;  // access unit delimiters are not passed on
        cur.data.insert(cur.data.end(), {0, 0, 0, 1});
        cur.data.insert(cur.data.end(), d + nal.first, d + nal.first + nal.second);
        if (type == 5) cur.key = true;
        hasSlice = hasSlice || slice;
    }
    if (hasSlice) units.push_back(cur);
    return units;
}

bool SplitAdts(const std::string& stream, std::vector<Bytes>* frames, Bytes* config) {
    const auto* d = reinterpret_cast<const uint8_t*>(stream.data());
    size_t i = 0;
    while (i + 7 <= stream.size()) {
        if (d[i] != 0xff || (d[i + 1] & 0xf6) != 0xf0) return false;
        const size_t header = (d[i + 1] & 0x01) ? 7 : 9;
        const size_t length = ((d[i + 3] & 0x03) << 11) | (d[i + 4] << 3) | (d[i + 5] >> 5);
        if (length <= header || i + length > stream.size()) return false;
        if (config->empty()) {
            const int objectType = (d[i + 2] >> 6) + 1;
            const int rateIndex = (d[i + 2] >> 2) & 0x0f;
            const int channels = ((d[i + 2] & 0x01) << 2) | (d[i + 3] >> 6);
            const unsigned bits = (objectType << 11) | (rateIndex << 7) | (channels << 3);
            *config = {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
        }
        frames->emplace_back(d + i + header, d + i + length);
        i += length;
    }
    return i == stream.size() && !frames->empty();
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
    return SplitAdts(ReadFile(aac), &clip->audio, &clip->audioConfig) && !clip->video.empty();
}

Probe ProbeFile(const std::string& path) {
    Probe r;
    const std::string out = RunCapture({"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                                        "stream=codec_type,codec_name,width,height,nb_read_frames:format=duration",
                                        "-of", "compact=p=1:nk=0", path});
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::map<std::string, std::string> kv;
        std::istringstream fields(line);
        std::string field, section;
        std::getline(fields, section, '|');
        while (std::getline(fields, field, '|')) {
            const auto eq = field.find('=');
            if (eq != std::string::npos) kv[field.substr(0, eq)] = field.substr(eq + 1);
        }
        if (section == "stream") {
            StreamProbe s;
            s.codec = kv["codec_name"];
            s.width = std::atoi(kv["width"].c_str());
            s.height = std::atoi(kv["height"].c_str());
            s.frames = std::atol(kv["nb_read_frames"].c_str());
            if (kv["codec_type"] == "video") {
                r.video = s;
                r.hasVideo = true;
            } else if (kv["codec_type"] == "audio") {
                r.audio = s;
                r.hasAudio = true;
            }
        } else if (section == "format") {
            r.duration = std::atof(kv["duration"].c_str());
        }
    }
    return r;
}

std::string DecodeErrors(const std::string& path) {
    return RunCapture({"sh", "-c", "ffmpeg -nostdin -v error -i \"$0\" -f null - 2>&1", path});
}

}  // namespace media
