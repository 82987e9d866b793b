#include "capture_feed.h"

#include "audio_dsp.h"
#include "common/util.h"

#include <algorithm>
#include <cstdint>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace mediatap {
namespace audio {
namespace {

// The level shown is the highest peak of the last kPeakHoldUs.
constexpr int64_t kPeakHoldUs = 150000;

}  // namespace

CaptureFeed::CaptureFeed(SampleFormat in, SampleFormat out) : m_in(in), m_out(out) {
    if (in.rate <= 0 || in.channels <= 0 || out.rate <= 0 || out.channels <= 0) return;
    AVChannelLayout inLayout, outLayout;
    av_channel_layout_default(&inLayout, in.channels);
    av_channel_layout_default(&outLayout, out.channels);
    SwrContext* swr = nullptr;
    bool ok = swr_alloc_set_opts2(&swr, &outLayout, AV_SAMPLE_FMT_FLT, out.rate, &inLayout, AV_SAMPLE_FMT_FLT,
                                  in.rate, 0, nullptr) >= 0;
    // Sound that is the same on both channels keeps its level through mono and back:
    // mono = (left + right) / 2, and mono goes unchanged to both channels.
    if (ok && in.channels == 2 && out.channels == 1) {
        const double matrix[2] = {0.5, 0.5};
        ok = swr_set_matrix(swr, matrix, 2) >= 0;
    } else if (ok && in.channels == 1 && out.channels == 2) {
        const double matrix[2] = {1.0, 1.0};
        ok = swr_set_matrix(swr, matrix, 1) >= 0;
    }
    if (!ok || swr_init(swr) < 0) swr_free(&swr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    m_swr = swr;
}

CaptureFeed::~CaptureFeed() { swr_free(&m_swr); }

void CaptureFeed::Push(const float* samples, int frames, int64_t arrivalUs) {
    if (!m_swr || frames <= 0) return;
    const int room = swr_get_out_samples(m_swr, frames);
    if (room <= 0) return;
    m_scratch.resize(static_cast<size_t>(room) * m_out.channels);
    uint8_t* outPlanes[1] = {reinterpret_cast<uint8_t*>(m_scratch.data())};
    const uint8_t* inPlanes[1] = {reinterpret_cast<const uint8_t*>(samples)};
    const int made = swr_convert(m_swr, outPlanes, room, inPlanes, frames);
    if (made <= 0) return;
    const size_t n = static_cast<size_t>(made) * m_out.channels;
    const float peak = PeakOf(m_scratch.data(), n);

    std::lock_guard<std::mutex> lock(m_lock);
    m_queue.insert(m_queue.end(), m_scratch.begin(), m_scratch.begin() + static_cast<std::ptrdiff_t>(n));
    // What is still inside the resampler was captured before the block's end but has not come
    // out yet: the samples that did come out end that much earlier.
    const int64_t heldUs = swr_get_delay(m_swr, 1000000);
    m_marks.push_back({m_queueStart + static_cast<int64_t>(m_queue.size() / m_out.channels), arrivalUs - heldUs});
    const size_t limit = static_cast<size_t>(m_out.rate) * kMaxQueuedMs / 1000 * m_out.channels;
    if (m_queue.size() > limit) {
        const size_t drop = (m_queue.size() - limit) / m_out.channels * m_out.channels;
        m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(drop));
        m_queueStart += static_cast<int64_t>(drop / m_out.channels);
        while (!m_marks.empty() && m_marks.front().endSample <= m_queueStart) m_marks.pop_front();
    }
    if (peak >= m_recentPeak || arrivalUs - m_recentPeakUs > kPeakHoldUs) {
        m_recentPeak = peak;
        m_recentPeakUs = arrivalUs;
    }
}

int CaptureFeed::Queued() {
    std::lock_guard<std::mutex> lock(m_lock);
    return static_cast<int>(m_queue.size() / m_out.channels);
}

int CaptureFeed::Pull(float* out, int frames, int64_t* firstCaptureUs, int primeMs) {
    const size_t want = static_cast<size_t>(frames) * m_out.channels;
    std::fill(out, out + want, 0.0f);
    std::lock_guard<std::mutex> lock(m_lock);
    const size_t prime = want + static_cast<size_t>(m_out.rate) * primeMs / 1000 * m_out.channels;
    if (!m_primed) {
        if (m_queue.size() < prime) return 0;
        m_primed = true;
    }
    const size_t take = std::min(want, m_queue.size());
    std::copy(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(take), out);
    m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(take));
    if (!m_marks.empty() && firstCaptureUs && take > 0) {
        const Mark& mark = m_marks.front();  // the block holding the first sample taken
        *firstCaptureUs = mark.endUs - (mark.endSample - m_queueStart) * 1000000 / m_out.rate;
    }
    m_queueStart += static_cast<int64_t>(take / m_out.channels);
    while (!m_marks.empty() && m_marks.front().endSample <= m_queueStart) m_marks.pop_front();
    if (take < want) {
        m_primed = false;  // ran dry: wait for a margin again
        m_leastLeft = SIZE_MAX;
        m_pulls = 0;
        return static_cast<int>(take / m_out.channels);
    }
    // A backlog that never drains (a source that delivered a burst at its start) is only
    // delay: once the least left over a window of pulls exceeds the margin, drop the surplus.
    const size_t margin = static_cast<size_t>(m_out.rate) * kPrimeMs / 1000 * m_out.channels;
    m_leastLeft = std::min(m_leastLeft, m_queue.size());
    if (++m_pulls >= kTrimWindow) {
        if (m_leastLeft != SIZE_MAX && m_leastLeft > margin + margin / 2) {
            const size_t drop = (m_leastLeft - margin) / m_out.channels * m_out.channels;
            m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(drop));
            m_queueStart += static_cast<int64_t>(drop / m_out.channels);
            while (!m_marks.empty() && m_marks.front().endSample <= m_queueStart) m_marks.pop_front();
        }
        m_leastLeft = SIZE_MAX;
        m_pulls = 0;
    }
    return static_cast<int>(take / m_out.channels);
}

int CaptureFeed::Level() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (Orvane::Common::ovMonotonicUs() - m_recentPeakUs > 2 * kPeakHoldUs) return 0;
    return PeakToLevel(m_recentPeak);
}

}  // namespace audio
}  // namespace mediatap
