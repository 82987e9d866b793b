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

// Everything ffmpeg says while decoding the whole file, with "[exit status N]" added when it
// fails; empty for a clean file. The decoded frames keep the file's millisecond time base: at
// ffmpeg's default, the frame rate's, two frames of a stream that starts half a frame off the
// grid round to one tick and ffmpeg reports a non-monotonic DTS that the file does not have.
std::string DecodeErrors(const std::string& path);

}  // namespace testsupport
