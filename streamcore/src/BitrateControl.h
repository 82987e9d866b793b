// The video bitrate of published sources, following their uplinks.
//
// Each publisher reports its link about four times a second. On congestion a stream's target
// comes down at once to what the link was measured to carry (acknowledged rate with some
// headroom, less the audio), never below a floor (15 % of the asked bitrate or 100 kbit/s,
// whichever is higher). Once the link has stayed clear for a while the target climbs back in
// small steps, never above the asked bitrate (the one the source was started with); for a
// while after a congestion it climbs only up to the level the link was measured to carry.
// Audio is never touched. A source published to several URLs follows the narrowest of them
// that still report (a URL whose publisher lost its connection stops holding it down, and
// starts afresh when it reports again);
// recordings of the source get the same stream. When a source's bitrate changes, every URL
// that publishes it is announced with the new figure.
//
// Threads: one thread (the endpoint's publish control thread).
#pragma once

#include "rtmplink/IRtmpMgr.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace streamcore {

class BitrateControl {
public:
    enum {
        kFloorPercent = 15,
        kFloorKbps = 100,
        kHeadroomPercent = 85,   // of the acknowledged rate, taken as what the link carries
        kDownEveryMs = 1000,     // at most one step down per second (the encoder needs that to follow)
        kClearHoldMs = 3000,     // the link clear this long before the first step up
        kStepEveryMs = 2500,     // then one step up every this long (long enough to see its effect)
        kStepPercent = 10,       // of the asked bitrate
        kProbeHoldMs = 8000,     // after a congestion, no step above the measured level for this long
        kPeakHoldMs = 5000,      // the highest acknowledged rate under congestion counts this long
        kStuckMs = 2500,         // congested this long at one target: the measurement overstates the link
        kStuckPercent = 85,      // then down to this share of the target
        kSilentMs = 3000,        // a link that reported nothing this long (not connected) is not followed
    };

    // setBitrate(uniName, kbps): changes the source's encoder (kbps 0 changes nothing) and
    // returns the source's asked bitrate, or -1 for a source without a video encoder.
    // announce(url, kbps): tells that the stream at url now runs at kbps.
    using SetBitrate = std::function<int(const std::string& uniName, int kbps)>;
    using Announce = std::function<void(const std::string& url, int kbps)>;
    BitrateControl(SetBitrate setBitrate, Announce announce);

    // A report of the publisher of url, which publishes the video source uniName.
    void OnLinkReport(const std::string& url, const std::string& uniName, const RtmpLinkReport& report, int64_t nowMs);
    // url is no longer published: its source follows its other URLs, or goes back to its asked
    // bitrate when none is left.
    void RemoveStream(const std::string& url);

    // The target of url's link (0 when unknown), for tests and figures.
    int TargetKbps(const std::string& url) const;

private:
    struct Link {
        std::string uniName;
        int targetKbps = 0;
        int64_t clearSinceMs = -1;
        int64_t lastChangeMs = -1;
        int64_t lastDownMs = -1;
        int64_t congestedAtMs = -1;
        int64_t congestedSinceMs = -1;  // start of the present run of congested reports
        int measuredKbps = 0;  // what the link carried at the last congestion
        // The highest acknowledged rate of the recent congested reports: a report whose
        // window held an idle moment (the queue just emptied) understates the link.
        int peakAckedKbps = 0;
        int64_t peakAckedAtMs = -1;
        int64_t lastReportMs = -1;
    };
    struct Source {
        int askedKbps = 0;
        int appliedKbps = 0;
    };

    int FloorKbps(int askedKbps) const;
    // Sets the source's encoder to the narrowest of its links that reported within kSilentMs of
    // nowMs (all of them when nowMs < 0) and announces a change.
    void Apply(const std::string& uniName, int64_t nowMs);

    SetBitrate m_setBitrate;
    Announce m_announce;
    std::map<std::string, Link> m_links;
    std::map<std::string, Source> m_sources;
    int64_t m_nLastReportMs = -1;  // the time of the newest report
};

}  // namespace streamcore
