// The addon's decisions without a script runtime: which captures the recording and publishing
// flows start, share and stop (against a recording double of the endpoint), the rate and mode
// rules, the event texts and the event queue.
#include "CaptureFlows.h"
#include "EventQueue.h"
#include "ScriptRules.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using namespace streamaddon;

namespace {

// Records every endpoint call as one line; captures are named cap1, cap2, ...
class RecordingEndpoint : public ICaptureEndpoint {
public:
    uint64_t DesktopWindow() override { return kRoot; }
    bool StartCapture(uint64_t window, int width, int height, int kbps, int fps, std::string* uniName) override {
        Log("start " + std::to_string(window) + " " + std::to_string(width) + "x" + std::to_string(height) + " " +
            std::to_string(kbps) + " " + std::to_string(fps));
        if (failCapture) return false;
        *uniName = "cap" + std::to_string(++m_captures);
        return true;
    }
    bool StopCapture(const std::string& uniName) override {
        Log("stop " + uniName);
        return true;
    }
    bool StopMixer(const std::string& mixer) override {
        Log("stopmixer " + mixer);
        return true;
    }
    int StartRecord(const std::string& file, const std::string& video, const std::string& audio, bool flag) override {
        Log("record " + file + " " + video + " " + audio + (flag ? " true" : " false"));
        return failRecord ? -1 : 7;
    }
    bool StopRecord(int recordId) override {
        Log("stoprecord " + std::to_string(recordId));
        return stopRecordResult;
    }
    bool Publish(const std::string& url, const std::string& video, const std::string& audio, int mode) override {
        Log("publish " + url + " " + video + " " + audio + " " + std::to_string(mode));
        return !failPublish;
    }
    void StopPublish(const std::string& url) override { Log("stoppublish " + url); }

    // The calls since the last Take.
    std::vector<std::string> Take() {
        std::vector<std::string> out;
        out.swap(m_calls);
        return out;
    }

    static constexpr uint64_t kRoot = 0x2a1;
    bool failCapture = false, failRecord = false, failPublish = false, stopRecordResult = true;

private:
    void Log(const std::string& line) { m_calls.push_back(line); }
    std::vector<std::string> m_calls;
    int m_captures = 0;
};

using Calls = std::vector<std::string>;
const std::string kMix = "#soundcard#mix#mic";

CaptureAsk Ask(uint64_t window, int fps = 30) {
    CaptureAsk ask;
    ask.window = window;
    ask.width = 640;
    ask.height = 360;
    ask.kbps = 800;
    ask.fps = fps;
    return ask;
}

class FlowsTest : public ::testing::Test {
protected:
    RecordingEndpoint m_ep;
    CaptureFlows m_flows{m_ep};
};

}  // namespace

TEST_F(FlowsTest, OneUseStartsItsCaptureAndStopsItWithTheMixer) {
    EXPECT_EQ(m_flows.StartRecord("/tmp/a.flv", Ask(0x400001), true), 0);
    EXPECT_EQ(m_ep.Take(), (Calls{"start 4194305 640x360 800 30", "record /tmp/a.flv cap1 " + kMix + " true"}));
    EXPECT_TRUE(m_flows.Recording());
    EXPECT_EQ(m_flows.StartRecord("/tmp/b.flv", Ask(0x400001), true), 0) << "already recording";
    EXPECT_TRUE(m_ep.Take().empty());
    EXPECT_TRUE(m_flows.StopRecord());
    EXPECT_EQ(m_ep.Take(), (Calls{"stop cap1", "stopmixer " + kMix, "stoprecord 7"}));
    EXPECT_FALSE(m_flows.Recording());
    EXPECT_TRUE(m_flows.StopRecord()) << "nothing to stop";
    EXPECT_TRUE(m_flows.StopPublish());
    EXPECT_TRUE(m_ep.Take().empty());

    EXPECT_EQ(m_flows.StartPublish("rtmp://h/live/s", Ask(0), 2), 0);
    EXPECT_EQ(m_flows.StartPublish("rtmp://h/live/t", Ask(0), 0), 0) << "already publishing";
    EXPECT_EQ(m_ep.Take(), (Calls{"start 673 640x360 800 30", "publish rtmp://h/live/s cap2 " + kMix + " 2"}))
        << "window 0 is the desktop's root window";
    EXPECT_TRUE(m_flows.StopPublish());
    EXPECT_EQ(m_ep.Take(), (Calls{"stop cap2", "stopmixer " + kMix, "stoppublish rtmp://h/live/s"}));
    EXPECT_EQ(m_flows.RunningCaptures(), 0u);
}

