// The native half of the script class StreamCore.
//
// Each object is one user of the process's endpoint (LiveMediaPlugin::Attach) and keeps what
// it started there (captures, cameras, publications, recordings, playbacks, thumbnails, device
// tests), so that close(), its collection and the module's end stop exactly those. Publish
// and play results reach its script callback through a thread-safe function: the endpoint's
// event thread queues them and the script thread runs the callback with ("publish" or "play",
// stream name, result). The callback is held while the object lives; the event loop is kept
// alive only while a publication or playback runs (results are still to come).
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

void CallResultCallback(Napi::Env env, Napi::Function callback, std::nullptr_t*, PushedResult* data) {
    std::unique_ptr<PushedResult> result(data);
    // env is null when the function is torn down with results still queued: they are dropped.
    if (env == nullptr || callback.IsEmpty() || !result) return;
    try {
        const char* kind = result->bitrate ? "bitrate" : result->play ? "play" : "publish";
        callback.Call({Napi::String::New(env, kind), Napi::String::New(env, result->name),
                       Napi::Number::New(env, result->value)});
    } catch (const Napi::Error& e) {
        // A listener that throws is the script's uncaught exception, as with any other event.
        e.ThrowAsJavaScriptException();
    }
}

Napi::Function NativeStreamCore::Define(Napi::Env env) {
    return DefineClass(
        env, "NativeStreamCore",
        {
            InstanceMethod<&NativeStreamCore::Close>("close"),
            InstanceMethod<&NativeStreamCore::Microphones>("microphones"),
            InstanceMethod<&NativeStreamCore::Speakers>("speakers"),
            InstanceMethod<&NativeStreamCore::Cameras>("cameras"),
            InstanceMethod<&NativeStreamCore::OpenMicrophone>("openMicrophone"),
            InstanceMethod<&NativeStreamCore::CloseMicrophone>("closeMicrophone"),
            InstanceMethod<&NativeStreamCore::OpenSpeaker>("openSpeaker"),
            InstanceMethod<&NativeStreamCore::GetMicrophoneVolume>("getMicrophoneVolume"),
            InstanceMethod<&NativeStreamCore::SetMicrophoneVolume>("setMicrophoneVolume"),
            InstanceMethod<&NativeStreamCore::GetSpeakerVolume>("getSpeakerVolume"),
            InstanceMethod<&NativeStreamCore::SetSpeakerVolume>("setSpeakerVolume"),
            InstanceMethod<&NativeStreamCore::GetMuted>("getMicrophoneMuted"),
            InstanceMethod<&NativeStreamCore::SetMuted>("setMicrophoneMuted"),
            InstanceMethod<&NativeStreamCore::SetAutoGain>("setAutoGain"),
            InstanceMethod<&NativeStreamCore::StartMicrophoneTest>("startMicrophoneTest"),
            InstanceMethod<&NativeStreamCore::MicrophoneLevel>("microphoneLevel"),
            InstanceMethod<&NativeStreamCore::StopMicrophoneTest>("stopMicrophoneTest"),
            InstanceMethod<&NativeStreamCore::StartSpeakerTest>("startSpeakerTest"),
            InstanceMethod<&NativeStreamCore::SpeakerLevel>("speakerLevel"),
            InstanceMethod<&NativeStreamCore::StopSpeakerTest>("stopSpeakerTest"),
            InstanceMethod<&NativeStreamCore::Windows>("windows"),
            InstanceMethod<&NativeStreamCore::ShowThumbnail>("showThumbnail"),
            InstanceMethod<&NativeStreamCore::RemoveThumbnail>("removeThumbnail"),
            InstanceMethod<&NativeStreamCore::BringToTop>("bringToTop"),
            InstanceMethod<&NativeStreamCore::CaptureWindow>("captureWindow"),
            InstanceMethod<&NativeStreamCore::StopCapture>("stopCapture"),
            InstanceMethod<&NativeStreamCore::OpenCamera>("openCamera"),
            InstanceMethod<&NativeStreamCore::CloseCamera>("closeCamera"),
            InstanceMethod<&NativeStreamCore::Publish>("publish"),
            InstanceMethod<&NativeStreamCore::StopPublish>("stopPublish"),
            InstanceMethod<&NativeStreamCore::PausePublish>("pausePublish"),
            InstanceMethod<&NativeStreamCore::ResumePublish>("resumePublish"),
            InstanceMethod<&NativeStreamCore::ForceKeyFrame>("forceKeyFrame"),
            InstanceMethod<&NativeStreamCore::Record>("record"),
            InstanceMethod<&NativeStreamCore::StopRecord>("stopRecord"),
            InstanceMethod<&NativeStreamCore::Play>("play"),
            InstanceMethod<&NativeStreamCore::MovePlay>("movePlay"),
            InstanceMethod<&NativeStreamCore::StopPlay>("stopPlay"),
        });
}

