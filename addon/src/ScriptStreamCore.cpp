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

#include "CameraFormats.h"
#include "CaptureFlows.h"
#include "DesktopWindow.h"
#include "LiveMediaPlugin.h"
#include "ScriptRules.h"

#include "paneshare/IPaneShareMgr.h"

#include <Poco/Exception.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace streamaddon {

namespace {

const char kClosed[] = "StreamCore is closed";

// One result on its way from the event thread to the script thread.
struct PushedResult {
    bool play = false;
    int value = 0;
    std::string name;  // the stream name; the URL of a bitrate change
    bool bitrate = false;  // a bitrate change (value in kbit/s)
};

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

using ResultFunction = Napi::TypedThreadSafeFunction<std::nullptr_t, PushedResult, CallResultCallback>;

void* ToHandle(uint64_t window) { return reinterpret_cast<void*>(static_cast<uintptr_t>(window)); }

[[noreturn]] void WrongType(const Napi::Env& env, const char* method, const char* what) {
    throw Napi::TypeError::New(env, std::string(method) + ": " + what);
}

[[noreturn]] void Failed(const Napi::Env& env, const std::string& text) { throw Napi::Error::New(env, text); }

std::string Text(const Napi::CallbackInfo& info, size_t i, const char* method, const char* name) {
    if (!info[i].IsString()) WrongType(info.Env(), method, (std::string(name) + " must be a string").c_str());
    const std::string text = info[i].As<Napi::String>().Utf8Value();
    const std::string problem = TextProblem(text);
    if (!problem.empty()) WrongType(info.Env(), method, (std::string(name) + " " + problem).c_str());
    return text;
}

int Int(const Napi::CallbackInfo& info, size_t i, const char* method, const char* name) {
    if (!info[i].IsNumber()) WrongType(info.Env(), method, (std::string(name) + " must be a number").c_str());
    return info[i].As<Napi::Number>().Int32Value();
}

uint64_t Window(const Napi::CallbackInfo& info, size_t i, const char* method, const char* name) {
    if (!info[i].IsNumber()) WrongType(info.Env(), method, (std::string(name) + " must be a window id").c_str());
    return static_cast<uint32_t>(info[i].As<Napi::Number>().Int64Value());
}

bool Bool(const Napi::CallbackInfo& info, size_t i, const char* method, const char* name) {
    if (!info[i].IsBoolean()) WrongType(info.Env(), method, (std::string(name) + " must be a boolean").c_str());
    return info[i].As<Napi::Boolean>().Value();
}

// Name and id of each device a Get...Names call lists.
template <class Count, class Names>
Napi::Array Devices(Napi::Env env, Count count, Names names) {
    Napi::Array list = Napi::Array::New(env);
    const int n = count();
    for (int i = 0; i < n; ++i) {
        char name[128] = {0}, id[128] = {0};
        if (!names(i, name, id)) continue;
        name[sizeof name - 1] = '\0';
        id[sizeof id - 1] = '\0';
        Napi::Object device = Napi::Object::New(env);
        device.Set("id", id);
        device.Set("name", name);
        list.Set(list.Length(), device);
    }
    return list;
}

class NativeStreamCore final : public Napi::ObjectWrap<NativeStreamCore>,
                               public IStreamResultReceiver,
                               public IEndpointClient {
public:
    // A publication: its video source ("" for none) and whether it takes the sound mixer.
    struct Output {
        std::string video;
        bool mix = false;
    };

    static Napi::Function Define(Napi::Env env) {
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

    // (log: boolean, onResult: function)
    explicit NativeStreamCore(const Napi::CallbackInfo& info) : Napi::ObjectWrap<NativeStreamCore>(info) {
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

    // Collection of the script object: everything it started stops.
    ~NativeStreamCore() override {
        if (!m_open) return;
        StopAll();
        m_results.Release();
        napi_remove_env_cleanup_hook(m_env, &NativeStreamCore::AtEnvironmentEnd, this);
    }

    void OnStreamResult(bool play, int value, const std::string& name) override {
        // Called under the plug-in's receivers lock, never after RemoveReceiver.
        auto* result = new PushedResult{play, value, name};
        if (m_results.NonBlockingCall(result) != napi_ok) delete result;
    }

    void OnBitrate(const std::string& url, int kbps) override {
        auto* result = new PushedResult{false, kbps, url, true};
        if (m_results.NonBlockingCall(result) != napi_ok) delete result;
    }

    void CloseForUnload() override {
        if (!m_open) return;
        // The environment is ending (or the process exiting): the thread-safe function and the
        // clean-up hook are the environment's to end; only the endpoint's side is stopped.
        StopAll();
    }

private:
    static void AtEnvironmentEnd(void* self) { static_cast<NativeStreamCore*>(self)->CloseForUnload(); }

    // Stops what this object started, most dependent first, and leaves the endpoint.
    void StopAll() {
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

    IStreamCore* Core(const Napi::Env& env) {
        if (!m_open) Failed(env, kClosed);
        return Plugin().Core();
    }

    // The event loop is kept alive exactly while results are still to come.
    void UpdateHold(const Napi::Env& env) {
        const bool hold = !m_publications.empty() || !m_playbacks.empty();
        if (hold == m_held) return;
        if (hold)
            m_results.Ref(env);
        else
            m_results.Unref(env);
        m_held = hold;
    }

    Napi::Value Close(const Napi::CallbackInfo& info) {
        if (m_open) {
            StopAll();
            m_results.Release();
            napi_remove_env_cleanup_hook(m_env, &NativeStreamCore::AtEnvironmentEnd, this);
        }
        return info.Env().Undefined();
    }

    // Devices

    Napi::Value Microphones(const Napi::CallbackInfo& info) {
        IStreamCore* core = Core(info.Env());
        return Devices(
            info.Env(), [core] { return core->GetMicphoneCount(); },
            [core](int i, char* name, char* id) { return core->GetMicphoneNames(i, name, id); });
    }

    Napi::Value Speakers(const Napi::CallbackInfo& info) {
        IStreamCore* core = Core(info.Env());
        return Devices(
            info.Env(), [core] { return core->GetSpeakerCount(); },
            [core](int i, char* name, char* id) { return core->GetSpeakerNames(i, name, id); });
    }

    Napi::Value Cameras(const Napi::CallbackInfo& info) {
        Napi::Env env = info.Env();
        IStreamCore* core = Core(env);
        Napi::Array list = Devices(
            env, [core] { return core->GetCameraCount(); },
            [core](int i, char* name, char* id) { return core->GetCameraNames(i, name, id); });
        for (uint32_t i = 0; i < list.Length(); ++i) {
            Napi::Object camera = list.Get(i).As<Napi::Object>();
            Napi::Array formats = Napi::Array::New(env);
            for (const CameraFormat& f : CameraFormats(camera.Get("id").As<Napi::String>().Utf8Value())) {
                Napi::Object format = Napi::Object::New(env);
                format.Set("width", f.width);
                format.Set("height", f.height);
                format.Set("fps", f.fps);
                format.Set("format", f.format);
                formats.Set(formats.Length(), format);
            }
            camera.Set("formats", formats);
        }
        return list;
    }

    Napi::Value OpenMicrophone(const Napi::CallbackInfo& info) {
        IStreamCore* core = Core(info.Env());
        const std::string id = Text(info, 0, "openMicrophone", "id");
        if (!core->OpenMic(id.c_str())) Failed(info.Env(), "openMicrophone: no microphone \"" + id + "\" can be opened");
        return info.Env().Undefined();
    }

    Napi::Value CloseMicrophone(const Napi::CallbackInfo& info) {
        if (!Core(info.Env())->CloseMic()) Failed(info.Env(), "closeMicrophone: the microphone could not be closed");
        return info.Env().Undefined();
    }

    Napi::Value OpenSpeaker(const Napi::CallbackInfo& info) {
        IStreamCore* core = Core(info.Env());
        const std::string id = Text(info, 0, "openSpeaker", "id");
        if (!core->OpenSpeaker(id.c_str())) Failed(info.Env(), "openSpeaker: no speaker \"" + id + "\" can be opened");
        return info.Env().Undefined();
    }

    Napi::Value GetMicrophoneVolume(const Napi::CallbackInfo& info) {
        return Napi::Number::New(info.Env(), Core(info.Env())->GetMicVolume());
    }

    Napi::Value SetMicrophoneVolume(const Napi::CallbackInfo& info) {
        IStreamCore* core = Core(info.Env());
        core->SetMicVolume(Int(info, 0, "microphoneVolume", "the volume"));
        return info.Env().Undefined();
    }

    Napi::Value GetSpeakerVolume(const Napi::CallbackInfo& info) {
        return Napi::Number::New(info.Env(), Core(info.Env())->GetSpeakerVolume());
    }

    Napi::Value SetSpeakerVolume(const Napi::CallbackInfo& info) {
        IStreamCore* core = Core(info.Env());
        core->SetSpeakerVolume(Int(info, 0, "speakerVolume", "the volume"));
        return info.Env().Undefined();
    }

    Napi::Value GetMuted(const Napi::CallbackInfo& info) {
        return Napi::Boolean::New(info.Env(), Core(info.Env())->GetMuteStatus());
    }

    Napi::Value SetMuted(const Napi::CallbackInfo& info) {
        IStreamCore* core = Core(info.Env());
        core->SetMuteStatus(Bool(info, 0, "microphoneMuted", "the value"));
        return info.Env().Undefined();
    }

    Napi::Value SetAutoGain(const Napi::CallbackInfo& info) {
        IStreamCore* core = Core(info.Env());
        core->SetAgcStatus(Bool(info, 0, "autoGain", "the value"));
        return info.Env().Undefined();
    }

    Napi::Value StartMicrophoneTest(const Napi::CallbackInfo& info) {
        if (Core(info.Env())->StartTestMic("") != 0)
            Failed(info.Env(), "startMicrophoneTest: the microphone cannot be captured");
        m_microphoneTest = true;
        return info.Env().Undefined();
    }

    Napi::Value MicrophoneLevel(const Napi::CallbackInfo& info) {
        return Napi::Number::New(info.Env(), Core(info.Env())->GetTestMicLevel());
    }

    Napi::Value StopMicrophoneTest(const Napi::CallbackInfo& info) {
        Core(info.Env())->StopTestMic();
        m_microphoneTest = false;
        return info.Env().Undefined();
    }

    Napi::Value StartSpeakerTest(const Napi::CallbackInfo& info) {
        IStreamCore* core = Core(info.Env());
        const std::string file = ResolveFileName(LoadFolder(), Text(info, 0, "startSpeakerTest", "file"));
        if (core->StartTestSpeaker("", file.c_str()) != 0)
            Failed(info.Env(), "startSpeakerTest: \"" + file +
                                   "\" cannot be played (missing or undecodable file, or no speaker)");
        m_speakerTest = true;
        return info.Env().Undefined();
    }

    Napi::Value SpeakerLevel(const Napi::CallbackInfo& info) {
        return Napi::Number::New(info.Env(), Core(info.Env())->GetTestSpkLevel());
    }

    Napi::Value StopSpeakerTest(const Napi::CallbackInfo& info) {
        Core(info.Env())->StopTestSpeaker();
        m_speakerTest = false;
        return info.Env().Undefined();
    }

    // Windows

    Napi::Value Windows(const Napi::CallbackInfo& info) {
        const char* list = Core(info.Env())->EnumWindowList();
        return Napi::String::New(info.Env(), list ? list : "");
    }

    IPaneShareMgr* WindowServices(const Napi::Env& env) {
        if (!m_windows) m_windows = CreatePaneShareMgr(nullptr);
        if (!m_windows) Failed(env, "the window services could not be started");
        return m_windows;
    }

    Napi::Value ShowThumbnail(const Napi::CallbackInfo& info) {
        Napi::Env env = info.Env();
        Core(env);
        const uint64_t source = Window(info, 0, "showThumbnail", "sourceWindow");
        const uint64_t target = Window(info, 1, "showThumbnail", "targetWindow");
        void* thumbnail = WindowServices(env)->RegisterAppThumbnail(source, target);
        if (!thumbnail)
            Failed(env, "showThumbnail: no thumbnail of window " + std::to_string(source) + " in window " +
                            std::to_string(target) + " (no such window, or no Composite or Render)");
        const int handle = m_nextThumbnail++;
        m_thumbnails[handle] = thumbnail;
        return Napi::Number::New(env, handle);
    }

    Napi::Value RemoveThumbnail(const Napi::CallbackInfo& info) {
        Napi::Env env = info.Env();
        Core(env);
        const int handle = Int(info, 0, "removeThumbnail", "handle");
        auto it = m_thumbnails.find(handle);
        if (it == m_thumbnails.end()) Failed(env, "removeThumbnail: no thumbnail " + std::to_string(handle));
        m_windows->UnregisterAppThumbnail(it->second);
        m_thumbnails.erase(it);
        return env.Undefined();
    }

    Napi::Value BringToTop(const Napi::CallbackInfo& info) {
        Napi::Env env = info.Env();
        Core(env);
        const uint64_t window = Window(info, 0, "bringToTop", "window");
        if (!WindowServices(env)->ShowWindowToTop(window))
            Failed(env, "bringToTop: window " + std::to_string(window) + " could not be raised");
        return env.Undefined();
    }

    // Sources

    // (window, width, height, fps, kbps, cursor) -> the capture's uniName
    Napi::Value CaptureWindow(const Napi::CallbackInfo& info) {
        Napi::Env env = info.Env();
        IStreamCore* core = Core(env);
        uint64_t window = Window(info, 0, "captureWindow", "window");
        const int width = Int(info, 1, "captureWindow", "options.width");
        const int height = Int(info, 2, "captureWindow", "options.height");
        const int fps = Int(info, 3, "captureWindow", "options.fps");
        const int kbps = Int(info, 4, "captureWindow", "options.kbps");
        const bool cursor = Bool(info, 5, "captureWindow", "options.cursor");
        if (window == 0) window = DesktopWindowId();
        char name[128] = {0};
        // The endpoint takes bitrate, width, height and frame rate in this order.
        if (!core->StartCaptureApplication(nullptr, cursor, ToHandle(window), kbps, width, height, name, fps) ||
            name[0] == '\0')
            Failed(env, "captureWindow: window " + std::to_string(window) +
                            " cannot be captured (no such window, or a size, rate or bitrate the engine refuses)");
        name[sizeof name - 1] = '\0';
        m_captures.insert(name);
        return Napi::String::New(env, name);
    }

    Napi::Value StopCapture(const Napi::CallbackInfo& info) {
        IStreamCore* core = Core(info.Env());
        const std::string name = Text(info, 0, "stop", "source");
        if (m_captures.erase(name)) core->StopCaptureApplication(name.c_str());
        return info.Env().Undefined();
    }

    // (id, width, height, fps, preview window or 0) -> the camera's uniName
    Napi::Value OpenCamera(const Napi::CallbackInfo& info) {
        Napi::Env env = info.Env();
        IStreamCore* core = Core(env);
        const std::string id = Text(info, 0, "openCamera", "id");
        const int width = Int(info, 1, "openCamera", "options.width");
        const int height = Int(info, 2, "openCamera", "options.height");
        const int fps = Int(info, 3, "openCamera", "options.fps");
        const uint64_t preview = Window(info, 4, "openCamera", "options.preview");
        if (!Plugin().Claim(CameraClaim(id))) Failed(env, "openCamera: camera \"" + id + "\" is open already");
        if (!core->OpenCamera(id.c_str(), ToHandle(preview), width, height, fps)) {
            // The camera may have opened without its preview window.
            core->CloseCamera(id.c_str());
            Plugin().Unclaim(CameraClaim(id));
            Failed(env, "openCamera: camera \"" + id + "\" cannot be opened at " + std::to_string(width) + "x" +
                            std::to_string(height) + " " + std::to_string(fps) + " fps" +
                            (preview ? " with preview window " + std::to_string(preview) : std::string()));
        }
        m_cameras.insert(id);
        return Napi::String::New(env, id);
    }

    Napi::Value CloseCamera(const Napi::CallbackInfo& info) {
        IStreamCore* core = Core(info.Env());
        const std::string name = Text(info, 0, "stop", "source");
        if (m_cameras.erase(name)) {
            core->CloseCamera(name.c_str());
            Plugin().Unclaim(CameraClaim(name));
        }
        return info.Env().Undefined();
    }

    // Outputs

    // (url, video uniName or "", mix: boolean, mode 0 live / 1 record / 2 append)
    Napi::Value Publish(const Napi::CallbackInfo& info) {
        Napi::Env env = info.Env();
        IStreamCore* core = Core(env);
        const std::string url = Text(info, 0, "publish", "url");
        const std::string video = Text(info, 1, "publish", "options.video");
        const bool mix = Bool(info, 2, "publish", "options.audio");
        const int mode = Int(info, 3, "publish", "options.mode");
        if (url.empty()) WrongType(env, "publish", "url must not be empty");
        if (video.empty() && !mix) WrongType(env, "publish", "options.video or options.audio must name a source");
        if (video.empty() && mode == 2) Failed(env, "publish: \"append\" needs a video source");
        if (!Plugin().Claim(PublishClaim(url))) Failed(env, "publish: " + url + " is being published already");
        if (mix) Plugin().MixerUsed();
        bool ok;
        if (video.empty()) {
            // An audio-only publication does not start the mixer by itself.
            core->StartEncodeMixer(kSoundMixer, 96, 16000, 1);
            ok = core->PublishAudioStream(url.c_str(), kSoundMixer, mode == 1);
        } else {
            ok = core->PublishMixStream(url.c_str(), video.c_str(), mix ? kSoundMixer : "", mode);
        }
        if (!ok) {
            Plugin().Unclaim(PublishClaim(url));
            if (mix) Plugin().MixerReleased();
            Failed(env, "publish: " + url + " cannot be published" +
                            (video.empty() ? std::string() : " (source " + video + " does not encode)"));
        }
        m_publications[url] = Output{video, mix};
        UpdateHold(env);
        return env.Undefined();
    }

    Napi::Value StopPublish(const Napi::CallbackInfo& info) {
        Napi::Env env = info.Env();
        IStreamCore* core = Core(env);
        const std::string url = Text(info, 0, "stop", "url");
        auto it = m_publications.find(url);
        if (it != m_publications.end()) {
            const bool mix = it->second.mix;
            m_publications.erase(it);
            core->StopPublish(url.c_str());
            Plugin().Unclaim(PublishClaim(url));
            if (mix) Plugin().MixerReleased();
        }
        UpdateHold(env);
        return env.Undefined();
    }

    const Output& Publication(const Napi::CallbackInfo& info, const char* method, std::string* url) {
        Core(info.Env());
        *url = Text(info, 0, method, "url");
        auto it = m_publications.find(*url);
        if (it == m_publications.end()) Failed(info.Env(), std::string(method) + ": the publication has stopped");
        return it->second;
    }

    Napi::Value PausePublish(const Napi::CallbackInfo& info) {
        std::string url;
        const Output& publication = Publication(info, "pause", &url);
        if (publication.video.empty()) Failed(info.Env(), "pause: an audio-only publication cannot be paused");
        if (!Plugin().Core()->PauseVideoEncode(publication.video.c_str()))
            Failed(info.Env(), "pause: the video of " + url + " could not be paused");
        return info.Env().Undefined();
    }

    Napi::Value ResumePublish(const Napi::CallbackInfo& info) {
        std::string url;
        const Output& publication = Publication(info, "resume", &url);
        if (publication.video.empty()) return info.Env().Undefined();
        if (!Plugin().Core()->ContinueVideoEncode(publication.video.c_str()))
            Failed(info.Env(), "resume: the video of " + url + " could not be resumed (its source has ended)");
        return info.Env().Undefined();
    }

    Napi::Value ForceKeyFrame(const Napi::CallbackInfo& info) {
        std::string url;
        const Output& publication = Publication(info, "forceKeyFrame", &url);
        if (publication.video.empty()) Failed(info.Env(), "forceKeyFrame: " + url + " has no video");
        if (!Plugin().Core()->ForceKeyFrame(url.c_str()))
            Failed(info.Env(), "forceKeyFrame: the video of " + url + " is not encoding");
        return info.Env().Undefined();
    }

    // (file, video uniName or "", mix: boolean) -> the record id
    Napi::Value Record(const Napi::CallbackInfo& info) {
        Napi::Env env = info.Env();
        IStreamCore* core = Core(env);
        const std::string given = Text(info, 0, "record", "file");
        const std::string video = Text(info, 1, "record", "options.video");
        const bool mix = Bool(info, 2, "record", "options.audio");
        if (given.empty()) WrongType(env, "record", "file must not be empty");
        if (video.empty()) WrongType(env, "record", "options.video must be a Source");
        const std::string file = ResolveFileName(LoadFolder(), given);
        // A camera encodes only while something takes its frames.
        core->ContinueVideoEncode(video.c_str());
        if (mix) Plugin().MixerUsed();
        const int id = core->StartRecord(file.c_str(), video.c_str(), mix ? kSoundMixer : "", mix);
        if (id == -1) {
            if (mix) Plugin().MixerReleased();
            Failed(env, "record: \"" + file +
                            "\" cannot be opened for writing (its folder must exist and be writable, and its name "
                            "end in .mp4, .flv or .mkv)");
        }
        m_recordings[id] = mix;
        return Napi::Number::New(env, id);
    }

    Napi::Value StopRecord(const Napi::CallbackInfo& info) {
        IStreamCore* core = Core(info.Env());
        const int id = Int(info, 0, "stop", "recording");
        auto it = m_recordings.find(id);
        if (it != m_recordings.end()) {
            const bool mix = it->second;
            m_recordings.erase(it);
            core->StopRecord(id);
            if (mix) Plugin().MixerReleased();
        }
        return info.Env().Undefined();
    }

    Napi::Value Play(const Napi::CallbackInfo& info) {
        Napi::Env env = info.Env();
        IStreamCore* core = Core(env);
        const std::string url = Text(info, 0, "play", "url");
        const uint64_t window = Window(info, 1, "play", "options.window");
        if (url.empty()) WrongType(env, "play", "url must not be empty");
        if (!Plugin().Claim(PlayClaim(url))) Failed(env, "play: " + url + " is being played already");
        if (!core->PlayStream(url.c_str(), ToHandle(window))) {
            Plugin().Unclaim(PlayClaim(url));
            Failed(env, "play: " + url + " cannot be played");
        }
        m_playbacks.insert(url);
        UpdateHold(env);
        return env.Undefined();
    }

    Napi::Value MovePlay(const Napi::CallbackInfo& info) {
        Napi::Env env = info.Env();
        IStreamCore* core = Core(env);
        const std::string url = Text(info, 0, "moveTo", "url");
        const uint64_t window = Window(info, 1, "moveTo", "window");
        if (!m_playbacks.count(url)) Failed(env, "moveTo: the playback has stopped");
        if (!core->ChangeRemoteVideoWindows(url.c_str(), ToHandle(window)))
            Failed(env, "moveTo: " + url + " cannot be shown in window " + std::to_string(window));
        return env.Undefined();
    }

    Napi::Value StopPlay(const Napi::CallbackInfo& info) {
        Napi::Env env = info.Env();
        IStreamCore* core = Core(env);
        const std::string url = Text(info, 0, "stop", "url");
        if (m_playbacks.erase(url)) {
            core->StopPlay(url.c_str());
            Plugin().Unclaim(PlayClaim(url));
        }
        UpdateHold(env);
        return env.Undefined();
    }

    bool m_open = false;
    bool m_held = false;
    napi_env m_env = nullptr;
    ResultFunction m_results;
    IPaneShareMgr* m_windows = nullptr;
    std::map<int, void*> m_thumbnails;
    int m_nextThumbnail = 1;
    std::set<std::string> m_captures;
    std::set<std::string> m_cameras;
    std::map<std::string, Output> m_publications;
    std::map<int, bool> m_recordings;  // record id -> takes the sound mixer
    std::set<std::string> m_playbacks;
    bool m_microphoneTest = false;
    bool m_speakerTest = false;
};

}  // namespace

void DefineScriptStreamCore(Napi::Env env, Napi::Object exports) {
    // Not enumerable: the module's listed exports stay its fourteen functions.
    exports.DefineProperty(
        Napi::PropertyDescriptor::Value("NativeStreamCore", NativeStreamCore::Define(env), napi_default));
}

}  // namespace streamaddon
