#include "LiveMediaPlugin.h"

#include "CaptureFlows.h"

#include <Poco/Bugcheck.h>
#include <Poco/Exception.h>

#include <algorithm>

namespace streamaddon {

namespace {

const char kPublishPrefix[] = "publish ";
const char kPlayPrefix[] = "play ";

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

std::string PublishKey(const std::string& url) { return kPublishPrefix + url; }
std::string PlayKey(const std::string& url) { return kPlayPrefix + url; }
std::string SourceKey(const std::string& uniName) { return "source " + uniName; }
std::string RecordKey(int recordId) { return "record " + std::to_string(recordId); }

LiveMediaPlugin& Plugin() {
    static LiveMediaPlugin* plugin = new LiveMediaPlugin;
    return *plugin;
}

bool LiveMediaPlugin::EnsureEndpoint(bool enableLog, std::string* error) {
    ScriptLock lock(m_callLock);
    if (m_bInitialized && m_lpStreamCore != nullptr) return true;
    if (m_lpStreamCore == nullptr) {
        m_lpStreamCore = CreateStreamCore();
        if (m_lpStreamCore == nullptr) Poco::Bugcheck::assertion("m_lpStreamCore", __FILE__, __LINE__);
    }
    m_lpStreamCore->SetSink(this);
    m_lpStreamCore->SetBitrateSink(this);
    m_lpStreamCore->SetDetailSink(this);
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

IStreamCore* LiveMediaPlugin::Core() {
    ScriptLock lock(m_callLock);
    return m_lpStreamCore;
}

bool LiveMediaPlugin::Initialized() {
    ScriptLock lock(m_callLock);
    return m_bInitialized && m_lpStreamCore != nullptr;
}

bool LiveMediaPlugin::Start(IEndpointUser* user, bool enableLog, std::string* error) {
    if (!EnsureEndpoint(enableLog, error)) return false;
    m_users.push_back(user);
    Orvane::Common::MutexLock routes(m_routesLock);
    m_listeners.push_back(user);
    return true;
}

bool LiveMediaPlugin::Attach(IEndpointUser* user, bool enableLog, std::string* error) {
    ScriptLock lock(m_callLock);
    if (Start(user, enableLog, error)) return true;
    EndIfUnused();
    return false;
}

bool LiveMediaPlugin::Join(IEndpointUser* user, bool enableLog, std::string* error) {
    ScriptLock lock(m_callLock);
    return Start(user, enableLog, error);
}

void LiveMediaPlugin::Detach(IEndpointUser* user) {
    ScriptLock lock(m_callLock);
    auto it = std::find(m_users.begin(), m_users.end(), user);
    if (it == m_users.end()) return;
    m_users.erase(it);
    for (auto claim = m_claims.begin(); claim != m_claims.end();) {
        if (claim->second == user)
            claim = m_claims.erase(claim);
        else
            ++claim;
    }
    {
        Orvane::Common::MutexLock routes(m_routesLock);
        m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), user), m_listeners.end());
        for (auto route = m_routes.begin(); route != m_routes.end();) {
            if (route->second == user)
                route = m_routes.erase(route);
            else
                ++route;
        }
    }
    EndIfUnused();
}

void LiveMediaPlugin::EndIfUnused() {
    ScriptLock lock(m_callLock);
    if (!m_users.empty() || m_lpStreamCore == nullptr) return;
    m_lpStreamCore->UnInitialize();
    DestroyStreamCore(m_lpStreamCore);
    m_lpStreamCore = nullptr;
    m_bInitialized = false;
    m_mixerUsers = 0;
}

void LiveMediaPlugin::EndAll() {
    ScriptLock lock(m_callLock);
    // Each user detaches itself.
    const std::vector<IEndpointUser*> users = m_users;
    for (IEndpointUser* user : users) user->CloseForUnload();
    for (IEndpointUser* user : users) Detach(user);
    EndIfUnused();
}

bool LiveMediaPlugin::Claim(const std::string& key, IEndpointUser* owner) {
    ScriptLock lock(m_callLock);
    if (!m_claims.emplace(key, owner).second) return false;
    Orvane::Common::MutexLock routes(m_routesLock);
    m_routes[key] = owner;
    return true;
}

void LiveMediaPlugin::Unclaim(const std::string& key) {
    ScriptLock lock(m_callLock);
    m_claims.erase(key);
    // A result on its way when its stream was stopped still reaches the stream's last owner;
    // nothing more is to come about a stopped source or recording.
    if (StartsWith(key, kPublishPrefix) || StartsWith(key, kPlayPrefix)) return;
    Orvane::Common::MutexLock routes(m_routesLock);
    m_routes.erase(key);
}

void LiveMediaPlugin::MixerUsed() {
    ScriptLock lock(m_callLock);
    ++m_mixerUsers;
}

void LiveMediaPlugin::MixerReleased() {
    ScriptLock lock(m_callLock);
    if (m_mixerUsers > 0) --m_mixerUsers;
    StopMixerIfUnused();
}

bool LiveMediaPlugin::StopMixerIfUnused() {
    ScriptLock lock(m_callLock);
    if (m_mixerUsers > 0) return true;
    if (m_lpStreamCore == nullptr) return false;
    return m_lpStreamCore->StopEncodeMixer(kSoundMixer);
}

IEndpointUser* LiveMediaPlugin::OwnerOf(const std::string& key) {
    auto it = m_routes.find(key);
    return it == m_routes.end() ? nullptr : it->second;
}

void LiveMediaPlugin::OnStreamCoreEvent(int eventId, int value) {
    Orvane::Common::MutexLock routes(m_routesLock);
    for (IEndpointUser* user : m_listeners) user->OnOtherEvent(eventId, value);
}

// Results are routed by their full url, which only OnStreamCoreDetail carries (the endpoint
// calls it for every result, right after one of these).
void LiveMediaPlugin::OnPublishResult(int, const char*) {}

void LiveMediaPlugin::OnPlayResult(int, const char*) {}

void LiveMediaPlugin::OnBitrateChanged(int kbps, const char* url) {
    const std::string about = url ? url : "";
    Orvane::Common::MutexLock routes(m_routesLock);
    if (IEndpointUser* owner = OwnerOf(PublishKey(about))) owner->OnBitrate(about, kbps);
}

void LiveMediaPlugin::OnStreamCoreDetail(int eventId, int value, const char* subject, const char* text) {
    const std::string about = subject ? subject : "";
    const std::string why = text ? text : "";
    Orvane::Common::MutexLock routes(m_routesLock);
    switch (eventId) {
        case STREAMCORE_EVENT_PUBLISH_RESULT:
        case STREAMCORE_EVENT_PLAY_RESULT: {
            // An empty url: the endpoint had already forgotten the stream (stopped) when it
            // reported; nobody can tell whose it was.
            if (about.empty()) return;
            const bool play = eventId == STREAMCORE_EVENT_PLAY_RESULT;
            if (IEndpointUser* owner = OwnerOf(play ? PlayKey(about) : PublishKey(about)))
                owner->OnStreamResult(play, value, about);
            break;
        }
        case STREAMCORE_EVENT_SOURCE_ENDED:
            if (IEndpointUser* owner = OwnerOf(SourceKey(about))) owner->OnSourceEnded(about, why);
            break;
        case STREAMCORE_EVENT_RECORD_FAILED:
            if (IEndpointUser* owner = OwnerOf(RecordKey(value))) owner->OnRecordFailed(value, about, why);
            break;
        default:
            break;
    }
}

}  // namespace streamaddon