TEST_F(FlowsTest, TheSameWindowSizeAndRateShareOneCaptureUntilItsLastUseStops) {
    ASSERT_EQ(m_flows.StartPublish("rtmp://h/live/s", Ask(0, 20), 0), 0);
    // The desktop asked for by its root id is the same capture as window 0.
    ASSERT_EQ(m_flows.StartRecord("/tmp/a.flv", Ask(RecordingEndpoint::kRoot, 20), false), 0);
    EXPECT_EQ(m_ep.Take(), (Calls{"start 673 640x360 800 20", "publish rtmp://h/live/s cap1 " + kMix + " 0",
                                  "record /tmp/a.flv cap1 " + kMix + " false"}));
    EXPECT_EQ(m_flows.RunningCaptures(), 1u);

    EXPECT_TRUE(m_flows.StopRecord());
    EXPECT_EQ(m_ep.Take(), (Calls{"stoprecord 7"})) << "publishing still uses the capture and the mixer";
    EXPECT_TRUE(m_flows.StopPublish());
    EXPECT_EQ(m_ep.Take(), (Calls{"stop cap1", "stopmixer " + kMix, "stoppublish rtmp://h/live/s"}));
    EXPECT_EQ(m_flows.RunningCaptures(), 0u);
}

TEST_F(FlowsTest, DifferentAsksKeepTheirOwnCapturesAndEachIsStopped) {
    ASSERT_EQ(m_flows.StartRecord("/tmp/a.flv", Ask(0x400001, 30), false), 0);
    ASSERT_EQ(m_flows.StartPublish("rtmp://h/live/s", Ask(0x400001, 15), 0), 0);
    CaptureAsk bigger = Ask(0x400001, 30);
    bigger.width = 1280;
    EXPECT_EQ(m_flows.RunningCaptures(), 2u);
    m_ep.Take();

    // Publishing stops first: its capture goes, the recording's stays with the mixer.
    EXPECT_TRUE(m_flows.StopPublish());
    EXPECT_EQ(m_ep.Take(), (Calls{"stop cap2", "stoppublish rtmp://h/live/s"}));
    ASSERT_EQ(m_flows.StartPublish("rtmp://h/live/s", bigger, 0), 0);
    EXPECT_EQ(m_ep.Take(), (Calls{"start 4194305 1280x360 800 30", "publish rtmp://h/live/s cap3 " + kMix + " 0"}));
    EXPECT_TRUE(m_flows.StopRecord());
    EXPECT_EQ(m_ep.Take(), (Calls{"stop cap1", "stoprecord 7"}));
    EXPECT_TRUE(m_flows.StopPublish());
    EXPECT_EQ(m_ep.Take(), (Calls{"stop cap3", "stopmixer " + kMix, "stoppublish rtmp://h/live/s"}));
    EXPECT_EQ(m_flows.RunningCaptures(), 0u);
}

TEST_F(FlowsTest, FailedStartsLeaveNoCaptureOfTheirOwnRunning) {
    m_ep.failCapture = true;
    EXPECT_EQ(m_flows.StartRecord("/tmp/a.flv", Ask(5), false), 6001);
    EXPECT_EQ(m_flows.StartPublish("rtmp://h/live/s", Ask(5), 0), 6001);
    EXPECT_EQ(m_ep.Take(), (Calls{"start 5 640x360 800 30", "start 5 640x360 800 30"}));
    EXPECT_FALSE(m_flows.Recording());
    EXPECT_FALSE(m_flows.Publishing());
    m_ep.failCapture = false;

    m_ep.failRecord = true;
    EXPECT_EQ(m_flows.StartRecord("/tmp/a.flv", Ask(5), false), 6002);
    EXPECT_EQ(m_ep.Take(), (Calls{"start 5 640x360 800 30", "record /tmp/a.flv cap1 " + kMix + " false", "stop cap1",
                                  "stopmixer " + kMix}));
    EXPECT_FALSE(m_flows.Recording());

    m_ep.failPublish = true;
    EXPECT_EQ(m_flows.StartPublish("rtmp://h/live/s", Ask(5), 1), 5002);
    EXPECT_EQ(m_ep.Take(), (Calls{"start 5 640x360 800 30", "publish rtmp://h/live/s cap2 " + kMix + " 1", "stop cap2",
                                  "stopmixer " + kMix}));
    EXPECT_FALSE(m_flows.Publishing());
    EXPECT_TRUE(m_flows.StopPublish());
    EXPECT_TRUE(m_ep.Take().empty());

    // A recording that fails on the capture a publication shares leaves both running.
    m_ep.failPublish = false;
    ASSERT_EQ(m_flows.StartPublish("rtmp://h/live/s", Ask(5), 0), 0);
    m_ep.Take();
    EXPECT_EQ(m_flows.StartRecord("/tmp/a.flv", Ask(5), false), 6002);
    EXPECT_EQ(m_ep.Take(), (Calls{"record /tmp/a.flv cap3 " + kMix + " false"}));
    EXPECT_EQ(m_flows.RunningCaptures(), 1u);
}

