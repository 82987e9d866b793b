// Real encoded media for the tests and the benchmark: H.264 and AAC made by ffmpeg, split into
// the frames the capture engine would hand over (video behind its 12-byte header, raw AAC
// frames and their AudioSpecificConfig).
#pragma once

#include "support/ffprobe.h"

#include <cstdint>
#include <string>
#include <vector>

namespace media {

using Bytes = std::vector<uint8_t>;

struct VideoFrame {
    Bytes data;  // 12-byte header, then the access unit in Annex-B form
    bool key = false;
};

struct Clip {
    std::vector<VideoFrame> video;
    std::vector<Bytes> audio;  // raw AAC frames, 1024 samples each
    Bytes audioConfig;         // AudioSpecificConfig
    int width = 0, height = 0, fps = 0;
};

// Makes seconds of width x height test video at fps (a key frame every fps frames, SPS and
// PPS in front of each) and of 16 kHz mono AAC. False when ffmpeg failed.
bool MakeClip(const std::string& folder, int width, int height, int fps, int seconds, Clip* clip);

// Splits an H.264 byte stream into access units (Annex-B, 4-byte start codes, delimiters
// dropped), each behind the engine's 12-byte header with the unit's sequence number.
std::vector<VideoFrame> SplitAccessUnits(const std::string& stream);

using StreamProbe = testsupport::ProbedStream;
struct Probe {
    StreamProbe video, audio;
    bool hasVideo = false, hasAudio = false;
    double duration = -1;
};
// ffprobe with frame counting.
Probe ProbeFile(const std::string& path);

}  // namespace media
