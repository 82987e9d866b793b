// The addon's state object against a double of the endpoint: the initialize and uninitialize
// flows, the order of the endpoint calls, the shared capture's arguments as the endpoint takes
// them, and sink events arriving on another thread (clean under ThreadSanitizer).
#include "LiveMediaPlugin.h"

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
        Events().Clear();
    }
    void TearDown() override { Events().Clear(); }

    EndpointDouble m_endpoint;
    LiveMediaPlugin m_plugin;
};

}  // namespace

extern "C" IStreamCore* CreateStreamCore() {
    ++g_created;
    return g_next;
}
extern "C" void DestroyStreamCore(IStreamCore* p) { g_destroyed.push_back(p); }

TEST_F(PluginTest, InitializeOnceThenOnlyReopensTheSpeaker) {
    EXPECT_FALSE(m_plugin.Ready());
    EXPECT_EQ(m_plugin.Initialize(true), 1);
    EXPECT_EQ(m_endpoint.sink, &m_plugin);
    EXPECT_EQ(m_plugin.Initialize(false), 1);
    EXPECT_EQ(m_endpoint.Take(), (Calls{"SetSink", "Initialize true", "OpenSpeaker ''", "OpenSpeaker ''"}));
    EXPECT_EQ(g_created, 1);
    EXPECT_TRUE(m_plugin.Ready());
}

TEST_F(PluginTest, AFailedInitializeGivesZeroAndIsRetriedOnTheSameEndpoint) {
    m_endpoint.initAnswer = EndpointDouble::InitAnswer::kFalse;
    EXPECT_EQ(m_plugin.Initialize(false), 0);
    m_endpoint.initAnswer = EndpointDouble::InitAnswer::kThrow;
    EXPECT_EQ(m_plugin.Initialize(false), 0) << "an assertion inside the endpoint is a failed start";
    EXPECT_FALSE(m_plugin.Ready());
    m_endpoint.initAnswer = EndpointDouble::InitAnswer::kTrue;
    EXPECT_EQ(m_plugin.Initialize(false), 1);
    EXPECT_EQ(g_created, 1);
    EXPECT_EQ(m_endpoint.Take(), (Calls{"SetSink", "Initialize false", "SetSink", "Initialize false", "SetSink",
                                        "Initialize false", "OpenSpeaker ''"}));
}

TEST_F(PluginTest, NoEndpointIsAnAssertion) {
    g_next = nullptr;
    EXPECT_THROW(m_plugin.Initialize(true), Poco::AssertionViolationException);
    EXPECT_FALSE(m_plugin.Ready());
}

TEST_F(PluginTest, FlowsReachTheEndpointInItsArgumentOrderAndUninitializeStopsThem) {
    ASSERT_EQ(m_plugin.Initialize(false), 1);
    m_endpoint.Take();
    CaptureAsk ask;
    ask.window = 0x400005;
    ask.width = 640;
    ask.height = 360;
    ask.kbps = 800;
    ask.fps = 25;
    EXPECT_EQ(m_plugin.Flows().StartPublish("rtmp://h/live/s", ask, 1), 0);
    EXPECT_EQ(m_plugin.Flows().StartRecord("/r/a.flv", ask, true), 0);
    // bitrate, width, height, then the frame rate last.
    EXPECT_EQ(m_endpoint.Take(), (Calls{"StartCaptureApplication 1 0 4194309 800 640 360 25",
                                        "PublishMixStream rtmp://h/live/s #app#1 #soundcard#mix#mic 1",
                                        "StartRecord /r/a.flv #app#1 #soundcard#mix#mic 1"}));
    m_plugin.Uninitialize();
    EXPECT_EQ(m_endpoint.Take(),
              (Calls{"StopRecord 1", "StopCaptureApplication #app#1", "StopEncodeMixer #soundcard#mix#mic",
                     "StopPublish rtmp://h/live/s", "UnInitialize"}));
    EXPECT_EQ(g_destroyed, (std::vector<IStreamCore*>{&m_endpoint}));
    EXPECT_FALSE(m_plugin.Ready());
    EXPECT_FALSE(m_plugin.Flows().Recording());
    EXPECT_FALSE(m_plugin.Flows().Publishing());
    m_plugin.Uninitialize();
    EXPECT_EQ(g_destroyed.size(), 1u) << "nothing left to end";
}

