#include "LiveMediaPlugin.h"

#include "DesktopWindow.h"

#include <Poco/Bugcheck.h>
#include <Poco/Exception.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace streamaddon {

namespace {

// Event ids of publish and play results.
enum { kPublishResultEvent = 6001, kPlayResultEvent = 6002 };

void QueueEventText(std::string text) { Events().Push(std::move(text)); }

void* ToHandle(uint64_t window) { return reinterpret_cast<void*>(static_cast<uintptr_t>(window)); }

}  // namespace

std::string PublishClaim(const std::string& url) { return "publish " + url; }
std::string PlayClaim(const std::string& url) { return "play " + url; }
std::string CameraClaim(const std::string& id) { return "camera " + id; }

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

bool LiveMediaPlugin::EnsureEndpoint(bool enableLog, std::string* error) {
    if (m_bInitialized && m_lpStreamCore != nullptr) return true;
    if (m_lpStreamCore == nullptr) {
        m_lpStreamCore = CreateStreamCore();
        if (m_lpStreamCore == nullptr) Poco::Bugcheck::assertion("m_lpStreamCore", __FILE__, __LINE__);
    }
    m_lpStreamCore->SetSink(this);
    m_lpStreamCore->SetBitrateSink(this);
    try {
        m_bInitialized = m_lpStreamCore->Initialize(nullptr, nullptr, nullptr, enableLog);
        if (!m_bInitialized && error) *error = "the endpoint could not be initialized";
    } catch (const Poco::Exception& e) {
        // A collaborator the endpoint could not create: the endpoint stays not initialized and
        // a later start tries again.
        m_bInitialized = false;
        if (error) *error = e.displayText();
    } catch (...) {
        m_bInitialized = false;
        if (error) *error = "the endpoint could not be initialized";
    }
    return m_bInitialized;
}

void LiveMediaPlugin::EndIfUnused() {
    if (m_bModuleUser || !m_clients.empty() || m_lpStreamCore == nullptr) return;
    m_lpStreamCore->UnInitialize();
    DestroyStreamCore(m_lpStreamCore);
    m_lpStreamCore = nullptr;
    m_bInitialized = false;
}

int LiveMediaPlugin::Initialize(bool enableLog) {
    if (Ready()) {
        m_lpStreamCore->OpenSpeaker("");
        return 1;
    }
    m_eventCallback.store(&QueueEventText, std::memory_order_release);
    if (EnsureEndpoint(enableLog, nullptr)) {
        m_bModuleUser = true;
        m_lpStreamCore->OpenSpeaker("");
    }
    return Ready() ? 1 : 0;
}

void LiveMediaPlugin::Uninitialize() {
    m_eventCallback.store(nullptr, std::memory_order_release);
    if (m_lpStreamCore == nullptr) return;
    m_flows.StopRecord();
    m_flows.StopPublish();
    m_bModuleUser = false;
    EndIfUnused();
}

void LiveMediaPlugin::Unload() {
    // Script objects still open stop what they started first; each detaches itself.
    const std::vector<IEndpointClient*> clients = m_clients;
    for (IEndpointClient* client : clients) client->CloseForUnload();
    m_clients.clear();
    Uninitialize();
    Events().Clear();
}

bool LiveMediaPlugin::Attach(IEndpointClient* client, bool enableLog, std::string* error) {
    if (!EnsureEndpoint(enableLog, error)) {
        EndIfUnused();
        return false;
    }
    m_clients.push_back(client);
    return true;
}

void LiveMediaPlugin::Detach(IEndpointClient* client) {
    auto it = std::find(m_clients.begin(), m_clients.end(), client);
    if (it == m_clients.end()) return;
    m_clients.erase(it);
    EndIfUnused();
}

void LiveMediaPlugin::AddReceiver(IStreamResultReceiver* receiver) {
    Orvane::Common::MutexLock lock(m_receiversLock);
    m_receivers.push_back(receiver);
}

void LiveMediaPlugin::RemoveReceiver(IStreamResultReceiver* receiver) {
    Orvane::Common::MutexLock lock(m_receiversLock);
    m_receivers.erase(std::remove(m_receivers.begin(), m_receivers.end(), receiver), m_receivers.end());
}

bool LiveMediaPlugin::Claim(const std::string& key) { return m_claims.insert(key).second; }

void LiveMediaPlugin::Unclaim(const std::string& key) { m_claims.erase(key); }

void LiveMediaPlugin::MixerUsed() { ++m_scriptMixerUsers; }

void LiveMediaPlugin::MixerReleased() {
    if (m_scriptMixerUsers > 0) --m_scriptMixerUsers;
    if (m_scriptMixerUsers == 0 && !m_flows.Recording() && !m_flows.Publishing() && m_lpStreamCore)
        m_lpStreamCore->StopEncodeMixer(kSoundMixer);
}

void LiveMediaPlugin::Deliver(std::string text) {
    EventCallback callback = m_eventCallback.load(std::memory_order_acquire);
    if (callback) callback(std::move(text));
}

void LiveMediaPlugin::OnStreamCoreEvent(int eventId, int value) {
    if (m_eventCallback.load(std::memory_order_acquire) == nullptr) return;
    Deliver(EventText(eventId, value));
}

void LiveMediaPlugin::Push(bool play, int value, const char* name) {
    const std::string stream = name ? name : "";
    Orvane::Common::MutexLock lock(m_receiversLock);
    for (IStreamResultReceiver* receiver : m_receivers) receiver->OnStreamResult(play, value, stream);
}

void LiveMediaPlugin::OnPublishResult(int value, const char* name) {
    Deliver(StreamEventText(kPublishResultEvent, value, name));
    Push(false, value, name);
}

void LiveMediaPlugin::OnPlayResult(int value, const char* name) {
    Deliver(StreamEventText(kPlayResultEvent, value, name));
    Push(true, value, name);
}

void LiveMediaPlugin::OnBitrateChanged(int kbps, const char* url) {
    const std::string text = url ? url : "";
    Orvane::Common::MutexLock lock(m_receiversLock);
    for (IStreamResultReceiver* receiver : m_receivers) receiver->OnBitrate(text, kbps);
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
    // Script objects' outputs may still take their sound from it.
    if (m_owner.m_scriptMixerUsers > 0) return true;
    return m_owner.m_lpStreamCore->StopEncodeMixer(mixer.c_str());
}

int LiveMediaPlugin::EndpointCalls::StartRecord(const std::string& file, const std::string& video,
                                                const std::string& audio, bool flag) {
    return m_owner.m_lpStreamCore->StartRecord(file.c_str(), video.c_str(), audio.c_str(), flag);
}

bool LiveMediaPlugin::EndpointCalls::StopRecord(int recordId) { return m_owner.m_lpStreamCore->StopRecord(recordId); }

bool LiveMediaPlugin::EndpointCalls::Publish(const std::string& url, const std::string& video,
                                             const std::string& audio, int mode) {
    // The endpoint keeps one publication per url: a url a script object publishes is refused
    // rather than shared (stopping it here would end the other user's publication).
    if (!m_owner.Claim(PublishClaim(url))) return false;
    if (m_owner.m_lpStreamCore->PublishMixStream(url.c_str(), video.c_str(), audio.c_str(), mode)) return true;
    m_owner.Unclaim(PublishClaim(url));
    return false;
}

void LiveMediaPlugin::EndpointCalls::StopPublish(const std::string& url) {
    m_owner.m_lpStreamCore->StopPublish(url.c_str());
    m_owner.Unclaim(PublishClaim(url));
}

}  // namespace streamaddon
