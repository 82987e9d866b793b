// Measures a publisher's link from what its send thread sees: the bytes the server has
// acknowledged, what waits in the publisher's queue and in the kernel, and the video that key
// frames dropped. Decides when a report is due and whether the link is congested or clear.
// Threads: one thread (the publisher's send thread).
#pragma once

#include "rtmplink/IRtmpMgr.h"

#include <cstdint>
#include <deque>

namespace rtmplink {

struct LinkSample {
    int64_t nowUs = 0;
    bool haveCounters = false;  // bytesAcked and unsentBytes were read
    uint64_t bytesAcked = 0;    // since the connection began
    int unsentBytes = 0;
    // Age of the oldest queued message: the highest seen since the last sample, counting the
    // queue as it stood before each key frame emptied it of video; 0 when nothing waited.
    int queueMs = 0;
    uint64_t audioBytesSent = 0;  // since the connection began
    uint64_t videoDropped = 0;    // since the connection began
};

class LinkMeter {
public:
    enum { kReportEveryMs = 250, kWindowMs = 1000, kCongestedBacklogMs = 250, kClearBacklogMs = 120 };

    // Forgets everything (a new connection).
    void Reset();
    // Whether a sample is wanted now.
    bool Due(int64_t nowUs) const { return m_window.empty() || nowUs - m_window.back().nowUs >= kReportEveryMs * 1000; }
    // Takes the sample; true with *report filled in once the samples span a window.
    bool Add(const LinkSample& sample, RtmpLinkReport* report);

private:
    std::deque<LinkSample> m_window;
};

}  // namespace rtmplink
