// What one capture hands the mixer: blocks in the device's format come in on the sound
// server's thread, are resampled (libswresample) to the mixer's format and wait in a bounded
// queue until the mixer takes them, one frame's worth at a time.
//
// The queue holds at most kMaxQueuedMs: when the source runs ahead of the mixer's clock the
// oldest samples go, so the delay stays bounded. After a start or an underrun the mixer gets
// silence until a margin (kPrimeMs unless the puller says otherwise) more than a frame is
// queued, so the jitter of the server's blocks does not cut holes into every frame. A backlog
// beyond kPrimeMs that does not drain within kTrimWindow frames is dropped, so a burst at the
// start does not become lasting delay.
//
// Threads: Push from the capture thread, Pull from the mixer thread, Level from any thread.
#pragma once

#include "sound_server.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

struct SwrContext;

namespace mediatap {
namespace audio {

class CaptureFeed {
public:
    static constexpr int kMaxQueuedMs = 300;
    static constexpr int kPrimeMs = 40;
    static constexpr int kTrimWindow = 16;

    // False from ok() when the resampler cannot be made for these formats.
    CaptureFeed(SampleFormat in, SampleFormat out);
    ~CaptureFeed();
    CaptureFeed(const CaptureFeed&) = delete;
    CaptureFeed& operator=(const CaptureFeed&) = delete;
    bool ok() const { return m_swr != nullptr; }

    // A block from the server; arrivalUs is when it was handed over (steady clock, µs): its
    // last sample was captured then.
    void Push(const float* samples, int frames, int64_t arrivalUs);
    // Fills out with exactly `frames` frames (zeros where the source had nothing). Returns how
    // many came from the source; *firstCaptureUs gets the capture time of the first of them
    // (its block's arrival less the samples after it in the block and in the resampler; left
    // alone when none came from the source).
    // primeMs: the margin wanted after a start or an underrun (a puller that waits for a whole
    // frame to be there needs none).
    int Pull(float* out, int frames, int64_t* firstCaptureUs, int primeMs = kPrimeMs);
    // Frames queued now.
    int Queued();
    // Peak level 0 to 100 of what arrived in the last blocks (decays when nothing arrives).
    int Level();

private:
    struct Mark {
        int64_t endSample;  // stream position just after the block
        int64_t endUs;      // capture time of the sample at endSample
    };

    SampleFormat m_in;
    SampleFormat m_out;
    SwrContext* m_swr = nullptr;   // capture thread
    std::vector<float> m_scratch;  // capture thread

    std::mutex m_lock;  // guards everything below
    std::deque<float> m_queue;
    std::deque<Mark> m_marks;
    int64_t m_queueStart = 0;  // stream position of m_queue.front()
    bool m_primed = false;
    size_t m_leastLeft = SIZE_MAX;  // least queued after a pull in this window
    int m_pulls = 0;
    float m_recentPeak = 0.0f;
    int64_t m_recentPeakUs = 0;
};

}  // namespace audio
}  // namespace mediatap