TEST_F(FlowsTest, StopRecordReportsTheEndpointsResult) {
    ASSERT_EQ(m_flows.StartRecord("/tmp/a.flv", Ask(5), false), 0);
    m_ep.stopRecordResult = false;
    EXPECT_FALSE(m_flows.StopRecord());
    EXPECT_FALSE(m_flows.Recording()) << "the id is given up even when the endpoint refuses";
}

TEST(ScriptRules, RatesOutsideEachFlowsRangeBecomeThirty) {
    EXPECT_EQ(ClampRecordRate(9), 30);
    EXPECT_EQ(ClampRecordRate(10), 30);
    EXPECT_EQ(ClampRecordRate(11), 11);
    EXPECT_EQ(ClampRecordRate(50), 50);
    EXPECT_EQ(ClampRecordRate(51), 30);
    EXPECT_EQ(ClampRecordRate(-5), 30);
    EXPECT_EQ(ClampPublishRate(9), 30);
    EXPECT_EQ(ClampPublishRate(10), 10);
    EXPECT_EQ(ClampPublishRate(51), 51);
    EXPECT_EQ(ClampPublishRate(52), 30);
}

TEST(ScriptRules, ModeNamesAndTextBytes) {
    EXPECT_EQ(PublishModeCode("record"), 1);
    EXPECT_EQ(PublishModeCode("append"), 2);
    EXPECT_EQ(PublishModeCode("live"), 0);
    EXPECT_EQ(PublishModeCode("Record"), 0);
    EXPECT_EQ(PublishModeCode(""), 0);

    EXPECT_EQ(LowBytes(u"rtmp://h/\u00e9\u0141"), std::string("rtmp://h/\xe9\x41"));
    EXPECT_EQ(TextProblem(std::string(255, 'a')), "");
    EXPECT_EQ(TextProblem(std::string(256, 'a')), "too long");
    EXPECT_EQ(TextProblem(std::string("a\0b", 3)), "holds a NUL byte");
    EXPECT_EQ(TextProblem(LowBytes(u"a\u0100")), "holds a NUL byte") << "a unit whose low byte is 0";
}

TEST(EventTexts, CompactJsonWithAscendingKeysAndANewline) {
    EXPECT_EQ(EventText(1002, -3), "{\"eventid\":1002,\"result\":-3}\n");
    EXPECT_EQ(StreamEventText(6001, 0, "desk"), "{\"eventid\":6001,\"result\":0,\"rtmpurl\":\"desk\"}\n");
    EXPECT_EQ(StreamEventText(6002, -1, "a\"b\\c"), "{\"eventid\":6002,\"result\":-1,\"rtmpurl\":\"a\\\"b\\\\c\"}\n");
    EXPECT_EQ(StreamEventText(6001, -1, nullptr), "{\"eventid\":6001,\"result\":-1,\"rtmpurl\":\"\"}\n");
}

TEST(EventQueueTest, CountsBeforeTakingTheOldestAndKeepsOrderAcrossThreads) {
    EventQueue queue;
    std::string text = "untouched";
    EXPECT_EQ(queue.TakeOldest(&text), 0u);
    EXPECT_EQ(text, "untouched");

    const int kEach = 2000;
    std::thread producer([&] {
        for (int i = 0; i < kEach; ++i) queue.Push("p" + std::to_string(i));
    });
    // Taking while the producer appends: every text arrives once, in order.
    int next = 0;
    while (next < kEach) {
        std::string t;
        if (queue.TakeOldest(&t) != 0) {
            ASSERT_EQ(t, "p" + std::to_string(next));
            ++next;
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_EQ(queue.Size(), 0u);

    queue.Push("a");
    queue.Push("b");
    queue.Push("c");
    EXPECT_EQ(queue.TakeOldest(&text), 3u);
    EXPECT_EQ(text, "a");
    queue.Clear();
    EXPECT_EQ(queue.TakeOldest(&text), 0u);
}