NativeStreamCore::NativeStreamCore(const Napi::CallbackInfo& info) : Napi::ObjectWrap<NativeStreamCore>(info) {
    Napi::Env env = info.Env();
    const bool log = Bool(info, 0, "new StreamCore", "options.log");
    if (!info[1].IsFunction()) WrongType(env, "new StreamCore", "the result callback must be a function");
    std::string error;
    bool attached = false;
    try {
        attached = Plugin().Attach(this, log, &error);
    } catch (const Poco::Exception& e) {
        error = e.displayText();
    }
    if (!attached) Failed(env, "StreamCore: the endpoint could not be started: " + error);
    m_results = ResultFunction::New(env, info[1].As<Napi::Function>(), "StreamCore results", 0, 1);
    m_results.Unref(env);
    m_env = env;
    napi_add_env_cleanup_hook(env, &NativeStreamCore::AtEnvironmentEnd, this);
    m_open = true;
    Plugin().AddReceiver(this);
}

NativeStreamCore::~NativeStreamCore() {
    if (!m_open) return;
    StopAll();
    m_results.Release();
    napi_remove_env_cleanup_hook(m_env, &NativeStreamCore::AtEnvironmentEnd, this);
}

void NativeStreamCore::OnStreamResult(bool play, int value, const std::string& name) {
    // Called under the plug-in's receivers lock, never after RemoveReceiver.
    auto* result = new PushedResult{play, value, name};
    if (m_results.NonBlockingCall(result) != napi_ok) delete result;
}

void NativeStreamCore::OnBitrate(const std::string& url, int kbps) {
    auto* result = new PushedResult{false, kbps, url, true};
    if (m_results.NonBlockingCall(result) != napi_ok) delete result;
}

void NativeStreamCore::CloseForUnload() {
    if (!m_open) return;
    // The environment is ending (or the process exiting): the thread-safe function and the
    // clean-up hook are the environment's to end; only the endpoint's side is stopped.
    StopAll();
}

void NativeStreamCore::StopAll() {
    m_open = false;
    Plugin().RemoveReceiver(this);
    IStreamCore* core = Plugin().Core();
    for (const auto& recording : m_recordings) {
        core->StopRecord(recording.first);
        if (recording.second) Plugin().MixerReleased();
    }
    m_recordings.clear();
    for (const auto& publication : m_publications) {
        core->StopPublish(publication.first.c_str());
        Plugin().Unclaim(PublishClaim(publication.first));
        if (publication.second.mix) Plugin().MixerReleased();
    }
    m_publications.clear();
    for (const std::string& url : m_playbacks) {
        core->StopPlay(url.c_str());
        Plugin().Unclaim(PlayClaim(url));
    }
    m_playbacks.clear();
    if (m_windows) {
        for (const auto& thumbnail : m_thumbnails) m_windows->UnregisterAppThumbnail(thumbnail.second);
        DestroyPaneShareMgr(m_windows);
        m_windows = nullptr;
    }
    m_thumbnails.clear();
    for (const std::string& capture : m_captures) core->StopCaptureApplication(capture.c_str());
    m_captures.clear();
    for (const std::string& camera : m_cameras) {
        core->CloseCamera(camera.c_str());
        Plugin().Unclaim(CameraClaim(camera));
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

void NativeStreamCore::UpdateHold(const Napi::Env& env) {
    const bool hold = !m_publications.empty() || !m_playbacks.empty();
    if (hold == m_held) return;
    if (hold)
        m_results.Ref(env);
    else
        m_results.Unref(env);
    m_held = hold;
}

Napi::Value NativeStreamCore::Close(const Napi::CallbackInfo& info) {
    if (m_open) {
        StopAll();
        m_results.Release();
        napi_remove_env_cleanup_hook(m_env, &NativeStreamCore::AtEnvironmentEnd, this);
    }
    return info.Env().Undefined();
}

void DefineScriptStreamCore(Napi::Env env, Napi::Object exports) {
    // Not enumerable: the module's listed exports stay its fourteen functions.
    exports.DefineProperty(
        Napi::PropertyDescriptor::Value("NativeStreamCore", NativeStreamCore::Define(env), napi_default));
}

}  // namespace streamaddon
