// Small sample-level decisions of the audio half: peak levels and the automatic gain of the
// microphone path. Portable and without threads of their own.
//
// Threads: objects are used by one thread at a time.
#pragma once

#include <cstddef>

namespace mediatap {
namespace audio {

// Peak of |sample| over n samples (0 when n is 0).
float PeakOf(const float* samples, size_t n);

// A peak (0 to 1 and more) as a level 0 to 100: linear in amplitude, so a full-scale tone is
// 100 and half scale is 50; above full scale is 100.
int PeakToLevel(float peak);

// Automatic gain of the microphone in the mixer.
//
// It follows the peak envelope of what it is given and moves its gain so that speech peaks sit
// near kTarget (-6 dBFS): down at once when a block would go above full scale, down quickly
// (about 20 dB a second) when peaks are above the target, up slowly (about 6 dB a second) when
// they are below it. The gain stays between kMinGain (-12 dB) and kMaxGain (+20 dB). Below
// kGateLevel (-50 dBFS) the input counts as silence and the gain is held, so background noise
// is not pumped up between words. Switched off it passes samples unchanged; switched on again it
// starts from unity gain.
class AutoGain {
public:
    static constexpr float kTarget = 0.5f;
    static constexpr float kMinGain = 0.25f;
    static constexpr float kMaxGain = 10.0f;
    static constexpr float kGateLevel = 0.00316f;

    explicit AutoGain(int sampleRate) : m_rate(sampleRate > 0 ? sampleRate : 16000) {}
    void SetEnabled(bool on);
    bool enabled() const { return m_enabled; }
    float gain() const { return m_gain; }
    // Applies the gain in place to n interleaved samples (frames = n / channels).
    void Process(float* samples, size_t n, int channels);

private:
    int m_rate;
    bool m_enabled = false;
    float m_gain = 1.0f;
};

// Adds src into dst with a gain and keeps the sum within -1 to 1.
void MixInto(float* dst, const float* src, size_t n, float gain = 1.0f);

}  // namespace audio
}  // namespace mediatap