TEST_F(PluginTest, EventsFromTheEventThreadAreQueuedUntilUninitialize) {
    ASSERT_EQ(m_plugin.Initialize(false), 1);
    StreamCoreSink* sink = m_endpoint.sink;
    std::thread events([sink] {
        sink->OnPublishResult(0, "one");
        sink->OnPlayResult(-1, "two");
        sink->OnStreamCoreEvent(1001, 5);
    });
    events.join();
    m_plugin.Uninitialize();
    std::thread late([sink] { sink->OnPublishResult(0, "late"); });
    late.join();

    std::string text;
    EXPECT_EQ(Events().TakeOldest(&text), 3u);
    EXPECT_EQ(text, "{\"eventid\":6001,\"result\":0,\"rtmpurl\":\"one\"}\n");
    EXPECT_EQ(Events().TakeOldest(&text), 2u);
    EXPECT_EQ(text, "{\"eventid\":6002,\"result\":-1,\"rtmpurl\":\"two\"}\n");
    EXPECT_EQ(Events().TakeOldest(&text), 1u);
    EXPECT_EQ(text, "{\"eventid\":1001,\"result\":5}\n");
    EXPECT_EQ(Events().TakeOldest(&text), 0u);

    // Unload empties what is still queued.
    ASSERT_EQ(m_plugin.Initialize(false), 1);
    std::thread more([sink] { sink->OnPublishResult(-1, "more"); });
    more.join();
    m_plugin.Unload();
    EXPECT_EQ(Events().Size(), 0u);
}

namespace {

struct Client final : IEndpointClient {
    int closed = 0;
    void CloseForUnload() override { ++closed; }
};

struct Receiver final : IStreamResultReceiver {
    std::mutex lock;
    std::vector<std::string> got;
    void OnStreamResult(bool play, int value, const std::string& name) override {
        std::lock_guard<std::mutex> guard(lock);
        got.push_back(std::string(play ? "play " : "publish ") + std::to_string(value) + " " + name);
    }
};

}  // namespace

TEST_F(PluginTest, BothApisShareOneEndpointThatEndsWhenNeitherUsesIt) {
    Client client;
    std::string error;
    ASSERT_TRUE(m_plugin.Attach(&client, false, &error));
    EXPECT_FALSE(m_plugin.Ready()) << "the module's functions have not joined yet";
    EXPECT_EQ(m_plugin.Initialize(true), 1);
    EXPECT_EQ(m_endpoint.Take(), (Calls{"SetSink", "Initialize false", "OpenSpeaker ''"}));
    m_plugin.Uninitialize();
    EXPECT_TRUE(g_destroyed.empty()) << "the script object still uses it";
    EXPECT_FALSE(m_plugin.Ready());
    m_plugin.Detach(&client);
    EXPECT_EQ(m_endpoint.Take(), (Calls{"UnInitialize"}));
    EXPECT_EQ(g_destroyed, (std::vector<IStreamCore*>{&m_endpoint}));
    EXPECT_EQ(g_created, 1);

    // A failed start reports the endpoint's reason and keeps nothing.
    m_endpoint.initAnswer = EndpointDouble::InitAnswer::kThrow;
    EXPECT_FALSE(m_plugin.Attach(&client, false, &error));
    EXPECT_NE(error.find("m_lpMediaTapr != NULL"), std::string::npos) << error;
    EXPECT_EQ(g_destroyed.size(), 2u);

    // Unload closes the objects still open.
    m_endpoint.initAnswer = EndpointDouble::InitAnswer::kTrue;
    ASSERT_TRUE(m_plugin.Attach(&client, false, &error));
    m_plugin.Unload();
    EXPECT_EQ(client.closed, 1);
}

TEST_F(PluginTest, ResultsReachTheQueueAndEveryReceiverTheMixerAndUrlsAreShared) {
    Client client;
    Receiver receiver;
    std::string error;
    ASSERT_TRUE(m_plugin.Attach(&client, false, &error));
    ASSERT_EQ(m_plugin.Initialize(false), 1);
    m_plugin.AddReceiver(&receiver);
    StreamCoreSink* sink = m_endpoint.sink;
    std::thread([sink] {
        sink->OnPublishResult(0, "a");
        sink->OnPlayResult(-1, "b");
    }).join();
    m_plugin.RemoveReceiver(&receiver);
    std::thread([sink] { sink->OnPublishResult(0, "c"); }).join();
    EXPECT_EQ(receiver.got, (std::vector<std::string>{"publish 0 a", "play -1 b"}));
    EXPECT_EQ(Events().Size(), 3u) << "the polled queue keeps every result";

    // A url a script object publishes is refused to the module's flow; the mixer runs until
    // the last user of either API is done with it.
    ASSERT_TRUE(m_plugin.Claim(PublishClaim("rtmp://h/live/x")));
    m_plugin.MixerUsed();
    CaptureAsk ask;
    ask.window = 1;
    m_endpoint.Take();
    EXPECT_EQ(m_plugin.Flows().StartPublish("rtmp://h/live/x", ask, 0), 5002);
    EXPECT_EQ(m_plugin.Flows().StartPublish("rtmp://h/live/y", ask, 0), 0);
    m_plugin.Flows().StopPublish();
    for (const std::string& call : m_endpoint.Take()) EXPECT_NE(call.rfind("StopEncodeMixer", 0), 0u) << call;
    m_plugin.MixerReleased();
    EXPECT_EQ(m_endpoint.Take(), (Calls{"StopEncodeMixer #soundcard#mix#mic"}));
    m_plugin.Detach(&client);
}
