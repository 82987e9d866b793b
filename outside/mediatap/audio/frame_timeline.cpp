#include "frame_timeline.h"

#include <algorithm>

namespace mediatap {
namespace audio {

int64_t FrameTimeline::Next(int64_t measuredUs, int64_t guessUs) {
    const int64_t offset = m_index * m_frameUs;
    if (measuredUs != 0) {
        const int64_t base = measuredUs - offset;
        if (!m_measured || base < m_base) {
            m_base = base;
            m_measured = true;
            m_behind = 0;
        } else if (base - m_base > kToleranceUs) {
            m_leastBehind = m_behind == 0 ? base - m_base : std::min(m_leastBehind, base - m_base);
            if (++m_behind >= kConfirmFrames) {
                m_base += m_leastBehind;
                m_behind = 0;
            }
        } else {
            m_behind = 0;
        }
    } else if (!m_measured && !m_any) {
        m_base = guessUs - offset;
    }
    int64_t stamp = m_base + offset;
    if (m_any && stamp <= m_last) stamp = m_last + 1000;
    m_any = true;
    m_last = stamp;
    ++m_index;
    return stamp;
}

}  // namespace audio
}  // namespace mediatap
