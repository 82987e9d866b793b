// The endpoint's side of the bitrate control: link reports in, encoder bitrates and events out.
#include "EndpointInternal.h"
#include "EventRecord.h"

#include "common/util.h"

#include <cstdlib>

namespace streamcore {

void LiveMediaEndpoint::SlotPublishLink(std::string url, RtmpLinkReport report) {
    MTP_DCHECK_RUN_ON(m_publishOwner);
    static const bool fixed = [] {
        const char* value = getenv("STREAMCORE_FIXED_BITRATE");
        return value && *value && std::string(value) != "0";
    }();
    if (fixed) return;
    auto it = m_publishStreams.find(url);
    // A stream without video, or one stopped since the report left.
    if (it == m_publishStreams.end() || !it->second || it->second->videoUniName.empty()) return;
    const int64_t nowMs = Orvane::Common::ovMonotonicUs() / 1000;
    m_bitrate.OnLinkReport(url, it->second->videoUniName, report, nowMs);
}

int LiveMediaEndpoint::SetVideoBitrate(const std::string& uniName, int kbps) {
    if (!m_lpMediaTapr) return -1;
    const int asked = m_lpMediaTapr->SetVideoBitrate(uniName.c_str(), kbps);
    if (kbps > 0) EP_LOG("video bitrate of %s: %d kbit/s (asked %d)", uniName.c_str(), kbps, asked);
    return asked;
}

void LiveMediaEndpoint::AnnounceBitrate(const std::string& url, int kbps) {
    PostResultEvent(EVENT_BITRATE, kbps, url);
}

}  // namespace streamcore
