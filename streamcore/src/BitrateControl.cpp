#include "BitrateControl.h"

#include <algorithm>

namespace streamcore {

BitrateControl::BitrateControl(SetBitrate setBitrate, Announce announce)
    : m_setBitrate(std::move(setBitrate)), m_announce(std::move(announce)) {}

int BitrateControl::FloorKbps(int askedKbps) const {
    return std::min(askedKbps, std::max<int>(kFloorKbps, askedKbps * kFloorPercent / 100));
}

int BitrateControl::TargetKbps(const std::string& url) const {
    auto it = m_links.find(url);
    return it == m_links.end() ? 0 : it->second.targetKbps;
}

void BitrateControl::OnLinkReport(const std::string& url, const std::string& uniName, const RtmpLinkReport& report,
                                  int64_t nowMs) {
    auto found = m_links.find(url);
    if (found != m_links.end() && found->second.uniName != uniName) {
        // The URL publishes another source now.
        RemoveStream(url);
        found = m_links.end();
    }
    if (found != m_links.end() && nowMs - found->second.lastReportMs > kSilentMs) {
        // Back after a silence (a new connection): its old measurements no longer hold.
        const int asked = m_sources.count(uniName) ? m_sources[uniName].askedKbps : found->second.targetKbps;
        found->second = Link();
        found->second.uniName = uniName;
        found->second.targetKbps = asked;
    }
    if (found == m_links.end()) {
        Source& source = m_sources[uniName];
        if (source.askedKbps <= 0) {
            source.askedKbps = m_setBitrate(uniName, 0);
            if (source.askedKbps <= 0) {
                m_sources.erase(uniName);
                return;  // no video encoder behind this stream
            }
            source.appliedKbps = source.askedKbps;
        }
        Link fresh;
        fresh.uniName = uniName;
        fresh.targetKbps = source.askedKbps;
        found = m_links.emplace(url, fresh).first;
    }
    Link& link = found->second;
    const int asked = m_sources[uniName].askedKbps;
    if (report.congested) {
        link.clearSinceMs = -1;
        if (link.congestedSinceMs < 0) link.congestedSinceMs = nowMs;
        if (report.ackedKbps >= link.peakAckedKbps || nowMs - link.peakAckedAtMs > kPeakHoldMs) {
            link.peakAckedKbps = report.ackedKbps;
            link.peakAckedAtMs = nowMs;
        }
        // Without a measurement, a quarter down.
        const int carried = link.peakAckedKbps > 0 ? link.peakAckedKbps * kHeadroomPercent / 100 - report.audioKbps
                                                   : link.targetKbps * 3 / 4;
        link.congestedAtMs = nowMs;
        // Never up on congestion, and at most one step down a second. At or under what the link
        // carries already, the queue is only draining what was sent before the last change.
        int next = std::max(FloorKbps(asked), std::min(asked, carried));
        // A queue that stays backed up long after the last step down (a key frame empties it of
        // video every two seconds) means the link carries less than was measured.
        if (nowMs - std::max(link.congestedSinceMs, link.lastDownMs) >= kStuckMs) {
            next = std::max(FloorKbps(asked), std::min(next, link.targetKbps * kStuckPercent / 100));
        }
        if (next < link.targetKbps && (link.lastDownMs < 0 || nowMs - link.lastDownMs >= kDownEveryMs)) {
            link.targetKbps = next;
            link.lastDownMs = link.lastChangeMs = nowMs;
        }
        // The level a climb may reach soon: what the link carried, and not what congested it.
        link.measuredKbps = std::max(FloorKbps(asked), std::min(carried, link.targetKbps));
    } else if (report.clear) {
        link.congestedSinceMs = -1;
        if (link.clearSinceMs < 0) link.clearSinceMs = nowMs;
        if (link.targetKbps < asked && nowMs - link.clearSinceMs >= kClearHoldMs &&
            (link.lastChangeMs < 0 || nowMs - link.lastChangeMs >= kStepEveryMs)) {
            int next = std::min(asked, link.targetKbps + std::max(1, asked * kStepPercent / 100));
            if (link.congestedAtMs >= 0 && nowMs - link.congestedAtMs < kProbeHoldMs) {
                next = std::min(next, std::max(link.targetKbps, link.measuredKbps));
            }
            if (next > link.targetKbps) {
                link.targetKbps = next;
                link.lastChangeMs = nowMs;
            }
        }
    } else {
        link.clearSinceMs = -1;
        link.congestedSinceMs = -1;
    }
    link.lastReportMs = nowMs;
    m_nLastReportMs = nowMs;
    // Also when this link's target stands: another link of the source may have gone silent.
    Apply(uniName, nowMs);
}

void BitrateControl::RemoveStream(const std::string& url) {
    auto it = m_links.find(url);
    if (it == m_links.end()) return;
    const std::string uniName = it->second.uniName;
    m_links.erase(it);
    Apply(uniName, m_nLastReportMs);
    bool used = false;
    for (const auto& entry : m_links) used = used || entry.second.uniName == uniName;
    if (!used) m_sources.erase(uniName);
}

void BitrateControl::Apply(const std::string& uniName, int64_t nowMs) {
    auto source = m_sources.find(uniName);
    if (source == m_sources.end()) return;
    int kbps = source->second.askedKbps;
    for (const auto& entry : m_links) {
        const Link& link = entry.second;
        if (link.uniName != uniName) continue;
        if (nowMs >= 0 && link.lastReportMs >= 0 && nowMs - link.lastReportMs > kSilentMs) continue;
        kbps = std::min(kbps, link.targetKbps);
    }
    if (kbps == source->second.appliedKbps) return;
    source->second.appliedKbps = kbps;
    m_setBitrate(uniName, kbps);
    for (const auto& entry : m_links) {
        if (entry.second.uniName == uniName) m_announce(entry.first, kbps);
    }
}

}  // namespace streamcore
