// The addon's state object and the module functions' state against a double of the endpoint:
// the initialize and uninitialize flows, the order of the endpoint calls, the shared capture's
// arguments as the endpoint takes them, and events arriving on another thread, each at the
// user it is about (clean under ThreadSanitizer).
#include "LiveMediaPlugin.h"
#include "ModuleApi.h"

#include <gtest/gtest.h>

#include <Poco/Exception.h>

#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace streamaddon;

namespace {

// Records the calls the addon makes; everything it does not use answers with a default.
class EndpointDouble final : public IStreamCore {
public:
    enum class InitAnswer { kTrue, kFalse, kThrow };
    InitAnswer initAnswer = InitAnswer::kTrue;
    StreamCoreSink* sink = nullptr;
    IStreamCoreDetailSink* detail = nullptr;

    void SetDetailSink(IStreamCoreDetailSink* s) override { detail = s; }

    bool Initialize(void*, void*, void*, bool enableLog) override {
        Log(std::string("Initialize ") + (enableLog ? "true" : "false"));
        if (initAnswer == InitAnswer::kThrow) throw Poco::AssertionViolationException("m_lpMediaTapr != NULL");
        return initAnswer == InitAnswer::kTrue;
    }
    bool UnInitialize() override {
        Log("UnInitialize");
        return true;
    }
    void SetSink(StreamCoreSink* s) override {
        sink = s;
        Log("SetSink");
    }
    bool OpenSpeaker(const char* uniName) override {
        Log(std::string("OpenSpeaker '") + uniName + "'");
        return true;
    }
    bool StopEncodeMixer(const char* uniName) override {
        Log(std::string("StopEncodeMixer ") + uniName);
        return true;
    }
    bool StartCaptureApplication(void* reserved, bool flag, void* window, int a, int b, int c, char* uniNameOut,
                                 int d) override {
        Log("StartCaptureApplication " + std::to_string(reserved == nullptr) + " " + std::to_string(flag) + " " +
            std::to_string(reinterpret_cast<uintptr_t>(window)) + " " + std::to_string(a) + " " + std::to_string(b) +
            " " + std::to_string(c) + " " + std::to_string(d));
        std::strcpy(uniNameOut, "#app#1");
        return true;
    }
    bool StopCaptureApplication(const char* uniName) override {
        Log(std::string("StopCaptureApplication ") + uniName);
        return true;
    }
    bool PublishMixStream(const char* url, const char* video, const char* audio, int mode) override {
        Log(std::string("PublishMixStream ") + url + " " + video + " " + audio + " " + std::to_string(mode));
        return true;
    }
    void StopPublish(const char* url) override { Log(std::string("StopPublish ") + url); }
    int StartRecord(const char* file, const char* video, const char* audio, bool flag) override {
        Log(std::string("StartRecord ") + file + " " + video + " " + audio + " " + std::to_string(flag));
        return 1;
    }
    bool StopRecord(int id) override {
        Log("StopRecord " + std::to_string(id));
        return true;
    }

