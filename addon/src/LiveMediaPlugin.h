// The addon's one process-wide state: the endpoint it owns, the recording and publishing
// flows over it, and the sink that turns endpoint events into queued event texts and pushes
// stream results to the script objects that listen.
//
// The endpoint has two kinds of users: the module's functions (from initialize to uninitialize)
// and script objects (each from Attach to Detach). Whichever comes first creates and
// initializes the endpoint; it is ended and destroyed when neither uses it any more.
//
// Threads: everything except the StreamCoreSink and IStreamCoreBitrateSink operations is
// called on the script thread only. The sink operations are called on the endpoint's event thread; they read the event
// callback (atomic), append to the event queue (locked) and call the receivers under the
// receivers' lock, so a receiver removed by RemoveReceiver is never called again.
#pragma once

#include "CaptureFlows.h"
#include "EventQueue.h"
#include "IStreamCore.h"

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace streamaddon {

// The process-wide queue the event texts wait in until the script polls.
EventQueue& Events();

// Receives publish and play results as the endpoint reports them: play false for a
// publication, true for a playback; value 0 connected, -1 failed or lost; name the stream name
// (the last path segment of its url). Called on the endpoint's event thread; must not block.
class IStreamResultReceiver {
public:
    virtual void OnStreamResult(bool play, int value, const std::string& name) = 0;
    // The published stream at url now runs its video at kbps kbit/s.
    virtual void OnBitrate(const std::string& url, int kbps) { (void)url, (void)kbps; }

protected:
    ~IStreamResultReceiver() = default;
};

// Claim keys (see LiveMediaPlugin::Claim).
std::string PublishClaim(const std::string& url);
std::string PlayClaim(const std::string& url);
std::string CameraClaim(const std::string& id);

// A script object over the endpoint, closed by the state object when the module goes away.
class IEndpointClient {
public:
    // Stops everything the client started and releases its use of the endpoint. No script
    // value may be touched (the script environment may be going or gone).
    virtual void CloseForUnload() = 0;

protected:
    ~IEndpointClient() = default;
};

class LiveMediaPlugin final : public StreamCoreSink, public IStreamCoreBitrateSink {
public:
    using EventCallback = void (*)(std::string text);

    LiveMediaPlugin();
    ~LiveMediaPlugin();
    LiveMediaPlugin(const LiveMediaPlugin&) = delete;
    LiveMediaPlugin& operator=(const LiveMediaPlugin&) = delete;

    // 1 when the endpoint is initialized afterwards, else 0. A second call while initialized
    // only opens the default speaker again. Throws Poco::AssertionViolationException when no
    // endpoint can be created.
    int Initialize(bool enableLog);
    // Stops recording and publishing, ends and destroys the endpoint. Events already queued
    // stay queued; later ones are dropped.
    void Uninitialize();
    // Module unload: as Uninitialize, and the event queue is emptied.
    void Unload();

    // The module's functions may call the endpoint (initialize succeeded and no uninitialize
    // since).
    bool Ready() const { return m_bModuleUser && m_bInitialized && m_lpStreamCore != nullptr; }
    IStreamCore* Core() { return m_lpStreamCore; }
    CaptureFlows& Flows() { return m_flows; }

    // A script object starts using the endpoint: true when it is initialized (created and
    // initialized now if nobody used it yet); otherwise false with the reason in *error.
    bool Attach(IEndpointClient* client, bool enableLog, std::string* error);
    // The object no longer uses the endpoint; the endpoint ends when nobody does.
    void Detach(IEndpointClient* client);

    void AddReceiver(IStreamResultReceiver* receiver);
    // After it returns the receiver is not being called and never will be again.
    void RemoveReceiver(IStreamResultReceiver* receiver);

    // Keys of things only one user may hold at a time (a published url, a played url, an open
    // camera): true when key was free and is now held.
    bool Claim(const std::string& key);
    void Unclaim(const std::string& key);

    // Script objects' outputs that take the sound mixer: the mixer's encoder is stopped when the
    // last output of either API that uses it ends.
    void MixerUsed();
    void MixerReleased();

    void OnStreamCoreEvent(int eventId, int value) override;
    void OnPublishResult(int value, const char* name) override;
    void OnPlayResult(int value, const char* name) override;
    // IStreamCoreBitrateSink
    void OnBitrateChanged(int kbps, const char* url) override;

private:
    // The flows' view of the endpoint.
    class EndpointCalls final : public ICaptureEndpoint {
    public:
        explicit EndpointCalls(LiveMediaPlugin& owner) : m_owner(owner) {}
        uint64_t DesktopWindow() override;
        bool StartCapture(uint64_t window, int width, int height, int kbps, int fps, std::string* uniName) override;
        bool StopCapture(const std::string& uniName) override;
        bool StopMixer(const std::string& mixer) override;
        int StartRecord(const std::string& file, const std::string& video, const std::string& audio,
                        bool flag) override;
        bool StopRecord(int recordId) override;
        bool Publish(const std::string& url, const std::string& video, const std::string& audio, int mode) override;
        void StopPublish(const std::string& url) override;

    private:
        LiveMediaPlugin& m_owner;
    };

    void Deliver(std::string text);
    void Push(bool play, int value, const char* name);
    // Creates and initializes the endpoint when it is not initialized; false with the reason
    // in *error when that fails. Throws Poco::AssertionViolationException when no endpoint can
    // be created.
    bool EnsureEndpoint(bool enableLog, std::string* error);
    // Ends and destroys the endpoint when neither the module's functions nor any script object
    // use it.
    void EndIfUnused();

    IStreamCore* m_lpStreamCore = nullptr;
    bool m_bInitialized = false;
    bool m_bModuleUser = false;
    std::vector<IEndpointClient*> m_clients;
    Orvane::Common::Mutex m_receiversLock;
    std::vector<IStreamResultReceiver*> m_receivers OV_GUARDED_BY(m_receiversLock);
    std::set<std::string> m_claims;
    int m_scriptMixerUsers = 0;
    std::atomic<EventCallback> m_eventCallback{nullptr};
    EndpointCalls m_calls;
    CaptureFlows m_flows;
};

// The one state object of the process (never destroyed: the endpoint's threads may still
// report while the process exits).
LiveMediaPlugin& Plugin();

}  // namespace streamaddon
