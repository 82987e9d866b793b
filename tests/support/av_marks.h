// Timing marks in media, for lip-sync checks: where a picture turns from dark to bright and
// where a tone starts after quiet, on a media file's own timeline; and a tone that starts on
// cue at a known instant on a pulseaudio sink.
//
// Threads: FindAvMarks is pure; a ToneCue belongs to the thread that made it (its writer runs
// on a thread of its own).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct pa_simple;

namespace testsupport {

struct AvMarks {
    // Where the picture's mean luma crosses the middle between the darkest and the brightest
    // frame of the file, going up, interpolated between the frames on either side (a step
    // lands half way between them; a linear ramp at its middle, within a frame's precision).
    std::vector<double> flashesMs;
    std::vector<double> flashFramesMs;  // the first frame past each crossing
    // The first sample above a tenth of full scale after at least 200 ms below it.
    std::vector<double> onsetsMs;
    std::vector<double> onsetFramesMs;  // the audio frame holding each onset
    std::string error;                  // empty when the file could be decoded
};

// Decodes the first video and audio streams of a file (FLV, MP4, ...) and finds the marks;
// times are milliseconds of the file's timestamps.
AvMarks FindAvMarks(const std::string& path);

// For each flash, the onset nearest to it minus the flash (ms); flashes without an onset
// within maxMs are left out.
std::vector<double> AvOffsets(const AvMarks& marks, double maxMs = 1000);

// CLOCK_MONOTONIC in microseconds.
int64_t MonotonicNowUs();

// A playback stream to a pulseaudio sink (of the server in the environment) that plays silence
// all the time and a 1 kHz tone (amplitude 0.5) at given instants, each sample placed by the
// stream's latency. (In a process that also captures, libpulse's clients race each other under
// ThreadSanitizer: tests run it as the tone_cue program.)
class ToneCue {
public:
    ToneCue() = default;
    ~ToneCue() { Stop(); }
    ToneCue(const ToneCue&) = delete;
    ToneCue& operator=(const ToneCue&) = delete;

    // False when the stream cannot be opened.
    bool Start(const std::string& sink);
    void Stop();
    // Tones of `ms` that reach the sink at these CLOCK_MONOTONIC µs (instants already passed
    // when their samples are written are skipped).
    void Schedule(const std::vector<int64_t>& atUs, int ms);

private:
    void Run();

    pa_simple* m_stream = nullptr;
    std::thread m_thread;
    std::mutex m_lock;  // guards m_stop and the schedule
    bool m_stop = false;
    std::vector<int64_t> m_atUs;
    int m_toneMs = 0;
};

}  // namespace testsupport