    int GetMicphoneCount() override { return 0; }
    int GetSpeakerCount() override { return 0; }
    bool GetMicphoneNames(int, char*, char*) override { return false; }
    bool GetSpeakerNames(int, char*, char*) override { return false; }
    bool OpenMic(const char*) override { return false; }
    bool CloseMic() override { return false; }
    bool StartEncodeMixer(const char*, int, int, int) override { return false; }
    bool PauseVideoEncode(const char*) override { return false; }
    bool ContinueVideoEncode(const char*) override { return false; }
    bool IsPublishPause(const char*) override { return false; }
    int GetCameraCount() override { return 0; }
    bool GetCameraNames(int, char*, char*) override { return false; }
    bool OpenCamera(const char*, void*, int, int, int) override { return false; }
    bool CloseCamera(const char*) override { return false; }
    const char* EnumWindowList() override { return "{}"; }
    bool PublishAudioStream(const char*, const char*, bool) override { return false; }
    bool PublishVideoStream(const char*, const char*, bool) override { return false; }
    bool PublishApplicationStream(const char*, const char*, bool) override { return false; }
    bool PublishPictureStream(const char*, const char*, bool) override { return false; }
    bool ForceKeyFrame(const char*) override { return false; }
    bool PlayStream(const char*, void*) override { return false; }
    bool StartCapturePicture(void*, char*) override { return false; }
    bool SetCapturePicture(const char*, unsigned char*, int, int) override { return false; }
    bool SetCapturePicture(const char*, const char*, int, int) override { return false; }
    bool StopCatpurePicture(const char*) override { return false; }
    bool AddVideoWindows(const char*, void*) override { return false; }
    bool RemoveVideoWindows(const char*, void*) override { return false; }
    bool RemoveAllVideoWindows(const char*) override { return false; }
    bool ChangeRemoteVideoWindows(const char*, void*) override { return false; }
    void SetMicVolume(int) override {}
    int GetMicVolume() override { return 0; }
    void SetSpeakerVolume(int) override {}
    int GetSpeakerVolume() override { return 0; }
    void SetAgcStatus(bool) override {}
    void SetMuteStatus(bool) override {}
    bool GetMuteStatus() override { return false; }
    int StartTestMic(const char*) override { return 0; }
    int StopTestMic() override { return 0; }
    int StartTestSpeaker(const char*, const char*) override { return 0; }
    int StopTestSpeaker() override { return 0; }
    int GetTestMicLevel() override { return 0; }
    int GetTestSpkLevel() override { return 0; }
    void StopPlay(const char*) override {}

    void Log(const std::string& line) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_calls.push_back(line);
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> lock(m_lock);
        std::vector<std::string> out;
        out.swap(m_calls);
        return out;
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_calls;
};

// What CreateStreamCore hands out next (null: creation fails), and what was destroyed.
EndpointDouble* g_next = nullptr;
int g_created = 0;
std::vector<IStreamCore*> g_destroyed;

using Calls = std::vector<std::string>;

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_next = &m_endpoint;
        g_created = 0;
        g_destroyed.clear();
    }

    // The texts queued for api, oldest first; the queue is left empty.
    static std::vector<std::string> Texts(ModuleApi& api) {
        std::vector<std::string> texts;
        std::string text;
        while (api.Events().TakeOldest(&text) > 0) texts.push_back(text);
        return texts;
    }

    EndpointDouble m_endpoint;
    LiveMediaPlugin m_plugin;
    ModuleApi m_api{m_plugin};
};

}  // namespace

extern "C" IStreamCore* CreateStreamCore() {
    ++g_created;
    return g_next;
}
extern "C" void DestroyStreamCore(IStreamCore* p) { g_destroyed.push_back(p); }

TEST_F(PluginTest, InitializeOnceThenOnlyReopensTheSpeaker) {
    EXPECT_FALSE(m_api.Ready());
    EXPECT_EQ(m_api.Initialize(true), 1);
    EXPECT_EQ(m_endpoint.sink, &m_plugin);
    EXPECT_EQ(m_endpoint.detail, &m_plugin);
    EXPECT_EQ(m_api.Initialize(false), 1);
    EXPECT_EQ(m_endpoint.Take(), (Calls{"SetSink", "Initialize true", "OpenSpeaker ''", "OpenSpeaker ''"}));
    EXPECT_EQ(g_created, 1);
    EXPECT_TRUE(m_api.Ready());
}

TEST_F(PluginTest, AFailedInitializeGivesZeroAndIsRetriedOnTheSameEndpoint) {
    m_endpoint.initAnswer = EndpointDouble::InitAnswer::kFalse;
    EXPECT_EQ(m_api.Initialize(false), 0);
    m_endpoint.initAnswer = EndpointDouble::InitAnswer::kThrow;
    EXPECT_EQ(m_api.Initialize(false), 0) << "an assertion inside the endpoint is a failed start";
    EXPECT_FALSE(m_api.Ready());
    m_endpoint.initAnswer = EndpointDouble::InitAnswer::kTrue;
    EXPECT_EQ(m_api.Initialize(false), 1);
    EXPECT_EQ(g_created, 1);
    EXPECT_EQ(m_endpoint.Take(), (Calls{"SetSink", "Initialize false", "SetSink", "Initialize false", "SetSink",
                                        "Initialize false", "OpenSpeaker ''"}));
}

