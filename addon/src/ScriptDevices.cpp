// The script class StreamCore: devices (microphones, speakers, cameras, volumes, device tests)
// and windows (the list, thumbnails, raising).
#include "NativeStreamCore.h"
#include "ScriptStreamCore.h"

#include "CameraFormats.h"
#include "ScriptArgs.h"
#include "ScriptRules.h"

#include "paneshare/IPaneShareMgr.h"

#include <cstdint>
#include <string>

namespace streamaddon {

Napi::Value NativeStreamCore::Microphones(const Napi::CallbackInfo& info) {
    IStreamCore* core = Core(info.Env());
    return Devices(
        info.Env(), [core] { return core->GetMicphoneCount(); },
        [core](int i, char* name, char* id) { return core->GetMicphoneNames(i, name, id); });
}

Napi::Value NativeStreamCore::Speakers(const Napi::CallbackInfo& info) {
    IStreamCore* core = Core(info.Env());
    return Devices(
        info.Env(), [core] { return core->GetSpeakerCount(); },
        [core](int i, char* name, char* id) { return core->GetSpeakerNames(i, name, id); });
}

Napi::Value NativeStreamCore::Cameras(const Napi::CallbackInfo& info) {
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

Napi::Value NativeStreamCore::OpenMicrophone(const Napi::CallbackInfo& info) {
    IStreamCore* core = Core(info.Env());
    const std::string id = Text(info, 0, "openMicrophone", "id");
    if (!core->OpenMic(id.c_str())) Failed(info.Env(), "openMicrophone: no microphone \"" + id + "\" can be opened");
    return info.Env().Undefined();
}

Napi::Value NativeStreamCore::CloseMicrophone(const Napi::CallbackInfo& info) {
    if (!Core(info.Env())->CloseMic()) Failed(info.Env(), "closeMicrophone: the microphone could not be closed");
    return info.Env().Undefined();
}

Napi::Value NativeStreamCore::OpenSpeaker(const Napi::CallbackInfo& info) {
    IStreamCore* core = Core(info.Env());
    const std::string id = Text(info, 0, "openSpeaker", "id");
    if (!core->OpenSpeaker(id.c_str())) Failed(info.Env(), "openSpeaker: no speaker \"" + id + "\" can be opened");
    return info.Env().Undefined();
}

Napi::Value NativeStreamCore::GetMicrophoneVolume(const Napi::CallbackInfo& info) {
    return Napi::Number::New(info.Env(), Core(info.Env())->GetMicVolume());
}

Napi::Value NativeStreamCore::SetMicrophoneVolume(const Napi::CallbackInfo& info) {
    IStreamCore* core = Core(info.Env());
    core->SetMicVolume(Int(info, 0, "microphoneVolume", "the volume"));
    return info.Env().Undefined();
}

Napi::Value NativeStreamCore::GetSpeakerVolume(const Napi::CallbackInfo& info) {
    return Napi::Number::New(info.Env(), Core(info.Env())->GetSpeakerVolume());
}

Napi::Value NativeStreamCore::SetSpeakerVolume(const Napi::CallbackInfo& info) {
    IStreamCore* core = Core(info.Env());
    core->SetSpeakerVolume(Int(info, 0, "speakerVolume", "the volume"));
    return info.Env().Undefined();
}

Napi::Value NativeStreamCore::GetMuted(const Napi::CallbackInfo& info) {
    return Napi::Boolean::New(info.Env(), Core(info.Env())->GetMuteStatus());
}

Napi::Value NativeStreamCore::SetMuted(const Napi::CallbackInfo& info) {
    IStreamCore* core = Core(info.Env());
    core->SetMuteStatus(Bool(info, 0, "microphoneMuted", "the value"));
    return info.Env().Undefined();
}

Napi::Value NativeStreamCore::SetAutoGain(const Napi::CallbackInfo& info) {
    IStreamCore* core = Core(info.Env());
    core->SetAgcStatus(Bool(info, 0, "autoGain", "the value"));
    return info.Env().Undefined();
}

Napi::Value NativeStreamCore::StartMicrophoneTest(const Napi::CallbackInfo& info) {
    if (Core(info.Env())->StartTestMic("") != 0)
        Failed(info.Env(), "startMicrophoneTest: the microphone cannot be captured");
    m_microphoneTest = true;
    return info.Env().Undefined();
}

Napi::Value NativeStreamCore::MicrophoneLevel(const Napi::CallbackInfo& info) {
    return Napi::Number::New(info.Env(), Core(info.Env())->GetTestMicLevel());
}

Napi::Value NativeStreamCore::StopMicrophoneTest(const Napi::CallbackInfo& info) {
    Core(info.Env())->StopTestMic();
    m_microphoneTest = false;
    return info.Env().Undefined();
}

Napi::Value NativeStreamCore::StartSpeakerTest(const Napi::CallbackInfo& info) {
    IStreamCore* core = Core(info.Env());
    const std::string file = ResolveFileName(LoadFolder(), Text(info, 0, "startSpeakerTest", "file"));
    if (core->StartTestSpeaker("", file.c_str()) != 0)
        Failed(info.Env(), "startSpeakerTest: \"" + file +
                               "\" cannot be played (missing or undecodable file, or no speaker)");
    m_speakerTest = true;
    return info.Env().Undefined();
}

Napi::Value NativeStreamCore::SpeakerLevel(const Napi::CallbackInfo& info) {
    return Napi::Number::New(info.Env(), Core(info.Env())->GetTestSpkLevel());
}

Napi::Value NativeStreamCore::StopSpeakerTest(const Napi::CallbackInfo& info) {
    Core(info.Env())->StopTestSpeaker();
    m_speakerTest = false;
    return info.Env().Undefined();
}

Napi::Value NativeStreamCore::Windows(const Napi::CallbackInfo& info) {
    const char* list = Core(info.Env())->EnumWindowList();
    return Napi::String::New(info.Env(), list ? list : "");
}

IPaneShareMgr* NativeStreamCore::WindowServices(const Napi::Env& env) {
    if (!m_windows) m_windows = CreatePaneShareMgr(nullptr);
    if (!m_windows) Failed(env, "the window services could not be started");
    return m_windows;
}

Napi::Value NativeStreamCore::ShowThumbnail(const Napi::CallbackInfo& info) {
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

Napi::Value NativeStreamCore::RemoveThumbnail(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    Core(env);
    const int handle = Int(info, 0, "removeThumbnail", "handle");
    auto it = m_thumbnails.find(handle);
    if (it == m_thumbnails.end()) Failed(env, "removeThumbnail: no thumbnail " + std::to_string(handle));
    m_windows->UnregisterAppThumbnail(it->second);
    m_thumbnails.erase(it);
    return env.Undefined();
}

Napi::Value NativeStreamCore::BringToTop(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    Core(env);
    const uint64_t window = Window(info, 0, "bringToTop", "window");
    if (!WindowServices(env)->ShowWindowToTop(window))
        Failed(env, "bringToTop: window " + std::to_string(window) + " could not be raised");
    return env.Undefined();
}

}  // namespace streamaddon
