// The recorder's decisions that do not depend on the muxing library: which container a file
// name asks for, how the callers' millisecond ticks become track timestamps, and the AAC
// configuration that stands in when none was given.
//
// Threads: ContainerForPath and DefaultAacConfig are pure; a RecordClock or TrackTimeline
// belongs to one recorder and is used under its lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace record {

enum class Container { kUnknown, kMp4, kFlv, kMkv };

// By the file name's extension, ignoring letter case: ".mp4", ".flv", ".mkv". Anything else
// (no extension, a folder, another extension) is unknown.
Container ContainerForPath(const std::string& path);
// The muxer's name for a known container ("mp4", "flv", "matroska"), else null.
const char* MuxerName(Container c);

// Turns 32-bit millisecond ticks (which wrap after about 49.7 days) into milliseconds since
// the first tick given. A tick behind the latest one counts as that much earlier; ticks are
// compared by their 32-bit difference, so the wrap is invisible.
class RecordClock {
public:
    bool started() const { return m_started; }
    // The first call sets the origin and gives 0.
    int64_t Elapsed(uint32_t tick);

private:
    bool m_started = false;
    uint32_t m_lastTick = 0;
    int64_t m_lastElapsed = 0;
};

// The timestamps of one track: never negative and strictly increasing (a time not after the
// previous one becomes the previous one plus 1 ms), as every container requires.
class TrackTimeline {
public:
    int64_t Next(int64_t elapsedMs);
    bool empty() const { return !m_any; }
    int64_t last() const { return m_last; }

private:
    bool m_any = false;
    int64_t m_last = 0;
};

// The 2-byte AudioSpecificConfig of AAC-LC at sampleRate with channels (1..7), or empty when
// the rate is not one of the AAC sampling frequencies.
std::vector<uint8_t> DefaultAacConfig(int sampleRate, int channels);

}  // namespace record