TEST_F(PluginTest, NoEndpointIsAnAssertion) {
    g_next = nullptr;
    EXPECT_THROW(m_api.Initialize(true), Poco::AssertionViolationException);
    EXPECT_FALSE(m_api.Ready());
}

TEST_F(PluginTest, FlowsReachTheEndpointInItsArgumentOrderAndUninitializeStopsThem) {
    ASSERT_EQ(m_api.Initialize(false), 1);
    m_endpoint.Take();
    CaptureAsk ask;
    ask.window = 0x400005;
    ask.width = 640;
    ask.height = 360;
    ask.kbps = 800;
    ask.fps = 25;
    EXPECT_EQ(m_api.Flows().StartPublish("rtmp://h/live/s", ask, 1), 0);
    EXPECT_EQ(m_api.Flows().StartRecord("/r/a.flv", ask, true), 0);
    // bitrate, width, height, then the frame rate last.
    EXPECT_EQ(m_endpoint.Take(), (Calls{"StartCaptureApplication 1 0 4194309 800 640 360 25",
                                        "PublishMixStream rtmp://h/live/s #app#1 #soundcard#mix#mic 1",
                                        "StartRecord /r/a.flv #app#1 #soundcard#mix#mic 1"}));
    m_api.Uninitialize();
    EXPECT_EQ(m_endpoint.Take(),
              (Calls{"StopRecord 1", "StopCaptureApplication #app#1", "StopEncodeMixer #soundcard#mix#mic",
                     "StopPublish rtmp://h/live/s", "UnInitialize"}));
    EXPECT_EQ(g_destroyed, (std::vector<IStreamCore*>{&m_endpoint}));
    EXPECT_FALSE(m_api.Ready());
    EXPECT_FALSE(m_api.Flows().Recording());
    EXPECT_FALSE(m_api.Flows().Publishing());
    m_api.Uninitialize();
    EXPECT_EQ(g_destroyed.size(), 1u) << "nothing left to end";
}

TEST_F(PluginTest, EventsFromTheEventThreadAreQueuedUntilUninitialize) {
    ASSERT_EQ(m_api.Initialize(false), 1);
    CaptureAsk ask;
    ask.window = 1;
    ASSERT_EQ(m_api.Flows().StartPublish("rtmp://h/live/one", ask, 0), 0);
    ASSERT_EQ(m_api.Flows().StartRecord("/r/one.flv", ask, false), 0);
    StreamCoreSink* sink = m_endpoint.sink;
    IStreamCoreDetailSink* detail = m_endpoint.detail;
    std::thread events([sink, detail] {
        sink->OnPublishResult(0, "one");
        detail->OnStreamCoreDetail(6001, 0, "rtmp://h/live/one", "");
        detail->OnStreamCoreDetail(6005, 1, "/r/one.flv", "the file could not be written (No space left on device)");
        detail->OnStreamCoreDetail(6004, 0, "#app#1", "the window went away");
        sink->OnStreamCoreEvent(1001, 5);
    });
    events.join();
    m_api.Uninitialize();
    // A result that was on its way when the publication stopped.
    std::thread late([detail] { detail->OnStreamCoreDetail(6001, -1, "rtmp://h/live/one", ""); });
    late.join();
    EXPECT_EQ(Texts(m_api),
              (std::vector<std::string>{
                  "{\"eventid\":6001,\"result\":0,\"rtmpurl\":\"one\"}\n",
                  "{\"eventid\":6005,\"file\":\"/r/one.flv\",\"reason\":\"the file could not be written (No space "
                  "left on device)\",\"result\":-1}\n",
                  "{\"eventid\":6004,\"reason\":\"the window went away\",\"result\":-1,\"source\":\"#app#1\"}\n",
                  "{\"eventid\":1001,\"result\":5}\n"}));

    // Unload empties what is still queued.
    ASSERT_EQ(m_api.Initialize(false), 1);
    std::thread more([sink] { sink->OnStreamCoreEvent(1001, 6); });
    more.join();
    m_api.Unload();
    EXPECT_EQ(m_api.Events().Size(), 0u);
}

