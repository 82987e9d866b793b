// ffprobe's view of a media file, for checking what our code wrote.
//
// Threads: any; each call runs its own ffprobe.
#pragma once

#include <map>
#include <string>

namespace testsupport {

struct ProbedStream {
    std::string codec;
    int width = 0, height = 0;        // video
    int sampleRate = 0, channels = 0;  // audio
    long frames = -1;                  // counted by decoding
};

struct ProbedFile {
    std::map<std::string, ProbedStream> streams;  // by codec type ("video", "audio")
    double duration = -1;
};

// ffprobe with frame counting; no streams when ffprobe cannot read the file.
ProbedFile ProbeMedia(const std::string& path);

}  // namespace testsupport
