#include "link_meter.h"

namespace rtmplink {

void LinkMeter::Reset() { m_window.clear(); }

bool LinkMeter::Add(const LinkSample& sample, RtmpLinkReport* report) {
    const uint64_t droppedBefore = m_window.empty() ? sample.videoDropped : m_window.back().videoDropped;
    m_window.push_back(sample);
    // Keep one sample at least a window old as the base of the rates.
    while (m_window.size() > 2 && sample.nowUs - m_window[1].nowUs >= kWindowMs * 1000) m_window.pop_front();
    const LinkSample& base = m_window.front();
    const int64_t spanUs = sample.nowUs - base.nowUs;
    if (spanUs < kReportEveryMs * 1000) return false;
    // Bytes per microsecond times 8000 is kbit/s.
    const auto kbps = [spanUs](uint64_t bytes) { return static_cast<int>(bytes * 8000 / static_cast<uint64_t>(spanUs)); };
    *report = RtmpLinkReport();
    if (sample.haveCounters && base.haveCounters && sample.bytesAcked >= base.bytesAcked) {
        report->ackedKbps = kbps(sample.bytesAcked - base.bytesAcked);
    }
    report->audioKbps = kbps(sample.audioBytesSent - base.audioBytesSent);
    report->queueMs = sample.queueMs;
    report->unsentBytes = sample.unsentBytes;
    report->droppedVideo = static_cast<int>(sample.videoDropped - droppedBefore);
    report->congested = sample.queueMs >= kCongestedQueueMs;
    report->clear = !report->congested && sample.queueMs <= kClearQueueMs;
    return true;
}

}  // namespace rtmplink