namespace {

// A script object's view of the endpoint: what it hears, and how often it was closed.
struct User final : IEndpointUser {
    std::mutex lock;
    std::vector<std::string> got;
    int closed = 0;
    void CloseForUnload() override { ++closed; }
    void OnStreamResult(bool play, int value, const std::string& url) override {
        Hear(std::string(play ? "play " : "publish ") + std::to_string(value) + " " + url);
    }
    void OnBitrate(const std::string& url, int kbps) override { Hear("bitrate " + url + " " + std::to_string(kbps)); }
    void OnSourceEnded(const std::string& uniName, const std::string& why) override {
        Hear("ended " + uniName + " " + why);
    }
    void OnRecordFailed(int id, const std::string& file, const std::string& why) override {
        Hear("failed " + std::to_string(id) + " " + file + " " + why);
    }
    void Hear(const std::string& line) {
        std::lock_guard<std::mutex> guard(lock);
        got.push_back(line);
    }
};

}  // namespace

TEST_F(PluginTest, BothApisShareOneEndpointThatEndsWhenNeitherUsesIt) {
    User client;
    std::string error;
    ASSERT_TRUE(m_plugin.Attach(&client, false, &error));
    EXPECT_FALSE(m_api.Ready()) << "the module's functions have not joined yet";
    EXPECT_EQ(m_api.Initialize(true), 1);
    EXPECT_EQ(m_endpoint.Take(), (Calls{"SetSink", "Initialize false", "OpenSpeaker ''"}));
    m_api.Uninitialize();
    EXPECT_TRUE(g_destroyed.empty()) << "the script object still uses it";
    EXPECT_FALSE(m_api.Ready());
    m_plugin.Detach(&client);
    EXPECT_EQ(m_endpoint.Take(), (Calls{"UnInitialize"}));
    EXPECT_EQ(g_destroyed, (std::vector<IStreamCore*>{&m_endpoint}));
    EXPECT_EQ(g_created, 1);

    // A failed start reports the endpoint's reason and keeps nothing.
    m_endpoint.initAnswer = EndpointDouble::InitAnswer::kThrow;
    EXPECT_FALSE(m_plugin.Attach(&client, false, &error));
    EXPECT_NE(error.find("m_lpMediaTapr != NULL"), std::string::npos) << error;
    EXPECT_EQ(g_destroyed.size(), 2u);

    // One environment's end leaves the endpoint to the other's users; the process's exit
    // closes them all.
    m_endpoint.initAnswer = EndpointDouble::InitAnswer::kTrue;
    ModuleApi worker(m_plugin);
    ASSERT_TRUE(m_plugin.Attach(&client, false, &error));
    ASSERT_EQ(worker.Initialize(false), 1);
    worker.Unload();
    EXPECT_EQ(client.closed, 0);
    EXPECT_EQ(g_destroyed.size(), 2u);
    m_plugin.EndAll();
    EXPECT_EQ(client.closed, 1);
    EXPECT_EQ(g_destroyed.size(), 3u);
}

