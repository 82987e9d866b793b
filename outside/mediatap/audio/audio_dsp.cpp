#include "audio_dsp.h"

#include <algorithm>
#include <cmath>

namespace mediatap {
namespace audio {

float PeakOf(const float* samples, size_t n) {
    float peak = 0.0f;
    for (size_t i = 0; i < n; ++i) peak = std::max(peak, std::fabs(samples[i]));
    return peak;
}

int PeakToLevel(float peak) {
    if (!(peak > 0.0f)) return 0;
    return std::min(100, static_cast<int>(std::lround(peak * 100.0f)));
}

void AutoGain::SetEnabled(bool on) {
    if (on && !m_enabled) m_gain = 1.0f;
    m_enabled = on;
}

void AutoGain::Process(float* samples, size_t n, int channels) {
    if (!m_enabled || n == 0 || channels <= 0) return;
    const float peak = PeakOf(samples, n);
    const float seconds = static_cast<float>(n / static_cast<size_t>(channels)) / static_cast<float>(m_rate);
    float gain = m_gain;
    if (peak >= kGateLevel) {
        const float out = peak * gain;
        if (out > 1.0f) {
            gain = 1.0f / peak;  // never clip: down at once
        } else if (out > kTarget * 1.12f) {
            gain *= std::pow(10.0f, -20.0f * seconds / 20.0f);
            gain = std::max(gain, kTarget / peak);
        } else if (out < kTarget / 1.12f) {
            gain *= std::pow(10.0f, 6.0f * seconds / 20.0f);
            gain = std::min(gain, kTarget / peak);
        }
        gain = std::min(kMaxGain, std::max(kMinGain, gain));
    }
    // Ramp from the old gain to the new one over the block, so a change makes no click.
    const size_t frames = n / static_cast<size_t>(channels);
    for (size_t f = 0; f < frames; ++f) {
        const float g = m_gain + (gain - m_gain) * static_cast<float>(f + 1) / static_cast<float>(frames);
        for (int c = 0; c < channels; ++c) {
            float& s = samples[f * static_cast<size_t>(channels) + static_cast<size_t>(c)];
            s = std::min(1.0f, std::max(-1.0f, s * g));
        }
    }
    m_gain = gain;
}

void MixInto(float* dst, const float* src, size_t n, float gain) {
    for (size_t i = 0; i < n; ++i) dst[i] = std::min(1.0f, std::max(-1.0f, dst[i] + src[i] * gain));
}

}  // namespace audio
}  // namespace mediatap
