#include "LiveMediaPlugin.h"

#include "DesktopWindow.h"

#include <Poco/Bugcheck.h>

#include <cstdint>
#include <cstring>

namespace streamaddon {

namespace {

// Event ids of publish and play results.
enum { kPublishResultEvent = 6001, kPlayResultEvent = 6002 };

void QueueEventText(std::string text) { Events().Push(std::move(text)); }

void* ToHandle(uint64_t window) { return reinterpret_cast<void*>(static_cast<uintptr_t>(window)); }

}  // namespace

EventQueue& Events() {
    static EventQueue* queue = new EventQueue;
    return *queue;
}

LiveMediaPlugin& Plugin() {
    static LiveMediaPlugin* plugin = new LiveMediaPlugin;
    return *plugin;
}

LiveMediaPlugin::LiveMediaPlugin() : m_calls(*this), m_flows(m_calls) {}

LiveMediaPlugin::~LiveMediaPlugin() = default;

int LiveMediaPlugin::Initialize(bool enableLog) {
    if (m_bInitialized) {
        m_lpStreamCore->OpenSpeaker("");
        return 1;
    }
    m_eventCallback.store(&QueueEventText, std::memory_order_release);
    if (m_lpStreamCore == nullptr) {
        m_lpStreamCore = CreateStreamCore();
        if (m_lpStreamCore == nullptr) Poco::Bugcheck::assertion("m_lpStreamCore", __FILE__, __LINE__);
    }
    m_lpStreamCore->SetSink(this);
    try {
        m_bInitialized = m_lpStreamCore->Initialize(nullptr, nullptr, nullptr, enableLog);
    } catch (...) {
        // A collaborator the endpoint could not create: the endpoint stays not initialized and
        // a later initialize tries again.
        m_bInitialized = false;
    }
    if (m_bInitialized) m_lpStreamCore->OpenSpeaker("");
    return m_bInitialized ? 1 : 0;
}

void LiveMediaPlugin::Uninitialize() {
    m_eventCallback.store(nullptr, std::memory_order_release);
    if (m_lpStreamCore == nullptr) return;
    m_flows.StopRecord();
    m_flows.StopPublish();
    m_lpStreamCore->UnInitialize();
    DestroyStreamCore(m_lpStreamCore);
    m_lpStreamCore = nullptr;
    m_bInitialized = false;
}

void LiveMediaPlugin::Unload() {
    Uninitialize();
    Events().Clear();
}

void LiveMediaPlugin::Deliver(std::string text) {
    EventCallback callback = m_eventCallback.load(std::memory_order_acquire);
    if (callback) callback(std::move(text));
}

void LiveMediaPlugin::OnStreamCoreEvent(int eventId, int value) {
    if (m_eventCallback.load(std::memory_order_acquire) == nullptr) return;
    Deliver(EventText(eventId, value));
}

void LiveMediaPlugin::OnPublishResult(int value, const char* name) {
    Deliver(StreamEventText(kPublishResultEvent, value, name));
}

void LiveMediaPlugin::OnPlayResult(int value, const char* name) {
    Deliver(StreamEventText(kPlayResultEvent, value, name));
}

uint64_t LiveMediaPlugin::EndpointCalls::DesktopWindow() { return DesktopWindowId(); }

bool LiveMediaPlugin::EndpointCalls::StartCapture(uint64_t window, int width, int height, int kbps, int fps,
                                                  std::string* uniName) {
    char name[128] = {0};
    // The endpoint takes bitrate, width, height and frame rate in this order.
    const bool ok = m_owner.m_lpStreamCore->StartCaptureApplication(nullptr, false, ToHandle(window), kbps, width,
                                                                    height, name, fps);
    name[sizeof name - 1] = '\0';
    *uniName = name;
    return ok;
}

bool LiveMediaPlugin::EndpointCalls::StopCapture(const std::string& uniName) {
    return m_owner.m_lpStreamCore->StopCaptureApplication(uniName.c_str());
}

bool LiveMediaPlugin::EndpointCalls::StopMixer(const std::string& mixer) {
    return m_owner.m_lpStreamCore->StopEncodeMixer(mixer.c_str());
}

int LiveMediaPlugin::EndpointCalls::StartRecord(const std::string& file, const std::string& video,
                                                const std::string& audio, bool flag) {
    return m_owner.m_lpStreamCore->StartRecord(file.c_str(), video.c_str(), audio.c_str(), flag);
}

bool LiveMediaPlugin::EndpointCalls::StopRecord(int recordId) { return m_owner.m_lpStreamCore->StopRecord(recordId); }

bool LiveMediaPlugin::EndpointCalls::Publish(const std::string& url, const std::string& video,
                                             const std::string& audio, int mode) {
    return m_owner.m_lpStreamCore->PublishMixStream(url.c_str(), video.c_str(), audio.c_str(), mode);
}

void LiveMediaPlugin::EndpointCalls::StopPublish(const std::string& url) {
    m_owner.m_lpStreamCore->StopPublish(url.c_str());
}

}  // namespace streamaddon
