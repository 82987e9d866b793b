// Timing marks in media, for lip-sync checks: where a picture turns from dark to bright and
// where a tone starts after quiet, on a media file's own timeline; and a tone that starts on
// cue at a known instant on a pulseaudio sink.
//
// Threads: FindAvMarks is pure; a ToneCue belongs to the thread that made it (its writer runs
// on a thread of its own).
#pragma once

#include <atomic>
#include <condition_variable>
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
// all the time, so a tone can start at once and at a known time.
class ToneCue {
public:
    ToneCue() = default;
    ~ToneCue() { Stop(); }
    ToneCue(const ToneCue&) = delete;
    ToneCue& operator=(const ToneCue&) = delete;

    // False when the stream cannot be opened.
    bool Start(const std::string& sink);
    void Stop();
    // Queues `ms` of a 1 kHz tone (amplitude 0.5) behind what is queued; returns the
    // CLOCK_MONOTONIC µs at which its first sample is due at the sink (0 when not started).
    int64_t Beep(int ms);

private:
    void Run();

    pa_simple* m_stream = nullptr;
    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_stop = false;
    int m_toneMs = 0;
    bool m_toneAsked = false;
    int64_t m_onsetUs = 0;
};

}  // namespace testsupport
