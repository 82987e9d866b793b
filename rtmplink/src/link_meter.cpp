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
    // Rates over less than a window are too rough to steer by (a new connection's first
    // bytes fill the queues along the path at any speed).
    if (spanUs < kWindowMs * 1000) return false;
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
    // What waits ahead of a new message: the queue, and the kernel's unsent bytes at the rate
    // the link takes them (on a narrow link those alone are half a second).
    report->backlogMs = sample.queueMs;
    if (report->ackedKbps > 0) report->backlogMs += sample.unsentBytes * 8 / report->ackedKbps;
    // Key frames keep emptying a backed-up queue of video, so a backlog that never grows old can
    // still be one the link does not keep up with: video dropped from a queue that was not
    // fresh counts too. (On a link that keeps up, what a key frame drops is a frame or two.)
    report->congested = report->backlogMs >= kCongestedBacklogMs ||
                        (report->droppedVideo > 0 && report->backlogMs > kClearBacklogMs);
    report->clear = !report->congested && report->backlogMs <= kClearBacklogMs && report->droppedVideo == 0;
    return true;
}

}  // namespace rtmplink
