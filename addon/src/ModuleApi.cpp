#include "ModuleApi.h"

#include "DesktopWindow.h"

#include <cstdint>

namespace streamaddon {

namespace {

void* ToHandle(uint64_t window) { return reinterpret_cast<void*>(static_cast<uintptr_t>(window)); }

}  // namespace

ModuleApi::ModuleApi(LiveMediaPlugin& plugin) : m_plugin(plugin), m_calls(*this), m_flows(m_calls) {}

ModuleApi::~ModuleApi() { Unload(); }

bool ModuleApi::Ready() { return m_bUser && m_plugin.Initialized(); }

int ModuleApi::Initialize(bool enableLog) {
    if (Ready()) {
        Core()->OpenSpeaker("");
        return 1;
    }
    m_bQueueing.store(true, std::memory_order_release);
    std::string error;
    if (m_plugin.Join(this, enableLog, &error)) {
        m_bUser = true;
        Core()->OpenSpeaker("");
    }
    return Ready() ? 1 : 0;
}

void ModuleApi::Uninitialize() {
    m_bQueueing.store(false, std::memory_order_release);
    if (!m_bUser) {
        // A failed initialize may have left the endpoint created.
        m_plugin.EndIfUnused();
        return;
    }
    m_flows.StopRecord();
    m_flows.StopPublish();
    m_bUser = false;
    m_plugin.Detach(this);
}

void ModuleApi::Unload() {
    Uninitialize();
    m_events.Clear();
}

void ModuleApi::CloseForUnload() { Uninitialize(); }

void ModuleApi::Queue(std::string text) {
    if (m_bQueueing.load(std::memory_order_acquire)) m_events.Push(std::move(text));
}

void ModuleApi::OnStreamResult(bool play, int value, const std::string& url) {
    Queue(StreamEventText(play ? STREAMCORE_EVENT_PLAY_RESULT : STREAMCORE_EVENT_PUBLISH_RESULT, value,
                          StreamNameOf(url).c_str()));
}

void ModuleApi::OnSourceEnded(const std::string& uniName, const std::string& why) {
    Queue(FailureEventText(STREAMCORE_EVENT_SOURCE_ENDED, "source", uniName, why));
}

void ModuleApi::OnRecordFailed(int, const std::string& file, const std::string& why) {
    Queue(FailureEventText(STREAMCORE_EVENT_RECORD_FAILED, "file", file, why));
}

void ModuleApi::OnOtherEvent(int eventId, int value) { Queue(EventText(eventId, value)); }

void ModuleApi::HoldMixer() {
    if (m_bMixerHeld) return;
    m_bMixerHeld = true;
    m_plugin.MixerUsed();
}

uint64_t ModuleApi::EndpointCalls::DesktopWindow() { return DesktopWindowId(); }

bool ModuleApi::EndpointCalls::StartCapture(uint64_t window, int width, int height, int kbps, int fps,
                                            std::string* uniName) {
    char name[128] = {0};
    // The endpoint takes bitrate, width, height and frame rate in this order.
    const bool ok =
        m_owner.Core()->StartCaptureApplication(nullptr, false, ToHandle(window), kbps, width, height, name, fps);
    name[sizeof name - 1] = '\0';
    *uniName = name;
    if (ok && name[0] != '\0') m_owner.m_plugin.Claim(SourceKey(name), &m_owner);
    return ok;
}

bool ModuleApi::EndpointCalls::StopCapture(const std::string& uniName) {
    m_owner.m_plugin.Unclaim(SourceKey(uniName));
    return m_owner.Core()->StopCaptureApplication(uniName.c_str());
}

bool ModuleApi::EndpointCalls::StopMixer(const std::string&) {
    // Called when neither flow uses the mixer any more: it stops unless script objects or other
    // environments still take their sound from it.
    if (!m_owner.m_bMixerHeld) return m_owner.m_plugin.StopMixerIfUnused();
    m_owner.m_bMixerHeld = false;
    m_owner.m_plugin.MixerReleased();
    return true;
}

int ModuleApi::EndpointCalls::StartRecord(const std::string& file, const std::string& video,
                                          const std::string& audio, bool flag) {
    const int id = m_owner.Core()->StartRecord(file.c_str(), video.c_str(), audio.c_str(), flag);
    if (id != -1) {
        m_owner.m_plugin.Claim(RecordKey(id), &m_owner);
        m_owner.HoldMixer();
    }
    return id;
}

bool ModuleApi::EndpointCalls::StopRecord(int recordId) {
    const bool ok = m_owner.Core()->StopRecord(recordId);
    m_owner.m_plugin.Unclaim(RecordKey(recordId));
    return ok;
}

bool ModuleApi::EndpointCalls::Publish(const std::string& url, const std::string& video, const std::string& audio,
                                       int mode) {
    // The endpoint keeps one publication per url: a url another user publishes is refused
    // rather than shared (stopping it here would end the other user's publication).
    if (!m_owner.m_plugin.Claim(PublishKey(url), &m_owner)) return false;
    if (m_owner.Core()->PublishMixStream(url.c_str(), video.c_str(), audio.c_str(), mode)) {
        m_owner.HoldMixer();
        return true;
    }
    m_owner.m_plugin.Unclaim(PublishKey(url));
    return false;
}

void ModuleApi::EndpointCalls::StopPublish(const std::string& url) {
    m_owner.Core()->StopPublish(url.c_str());
    m_owner.m_plugin.Unclaim(PublishKey(url));
}

}  // namespace streamaddon
