// The bitrate decisions against a recording double of the engine.
#include "BitrateControl.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using streamcore::BitrateControl;

struct Engine {
    std::map<std::string, int> asked{{"cam", 2500}, {"desk", 1000}};
    std::map<std::string, int> set;
    std::vector<std::string> announced;
    BitrateControl control{[this](const std::string& uni, int kbps) {
                               if (!asked.count(uni)) return -1;
                               if (kbps > 0) set[uni] = kbps;
                               return asked[uni];
                           },
                           [this](const std::string& url, int kbps) {
                               announced.push_back(url + "=" + std::to_string(kbps));
                           }};
};

RtmpLinkReport Congested(int ackedKbps, int audioKbps = 64) {
    RtmpLinkReport r;
    r.ackedKbps = ackedKbps;
    r.audioKbps = audioKbps;
    r.queueMs = 600;
    r.congested = true;
    return r;
}

RtmpLinkReport Clear() {
    RtmpLinkReport r;
    r.clear = true;
    return r;
}

// Reports every 250 ms from `from` to `to` (ms); returns the time after the last.
int64_t Feed(Engine& e, const std::string& url, const std::string& uni, const RtmpLinkReport& r, int64_t from,
             int64_t to) {
    for (; from < to; from += 250) e.control.OnLinkReport(url, uni, r, from);
    return from;
}

TEST(BitrateControl, DownAtOnceToTheLinkThenUpInStepsToTheAskedRate) {
    Engine e;
    Feed(e, "rtmp://a/live/s", "cam", Clear(), 0, 2000);
    EXPECT_TRUE(e.set.empty()) << "a clear link at the asked bitrate changes nothing";

    // 1600 kbit/s acknowledged: 85 % of it less the audio.
    e.control.OnLinkReport("rtmp://a/live/s", "cam", Congested(1600), 2000);
    EXPECT_EQ(e.set["cam"], 1600 * 85 / 100 - 64);
    EXPECT_EQ(e.announced, std::vector<std::string>{"rtmp://a/live/s=1296"});
    // The queue drains for a while: still congested, but already at what the link carries.
    Feed(e, "rtmp://a/live/s", "cam", Congested(1600), 2250, 4000);
    EXPECT_EQ(e.set["cam"], 1296);
    // Still backed up 2.5 s after the step: the link carries less than it seemed to.
    Feed(e, "rtmp://a/live/s", "cam", Congested(1600), 4000, 5000);
    EXPECT_EQ(e.set["cam"], 1296 * 85 / 100);

    // The link widens: after the hold, steps up to the measured level only, then, once the
    // congestion is long enough ago, on up to the asked bitrate and no further.
    int64_t t = Feed(e, "rtmp://a/live/s", "cam", Clear(), 5000, 10000);
    EXPECT_EQ(e.set["cam"], 1101);
    t = Feed(e, "rtmp://a/live/s", "cam", Clear(), t, 40000);
    EXPECT_EQ(e.set["cam"], 2500);
    EXPECT_EQ(e.announced.back(), "rtmp://a/live/s=2500");

    // A link that collapses: never below the floor (15 % of 2500).
    e.control.OnLinkReport("rtmp://a/live/s", "cam", Congested(50), t);
    EXPECT_EQ(e.set["cam"], 375);
}

TEST(BitrateControl, ASourceOnTwoUrlsFollowsTheNarrowestAndUnknownSourcesAreLeftAlone) {
    Engine e;
    e.control.OnLinkReport("rtmp://wide/live/s", "cam", Clear(), 0);
    e.control.OnLinkReport("rtmp://narrow/live/s", "cam", Congested(1000), 0);
    EXPECT_EQ(e.set["cam"], 786);
    EXPECT_EQ(e.announced, (std::vector<std::string>{"rtmp://narrow/live/s=786", "rtmp://wide/live/s=786"}));
    // The narrow one stops: the source goes back to what its other URL carries.
    e.control.RemoveStream("rtmp://narrow/live/s");
    EXPECT_EQ(e.set["cam"], 2500);
    EXPECT_EQ(e.announced.back(), "rtmp://wide/live/s=2500");

    // A URL that stops reporting (its publisher lost the connection) stops holding the source
    // down; back again, it starts afresh.
    e.control.OnLinkReport("rtmp://narrow/live/s", "cam", Congested(1000), 100);
    EXPECT_EQ(e.set["cam"], 786);
    Feed(e, "rtmp://wide/live/s", "cam", Clear(), 250, 3500);
    EXPECT_EQ(e.set["cam"], 2500);
    e.control.OnLinkReport("rtmp://narrow/live/s", "cam", Clear(), 3500);
    EXPECT_EQ(e.set["cam"], 2500);

    // A stream whose source has no video encoder (audio only) is never touched.
    e.control.OnLinkReport("rtmp://a/live/mic", "mic", Congested(100), 0);
    EXPECT_EQ(e.set.count("mic"), 0u);
}

}  // namespace
