// The endpoint's side of the bitrate control: link reports in, encoder bitrates and events out.
#include "EndpointInternal.h"
#include "EventRecord.h"

#include "common/util.h"

#include <cstdlib>

// Null when the engine does not export it: an engine built before SetVideoBitrate.
extern "C" int MediaTapSlotCount(void) __attribute__((weak));

namespace streamcore {

namespace {
// SetVideoBitrate is slot 63: engines without MediaTapSlotCount end at slot 62.
bool EngineCanSetBitrate() { return MediaTapSlotCount && MediaTapSlotCount() > 63; }
}  // namespace

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
    if (!EngineCanSetBitrate()) {
        // Calling a slot the engine does not have would jump through someone else's table:
        // the stream keeps the bitrate it was started with.
        if (!m_fixedBitrateLogged.exchange(true))
            EP_LOG("the engine cannot change a video bitrate; streams keep the bitrate they start with");
        return -1;
    }
    const int asked = m_lpMediaTapr->SetVideoBitrate(uniName.c_str(), kbps);
    if (kbps > 0) EP_LOG("video bitrate of %s: %d kbit/s (asked %d)", uniName.c_str(), kbps, asked);
    return asked;
}

void LiveMediaEndpoint::AnnounceBitrate(const std::string& url, int kbps) {
    PostResultEvent(EVENT_BITRATE, kbps, url);
}

}  // namespace streamcore
