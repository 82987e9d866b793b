// NativeStreamCore: the native half of the script class StreamCore (defined on the module's
// exports by DefineScriptStreamCore). Its methods live in ScriptStreamCore.cpp (life cycle and
// results), ScriptDevices.cpp (devices and windows) and ScriptStreams.cpp (sources, publications,
// recordings, playbacks).
// Threads: the script thread of the environment that made the object, with the plug-in's call
// lock held (every method is entered through Serialized), except the IEndpointUser event
// operations (the endpoint's event thread, under the plug-in's routes lock).
#pragma once

#include "LiveMediaPlugin.h"

#include "paneshare/IPaneShareMgr.h"

#include <napi.h>

#include <cstddef>
#include <map>
#include <set>
#include <string>

namespace streamaddon {

// One event on its way from the event thread to the script thread, where the object's event
// callback gets (kind, subject, value, text):
//   "publish" / "play": url, 0 connected or -1 failed, ""
//   "bitrate":          url, kbit/s, ""
//   "sourceEnded":      the source's uniName, 0, why
//   "recordFailed":     the file, record id, why
struct PushedEvent {
    const char* kind = "";
    std::string subject;
    int value = 0;
    std::string text;
};

void CallEventCallback(Napi::Env env, Napi::Function callback, std::nullptr_t*, PushedEvent* data);

using EventFunction = Napi::TypedThreadSafeFunction<std::nullptr_t, PushedEvent, CallEventCallback>;

class NativeStreamCore final : public Napi::ObjectWrap<NativeStreamCore>, public IEndpointUser {
public:
    // A publication: its video source ("" for none) and whether it takes the sound mixer.
    struct Output {
        std::string video;
        bool mix = false;
    };

    static Napi::Function Define(Napi::Env env);

    // (log: boolean, onEvent: function, owner: the script object that wraps this one)
    explicit NativeStreamCore(const Napi::CallbackInfo& info);
    // Collection of the script object (which cannot happen while anything it started runs):
    // it leaves the endpoint.
    ~NativeStreamCore() override;
    void CloseForUnload() override;
    void OnStreamResult(bool play, int value, const std::string& url) override;
    void OnBitrate(const std::string& url, int kbps) override;
    void OnSourceEnded(const std::string& uniName, const std::string& why) override;
    void OnRecordFailed(int recordId, const std::string& file, const std::string& why) override;

private:
    static void AtEnvironmentEnd(void* self);

    // Every method runs through this: with the call lock held, and the holds brought up to
    // date afterwards (also when it throws).
    template <Napi::Value (NativeStreamCore::*Method)(const Napi::CallbackInfo&)>
    Napi::Value Serialized(const Napi::CallbackInfo& info);

    void Push(const char* kind, std::string subject, int value, std::string text);
    // Stops what this object started, most dependent first, and leaves the endpoint.
    void StopAll();
    IStreamCore* Core(const Napi::Env& env);
    // While anything the object started runs, its owner (and so the object) is not collected;
    // the event loop is kept alive while results are still to come (a publication or
    // playback runs).
    void UpdateHolds(napi_env env);
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
    bool m_eventsHeld = false;
    bool m_ownerHeld = false;
    napi_env m_env = nullptr;
    EventFunction m_events;
    // The owner, weak while nothing runs.
    napi_ref m_owner = nullptr;
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
