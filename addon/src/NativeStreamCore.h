// NativeStreamCore: the native half of the script class StreamCore (defined on the module's
// exports by DefineScriptStreamCore). Its methods live in ScriptStreamCore.cpp (life cycle and
// results), ScriptDevices.cpp (devices and windows) and ScriptStreams.cpp (sources, publications,
// recordings, playbacks).
// Threads: the script thread only, except OnStreamResult (the endpoint's event thread, under
// the plug-in's receivers lock).
#pragma once

#include "LiveMediaPlugin.h"

#include "paneshare/IPaneShareMgr.h"

#include <napi.h>

#include <cstddef>
#include <map>
#include <set>
#include <string>

namespace streamaddon {

// One result on its way from the event thread to the script thread.
struct PushedResult {
    bool play = false;
    int value = 0;
    std::string name;      // the stream name; the URL of a bitrate change
    bool bitrate = false;  // a bitrate change (value in kbit/s)
};

void CallResultCallback(Napi::Env env, Napi::Function callback, std::nullptr_t*, PushedResult* data);

using ResultFunction = Napi::TypedThreadSafeFunction<std::nullptr_t, PushedResult, CallResultCallback>;

class NativeStreamCore final : public Napi::ObjectWrap<NativeStreamCore>,
                               public IStreamResultReceiver,
                               public IEndpointClient {
public:
    // A publication: its video source ("" for none) and whether it takes the sound mixer.
    struct Output {
        std::string video;
        bool mix = false;
    };

    static Napi::Function Define(Napi::Env env);

    // (log: boolean, onResult: function)
    explicit NativeStreamCore(const Napi::CallbackInfo& info);
    // Collection of the script object: everything it started stops.
    ~NativeStreamCore() override;
    void OnStreamResult(bool play, int value, const std::string& name) override;
    void OnBitrate(const std::string& url, int kbps) override;
    void CloseForUnload() override;

private:
    static void AtEnvironmentEnd(void* self) { static_cast<NativeStreamCore*>(self)->CloseForUnload(); }

    // Stops what this object started, most dependent first, and leaves the endpoint.
    void StopAll();
    IStreamCore* Core(const Napi::Env& env);
    // The event loop is kept alive exactly while results are still to come.
    void UpdateHold(const Napi::Env& env);
    Napi::Value Close(const Napi::CallbackInfo& info);

    // Devices
    Napi::Value Microphones(const Napi::CallbackInfo& info);
    Napi::Value Speakers(const Napi::CallbackInfo& info);
    Napi::Value Cameras(const Napi::CallbackInfo& info);
    Napi::Value OpenMicrophone(const Napi::CallbackInfo& info);
    Napi::Value CloseMicrophone(const Napi::CallbackInfo& info);
    Napi::Value OpenSpeaker(const Napi::CallbackInfo& info);
    Napi::Value GetMicrophoneVolume(const Napi::CallbackInfo& info);
    Napi::Value SetMicrophoneVolume(const Napi::CallbackInfo& info);
    Napi::Value GetSpeakerVolume(const Napi::CallbackInfo& info);
    Napi::Value SetSpeakerVolume(const Napi::CallbackInfo& info);
    Napi::Value GetMuted(const Napi::CallbackInfo& info);
    Napi::Value SetMuted(const Napi::CallbackInfo& info);
    Napi::Value SetAutoGain(const Napi::CallbackInfo& info);
    Napi::Value StartMicrophoneTest(const Napi::CallbackInfo& info);
    Napi::Value MicrophoneLevel(const Napi::CallbackInfo& info);
    Napi::Value StopMicrophoneTest(const Napi::CallbackInfo& info);
    Napi::Value StartSpeakerTest(const Napi::CallbackInfo& info);
    Napi::Value SpeakerLevel(const Napi::CallbackInfo& info);
    Napi::Value StopSpeakerTest(const Napi::CallbackInfo& info);

    // Windows
    Napi::Value Windows(const Napi::CallbackInfo& info);
    IPaneShareMgr* WindowServices(const Napi::Env& env);
    Napi::Value ShowThumbnail(const Napi::CallbackInfo& info);
    Napi::Value RemoveThumbnail(const Napi::CallbackInfo& info);
    Napi::Value BringToTop(const Napi::CallbackInfo& info);

    // Sources
    Napi::Value CaptureWindow(const Napi::CallbackInfo& info);
    Napi::Value StopCapture(const Napi::CallbackInfo& info);
    Napi::Value OpenCamera(const Napi::CallbackInfo& info);
    Napi::Value CloseCamera(const Napi::CallbackInfo& info);

    // Outputs
    Napi::Value Publish(const Napi::CallbackInfo& info);
    Napi::Value StopPublish(const Napi::CallbackInfo& info);
    const Output& Publication(const Napi::CallbackInfo& info, const char* method, std::string* url);
    Napi::Value PausePublish(const Napi::CallbackInfo& info);
    Napi::Value ResumePublish(const Napi::CallbackInfo& info);
    Napi::Value ForceKeyFrame(const Napi::CallbackInfo& info);
    Napi::Value Record(const Napi::CallbackInfo& info);
    Napi::Value StopRecord(const Napi::CallbackInfo& info);
    Napi::Value Play(const Napi::CallbackInfo& info);
    Napi::Value MovePlay(const Napi::CallbackInfo& info);
    Napi::Value StopPlay(const Napi::CallbackInfo& info);

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

}  // namespace streamaddon
