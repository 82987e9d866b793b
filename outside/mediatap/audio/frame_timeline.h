// The capture times of the frames the mixer encodes, on one smooth line.
//
// Frame n is stamped base + n * frameUs. The base follows the capture times measured for the
// frames (the arrival time of the sound, less what was captured after it): a measurement is
// late by however long the server and the scheduler took to hand it over, never early, so the
// earliest consistent measurement wins. The line moves forward only when the measurements stay
// more than kToleranceUs behind it for kConfirmFrames frames in a row (the capture lost sound,
// or its clock runs slow), and back whenever one is earlier (the capture gained: silence was
// put in while it was late). Stamps never go backwards: a stamp not after the previous one
// becomes the previous one plus 1 ms. Frames without captured sound (silence) keep to the line;
// before the first measurement the line starts from the caller's estimate.
//
// Threads: one thread at a time (the mixer's).
#pragma once

#include <cstdint>

namespace mediatap {
namespace audio {

class FrameTimeline {
public:
    static constexpr int64_t kToleranceUs = 8000;
    static constexpr int kConfirmFrames = 8;

    explicit FrameTimeline(int64_t frameUs) : m_frameUs(frameUs) {}

    // The stamp (steady-clock µs) of the next frame. measuredUs: the measured capture time of
    // its first sample, 0 when it holds no captured sound; guessUs: the caller's estimate, used
    // only while nothing was measured yet.
    int64_t Next(int64_t measuredUs, int64_t guessUs);

private:
    int64_t m_frameUs;
    int64_t m_index = 0;
    int64_t m_base = 0;
    bool m_measured = false;  // the base comes from a measurement
    bool m_any = false;
    int64_t m_last = 0;
    int m_behind = 0;             // frames in a row measured behind the line
    int64_t m_leastBehind = 0;    // the least of those distances
};

}  // namespace audio
}  // namespace mediatap
