// The addon's one process-wide state: the endpoint it owns, who uses it, and the sinks that
// hand each endpoint event to the user it is about.
//
// The endpoint has users of two kinds: script objects (NativeStreamCore, each from its start to
// its close) and the module's functions of each script environment (ModuleApi, from initialize
// to uninitialize). Whichever comes first creates and initializes the endpoint; it is ended and
// destroyed when no user is left.
//
// Everything a user starts that events can be about is claimed under a key (a published or
// played url, a source's uniName, a record id) with the user as its owner: a key is held by one
// user at a time, and the event thread hands each result, bitrate change, ended source and
// failed recording to the owner of its key only. Results of a url that was on its way when its
// owner stopped it still reach that owner (until another user claims the url).
//
// Threads: every script environment runs on a thread of its own, so the calls of the users run
// on several threads. Each call of a script function or a script object's method holds
// CallLock() (entry points in StreamAddon.cpp and ScriptStreamCore.cpp), which serializes them
// and every endpoint call they make; the plug-in's own members are guarded by it too. The sink
// operations run on the endpoint's event thread and never take that lock: they read the owners
// under the routes lock, and a user removed by Detach is never called again.
#pragma once

#include "IStreamCore.h"
#include "ScriptLock.h"

#include "common/thread_annotations.h"

#include <map>
#include <string>
#include <vector>

namespace streamaddon {

// A user of the endpoint. The On... operations run on the endpoint's event thread, under the
// plug-in's routes lock: they must not block or call the plug-in.
class IEndpointUser {
public:
    // Stops everything the user started and leaves the endpoint. No script value may be
    // touched (the script environment may be going or gone).
    virtual void CloseForUnload() = 0;
    // A result of the publication (play false) or playback (play true) at url: value 0
    // connected, -1 failed or lost.
    virtual void OnStreamResult(bool play, int value, const std::string& url) = 0;
    // The publication at url now runs its video at kbps kbit/s.
    virtual void OnBitrate(const std::string& url, int kbps) { (void)url, (void)kbps; }
    // The source uniName ended by itself (why: what happened, or empty).
    virtual void OnSourceEnded(const std::string& uniName, const std::string& why) { (void)uniName, (void)why; }
    // The recording recordId into file ended on a failed write.
    virtual void OnRecordFailed(int recordId, const std::string& file, const std::string& why) {
        (void)recordId, (void)file, (void)why;
    }
    // Any other endpoint event; every user hears it.
    virtual void OnOtherEvent(int eventId, int value) { (void)eventId, (void)value; }

protected:
    ~IEndpointUser() = default;
};

// Claim keys.
std::string PublishKey(const std::string& url);
std::string PlayKey(const std::string& url);
// A window capture's or a camera's uniName (a camera's is its id).
std::string SourceKey(const std::string& uniName);
std::string RecordKey(int recordId);

class LiveMediaPlugin final : public StreamCoreSink, public IStreamCoreBitrateSink, public IStreamCoreDetailSink {
public:
    LiveMediaPlugin() = default;
    ~LiveMediaPlugin() = default;
    LiveMediaPlugin(const LiveMediaPlugin&) = delete;
    LiveMediaPlugin& operator=(const LiveMediaPlugin&) = delete;

    // Held by every script-thread entry point of the addon; see the threads note above.
    ScriptMutex& CallLock() OV_THREAD_ANNOTATION(lock_returned(m_callLock)) { return m_callLock; }

    // Creates and initializes the endpoint when it is not initialized: true when it is
    // initialized afterwards, else false with the reason in *error (the endpoint stays
    // created, and a later call tries again on it). Throws Poco::AssertionViolationException
    // when no endpoint can be created.
    bool EnsureEndpoint(bool enableLog, std::string* error);
    // The endpoint, null when there is none; usable when Initialized().
    IStreamCore* Core();
    bool Initialized();

    // user starts using the endpoint: true when it is initialized (created and initialized now
    // if nobody used it yet); otherwise false with the reason in *error, and an endpoint that
    // nobody uses is ended again. Throws as EnsureEndpoint.
    bool Attach(IEndpointUser* user, bool enableLog, std::string* error);
    // As Attach, except that a failed start leaves the endpoint created for the next try.
    bool Join(IEndpointUser* user, bool enableLog, std::string* error);
    // user no longer uses the endpoint: its keys are released, it is never called again once
    // this returns, and the endpoint ends when nobody uses it.
    void Detach(IEndpointUser* user);
    // Ends and destroys the endpoint when no user is left.
    void EndIfUnused();
    // Process exit: every user stops what it started, and the endpoint ends.
    void EndAll();

    // true when key was free and is now held by owner.
    bool Claim(const std::string& key, IEndpointUser* owner);
    void Unclaim(const std::string& key);

    // Outputs that take the sound mixer: its encoder is stopped when the last one ends.
    void MixerUsed();
    void MixerReleased();
    // Stops the mixer's encoder unless an output takes it.
    bool StopMixerIfUnused();

    // StreamCoreSink: results arrive with their url through OnStreamCoreDetail.
    void OnStreamCoreEvent(int eventId, int value) override;
    void OnPublishResult(int value, const char* name) override;
    void OnPlayResult(int value, const char* name) override;
    // IStreamCoreBitrateSink
    void OnBitrateChanged(int kbps, const char* url) override;
    // IStreamCoreDetailSink
    void OnStreamCoreDetail(int eventId, int value, const char* subject, const char* text) override;

private:
    bool Start(IEndpointUser* user, bool enableLog, std::string* error) OV_REQUIRES(m_callLock);
    // The owner of key, or null (callers hold m_routesLock).
    IEndpointUser* OwnerOf(const std::string& key) OV_REQUIRES(m_routesLock);

    ScriptMutex m_callLock;
    IStreamCore* m_lpStreamCore OV_GUARDED_BY(m_callLock) = nullptr;
    bool m_bInitialized OV_GUARDED_BY(m_callLock) = false;
    std::vector<IEndpointUser*> m_users OV_GUARDED_BY(m_callLock);
    // Held keys and their owners.
    std::map<std::string, IEndpointUser*> m_claims OV_GUARDED_BY(m_callLock);
    int m_mixerUsers OV_GUARDED_BY(m_callLock) = 0;

    Orvane::Common::Mutex m_routesLock;
    // Attached users, each of which hears OnOtherEvent.
    std::vector<IEndpointUser*> m_listeners OV_GUARDED_BY(m_routesLock);
    // Claimed keys and, for publish and play urls, the last owner after they were released.
    std::map<std::string, IEndpointUser*> m_routes OV_GUARDED_BY(m_routesLock);
};

// The one state object of the process (never destroyed: the endpoint's threads may still
// report while the process exits).
LiveMediaPlugin& Plugin();

}  // namespace streamaddon
