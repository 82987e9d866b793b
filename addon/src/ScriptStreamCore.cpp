// The native half of the script class StreamCore.
//
// Each object is one user of the process's endpoint (LiveMediaPlugin::Attach) and keeps what
// it started there (captures, cameras, publications, recordings, playbacks, thumbnails, device
// tests), so that close(), the environment's end and the process's exit stop exactly those.
// While any of them runs, the object holds its owner (the script object over it) strongly, so
// that neither is collected mid-stream; collection of an object that runs nothing only leaves
// the endpoint. Events about what it owns reach its script callback through a thread-safe
// function: the endpoint's event thread queues them and the script thread runs the callback.
//
// The methods expect the argument types index.js has checked; a value of another type gives a
// TypeError rather than undefined behaviour. Endpoint failures are thrown as Error.
#include "ScriptStreamCore.h"

#include "NativeStreamCore.h"

#include "LiveMediaPlugin.h"
#include "ScriptArgs.h"

#include <Poco/Exception.h>

#include <memory>

namespace streamaddon {

void CallEventCallback(Napi::Env env, Napi::Function callback, std::nullptr_t*, PushedEvent* data) {
    std::unique_ptr<PushedEvent> event(data);
    // env is null when the function is torn down with events still queued: they are dropped.
    if (env == nullptr || callback.IsEmpty() || !event) return;
    try {
        callback.Call({Napi::String::New(env, event->kind), Napi::String::New(env, event->subject),
                       Napi::Number::New(env, event->value), Napi::String::New(env, event->text)});
    } catch (const Napi::Error& e) {
        // A listener that throws is the script's uncaught exception, as with any other event.
        e.ThrowAsJavaScriptException();
    }
}

template <Napi::Value (NativeStreamCore::*Method)(const Napi::CallbackInfo&)>
Napi::Value NativeStreamCore::Serialized(const Napi::CallbackInfo& info) {
    ScriptLock lock(Plugin().CallLock());
    try {
        Napi::Value result = (this->*Method)(info);
        UpdateHolds(info.Env());
        return result;
    } catch (...) {
        UpdateHolds(info.Env());
        throw;
    }
}

Napi::Function NativeStreamCore::Define(Napi::Env env) {
    return DefineClass(
        env, "NativeStreamCore",
        {
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::Close>>("close"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::Microphones>>("microphones"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::Speakers>>("speakers"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::Cameras>>("cameras"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::OpenMicrophone>>("openMicrophone"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::CloseMicrophone>>("closeMicrophone"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::OpenSpeaker>>("openSpeaker"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::GetMicrophoneVolume>>("getMicrophoneVolume"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::SetMicrophoneVolume>>("setMicrophoneVolume"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::GetSpeakerVolume>>("getSpeakerVolume"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::SetSpeakerVolume>>("setSpeakerVolume"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::GetMuted>>("getMicrophoneMuted"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::SetMuted>>("setMicrophoneMuted"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::SetAutoGain>>("setAutoGain"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::StartMicrophoneTest>>("startMicrophoneTest"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::MicrophoneLevel>>("microphoneLevel"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::StopMicrophoneTest>>("stopMicrophoneTest"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::StartSpeakerTest>>("startSpeakerTest"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::SpeakerLevel>>("speakerLevel"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::StopSpeakerTest>>("stopSpeakerTest"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::Windows>>("windows"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::ShowThumbnail>>("showThumbnail"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::RemoveThumbnail>>("removeThumbnail"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::BringToTop>>("bringToTop"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::CaptureWindow>>("captureWindow"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::StopCapture>>("stopCapture"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::OpenCamera>>("openCamera"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::CloseCamera>>("closeCamera"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::Publish>>("publish"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::StopPublish>>("stopPublish"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::PausePublish>>("pausePublish"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::ResumePublish>>("resumePublish"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::ForceKeyFrame>>("forceKeyFrame"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::Record>>("record"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::StopRecord>>("stopRecord"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::Play>>("play"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::MovePlay>>("movePlay"),
            InstanceMethod<&NativeStreamCore::Serialized<&NativeStreamCore::StopPlay>>("stopPlay"),
        });
}

NativeStreamCore::NativeStreamCore(const Napi::CallbackInfo& info) : Napi::ObjectWrap<NativeStreamCore>(info) {
    ScriptLock lock(Plugin().CallLock());
    Napi::Env env = info.Env();
    const bool log = Bool(info, 0, "new StreamCore", "options.log");
    if (!info[1].IsFunction()) WrongType(env, "new StreamCore", "the event callback must be a function");
    if (!info[2].IsObject()) WrongType(env, "new StreamCore", "the owner must be an object");
    std::string error;
    bool attached = false;
    try {
        attached = Plugin().Attach(this, log, &error);
    } catch (const Poco::Exception& e) {
        error = e.displayText();
    }
    if (!attached) Failed(env, "StreamCore: the endpoint could not be started: " + error);
    m_events = EventFunction::New(env, info[1].As<Napi::Function>(), "StreamCore events", 0, 1);
    m_events.Unref(env);
    if (napi_create_reference(env, info[2], 0, &m_owner) != napi_ok) m_owner = nullptr;
    m_env = env;
    napi_add_env_cleanup_hook(env, &NativeStreamCore::AtEnvironmentEnd, this);
    m_open = true;
}

NativeStreamCore::~NativeStreamCore() {
    ScriptLock lock(Plugin().CallLock());
    if (m_owner) napi_delete_reference(m_env, m_owner);
    if (!m_open) return;
    StopAll();
    m_events.Release();
    napi_remove_env_cleanup_hook(m_env, &NativeStreamCore::AtEnvironmentEnd, this);
}

void NativeStreamCore::AtEnvironmentEnd(void* self) {
    ScriptLock lock(Plugin().CallLock());
    static_cast<NativeStreamCore*>(self)->CloseForUnload();
}

void NativeStreamCore::Push(const char* kind, std::string subject, int value, std::string text) {
    // Called under the plug-in's routes lock, never after Detach.
    auto* event = new PushedEvent{kind, std::move(subject), value, std::move(text)};
    if (m_events.NonBlockingCall(event) != napi_ok) delete event;
}

void NativeStreamCore::OnStreamResult(bool play, int value, const std::string& url) {
    Push(play ? "play" : "publish", url, value, "");
}

void NativeStreamCore::OnBitrate(const std::string& url, int kbps) { Push("bitrate", url, kbps, ""); }

void NativeStreamCore::OnSourceEnded(const std::string& uniName, const std::string& why) {
    Push("sourceEnded", uniName, 0, why);
}

void NativeStreamCore::OnRecordFailed(int recordId, const std::string& file, const std::string& why) {
    Push("recordFailed", file, recordId, why);
}

void NativeStreamCore::CloseForUnload() {
    if (!m_open) return;
    // The environment is ending (or the process exiting): the thread-safe function, the
    // references and the clean-up hook are the environment's to end; only the endpoint's side
    // is stopped.
    StopAll();
}

void NativeStreamCore::StopAll() {
    m_open = false;
    IStreamCore* core = Plugin().Core();
    for (const auto& recording : m_recordings) {
        core->StopRecord(recording.first);
        Plugin().Unclaim(RecordKey(recording.first));
        if (recording.second) Plugin().MixerReleased();
    }
    m_recordings.clear();
    for (const auto& publication : m_publications) {
        core->StopPublish(publication.first.c_str());
        Plugin().Unclaim(PublishKey(publication.first));
        if (publication.second.mix) Plugin().MixerReleased();
    }
    m_publications.clear();
    for (const std::string& url : m_playbacks) {
        core->StopPlay(url.c_str());
        Plugin().Unclaim(PlayKey(url));
    }
    m_playbacks.clear();
    if (m_windows) {
        for (const auto& thumbnail : m_thumbnails) m_windows->UnregisterAppThumbnail(thumbnail.second);
        DestroyPaneShareMgr(m_windows);
        m_windows = nullptr;
    }
    m_thumbnails.clear();
    for (const std::string& capture : m_captures) {
        core->StopCaptureApplication(capture.c_str());
        Plugin().Unclaim(SourceKey(capture));
    }
    m_captures.clear();
    for (const std::string& camera : m_cameras) {
        core->CloseCamera(camera.c_str());
        Plugin().Unclaim(SourceKey(camera));
    }
    m_cameras.clear();
    if (m_microphoneTest) core->StopTestMic();
    if (m_speakerTest) core->StopTestSpeaker();
    m_microphoneTest = m_speakerTest = false;
    Plugin().Detach(this);
}

IStreamCore* NativeStreamCore::Core(const Napi::Env& env) {
    if (!m_open) Failed(env, kClosed);
    return Plugin().Core();
}

void NativeStreamCore::UpdateHolds(napi_env env) {
    if (!m_open) return;
    const bool results = !m_publications.empty() || !m_playbacks.empty();
    if (results != m_eventsHeld) {
        if (results)
            m_events.Ref(env);
        else
            m_events.Unref(env);
        m_eventsHeld = results;
    }
    const bool running = results || !m_captures.empty() || !m_cameras.empty() || !m_recordings.empty() ||
                         !m_thumbnails.empty() || m_microphoneTest || m_speakerTest;
    if (running != m_ownerHeld && m_owner) {
        if (running)
            napi_reference_ref(env, m_owner, nullptr);
        else
            napi_reference_unref(env, m_owner, nullptr);
        m_ownerHeld = running;
    }
}

Napi::Value NativeStreamCore::Close(const Napi::CallbackInfo& info) {
    if (m_open) {
        StopAll();
        m_events.Release();
        napi_remove_env_cleanup_hook(m_env, &NativeStreamCore::AtEnvironmentEnd, this);
        if (m_ownerHeld) napi_reference_unref(info.Env(), m_owner, nullptr);
        m_ownerHeld = false;
    }
    return info.Env().Undefined();
}

void DefineScriptStreamCore(Napi::Env env, Napi::Object exports) {
    // Not enumerable: the module's listed exports stay its fourteen functions.
    exports.DefineProperty(
        Napi::PropertyDescriptor::Value("NativeStreamCore", NativeStreamCore::Define(env), napi_default));
}

}  // namespace streamaddon