TEST_F(PluginTest, EachEventReachesOnlyTheOwnerOfWhatItIsAbout) {
    User object, other;
    std::string error;
    ASSERT_TRUE(m_plugin.Attach(&object, false, &error));
    ASSERT_TRUE(m_plugin.Attach(&other, false, &error));
    ASSERT_EQ(m_api.Initialize(false), 1);
    // Two publications whose urls end alike, one each; the module publishes a third.
    const std::string mine = "rtmp://a/live/lesson", theirs = "rtmp://b/live/lesson";
    ASSERT_TRUE(m_plugin.Claim(PublishKey(mine), &object));
    ASSERT_TRUE(m_plugin.Claim(PublishKey(theirs), &other));
    EXPECT_FALSE(m_plugin.Claim(PublishKey(mine), &other)) << "one owner per url";
    ASSERT_TRUE(m_plugin.Claim(SourceKey("#app#7"), &object));
    ASSERT_TRUE(m_plugin.Claim(RecordKey(3), &object));
    CaptureAsk ask;
    ask.window = 1;
    ASSERT_EQ(m_api.Flows().StartPublish("rtmp://c/live/lesson", ask, 0), 0);
    IStreamCoreDetailSink* detail = m_endpoint.detail;
    IStreamCoreBitrateSink* bitrates = &m_plugin;
    std::thread([detail, bitrates] {
        detail->OnStreamCoreDetail(6001, 0, "rtmp://a/live/lesson", "");
        detail->OnStreamCoreDetail(6001, -1, "rtmp://b/live/lesson", "");
        detail->OnStreamCoreDetail(6001, -1, "rtmp://c/live/lesson", "");
        detail->OnStreamCoreDetail(6001, -1, "", "");
        detail->OnStreamCoreDetail(6002, 0, "rtmp://a/live/lesson", "") /* nobody plays it */;
        detail->OnStreamCoreDetail(6004, 0, "#app#7", "the window went away");
        detail->OnStreamCoreDetail(6005, 3, "/r/x.mp4", "full");
        detail->OnStreamCoreDetail(6005, 4, "/r/y.mp4", "full");
        bitrates->OnBitrateChanged(300, "rtmp://b/live/lesson");
    }).join();
    EXPECT_EQ(object.got, (std::vector<std::string>{"publish 0 rtmp://a/live/lesson",
                                                    "ended #app#7 the window went away", "failed 3 /r/x.mp4 full"}));
    EXPECT_EQ(other.got, (std::vector<std::string>{"publish -1 rtmp://b/live/lesson", "bitrate rtmp://b/live/lesson 300"}));
    EXPECT_EQ(Texts(m_api), (std::vector<std::string>{"{\"eventid\":6001,\"result\":-1,\"rtmpurl\":\"lesson\"}\n"}));

    // A detached user hears nothing more, even of a url it last published.
    m_plugin.Unclaim(PublishKey(theirs));
    m_plugin.Detach(&other);
    std::thread([detail] { detail->OnStreamCoreDetail(6001, -1, "rtmp://b/live/lesson", ""); }).join();
    EXPECT_EQ(other.got.size(), 2u);
    m_api.Uninitialize();
    m_plugin.Detach(&object);
}

TEST_F(PluginTest, TheMixerRunsUntilItsLastUserOfEitherApiIsDone) {
    User object;
    std::string error;
    ASSERT_TRUE(m_plugin.Attach(&object, false, &error));
    ASSERT_EQ(m_api.Initialize(false), 1);
    // A url a script object publishes is refused to the module's flow.
    ASSERT_TRUE(m_plugin.Claim(PublishKey("rtmp://h/live/x"), &object));
    m_plugin.MixerUsed();
    CaptureAsk ask;
    ask.window = 1;
    m_endpoint.Take();
    EXPECT_EQ(m_api.Flows().StartPublish("rtmp://h/live/x", ask, 0), 5002);
    EXPECT_EQ(m_api.Flows().StartPublish("rtmp://h/live/y", ask, 0), 0);
    m_api.Flows().StopPublish();
    for (const std::string& call : m_endpoint.Take()) EXPECT_NE(call.rfind("StopEncodeMixer", 0), 0u) << call;
    m_plugin.MixerReleased();
    EXPECT_EQ(m_endpoint.Take(), (Calls{"StopEncodeMixer #soundcard#mix#mic"}));
    m_api.Uninitialize();
    m_plugin.Unclaim(PublishKey("rtmp://h/live/x"));
    m_plugin.Detach(&object);
}
