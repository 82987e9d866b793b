// The script class StreamCore: sources (window captures, cameras) and what is made of them
// (publications, recordings, playbacks).
#include "NativeStreamCore.h"
#include "ScriptStreamCore.h"

#include "CaptureFlows.h"
#include "DesktopWindow.h"
#include "LiveMediaPlugin.h"
#include "ScriptArgs.h"
#include "ScriptRules.h"

#include <cstdint>
#include <string>

namespace streamaddon {

// (window, width, height, fps, kbps, cursor) -> the capture's uniName
Napi::Value NativeStreamCore::CaptureWindow(const Napi::CallbackInfo& info) {
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
    Plugin().Claim(SourceKey(name), this);
    return Napi::String::New(env, name);
}

Napi::Value NativeStreamCore::StopCapture(const Napi::CallbackInfo& info) {
    IStreamCore* core = Core(info.Env());
    const std::string name = Text(info, 0, "stop", "source");
    if (m_captures.erase(name)) {
        core->StopCaptureApplication(name.c_str());
        Plugin().Unclaim(SourceKey(name));
    }
    return info.Env().Undefined();
}

// (id, width, height, fps, preview window or 0) -> the camera's uniName
Napi::Value NativeStreamCore::OpenCamera(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    IStreamCore* core = Core(env);
    const std::string id = Text(info, 0, "openCamera", "id");
    const int width = Int(info, 1, "openCamera", "options.width");
    const int height = Int(info, 2, "openCamera", "options.height");
    const int fps = Int(info, 3, "openCamera", "options.fps");
    const uint64_t preview = Window(info, 4, "openCamera", "options.preview");
    if (!Plugin().Claim(SourceKey(id), this)) Failed(env, "openCamera: camera \"" + id + "\" is open already");
    if (!core->OpenCamera(id.c_str(), ToHandle(preview), width, height, fps)) {
        // The camera may have opened without its preview window.
        core->CloseCamera(id.c_str());
        Plugin().Unclaim(SourceKey(id));
        Failed(env, "openCamera: camera \"" + id + "\" cannot be opened at " + std::to_string(width) + "x" +
                        std::to_string(height) + " " + std::to_string(fps) + " fps" +
                        (preview ? " with preview window " + std::to_string(preview) : std::string()));
    }
    m_cameras.insert(id);
    return Napi::String::New(env, id);
}

Napi::Value NativeStreamCore::CloseCamera(const Napi::CallbackInfo& info) {
    IStreamCore* core = Core(info.Env());
    const std::string name = Text(info, 0, "stop", "source");
    if (m_cameras.erase(name)) {
        core->CloseCamera(name.c_str());
        Plugin().Unclaim(SourceKey(name));
    }
    return info.Env().Undefined();
}

// (url, video uniName or "", mix: boolean, mode 0 live / 1 record / 2 append)
Napi::Value NativeStreamCore::Publish(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    IStreamCore* core = Core(env);
    const std::string url = Text(info, 0, "publish", "url");
    const std::string video = Text(info, 1, "publish", "options.video");
    const bool mix = Bool(info, 2, "publish", "options.audio");
    const int mode = Int(info, 3, "publish", "options.mode");
    if (url.empty()) WrongType(env, "publish", "url must not be empty");
    if (video.empty() && !mix) WrongType(env, "publish", "options.video or options.audio must name a source");
    if (video.empty() && mode == 2) Failed(env, "publish: \"append\" needs a video source");
    if (!Plugin().Claim(PublishKey(url), this)) Failed(env, "publish: " + url + " is being published already");
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
        Plugin().Unclaim(PublishKey(url));
        if (mix) Plugin().MixerReleased();
        Failed(env, "publish: " + url + " cannot be published" +
                        (video.empty() ? std::string() : " (source " + video + " does not encode)"));
    }
    m_publications[url] = Output{video, mix};
    return env.Undefined();
}

Napi::Value NativeStreamCore::StopPublish(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    IStreamCore* core = Core(env);
    const std::string url = Text(info, 0, "stop", "url");
    auto it = m_publications.find(url);
    if (it != m_publications.end()) {
        const bool mix = it->second.mix;
        m_publications.erase(it);
        core->StopPublish(url.c_str());
        Plugin().Unclaim(PublishKey(url));
        if (mix) Plugin().MixerReleased();
    }
    return env.Undefined();
}

const NativeStreamCore::Output& NativeStreamCore::Publication(const Napi::CallbackInfo& info, const char* method, std::string* url) {
    Core(info.Env());
    *url = Text(info, 0, method, "url");
    auto it = m_publications.find(*url);
    if (it == m_publications.end()) Failed(info.Env(), std::string(method) + ": the publication has stopped");
    return it->second;
}

Napi::Value NativeStreamCore::PausePublish(const Napi::CallbackInfo& info) {
    std::string url;
    const Output& publication = Publication(info, "pause", &url);
    if (publication.video.empty()) Failed(info.Env(), "pause: an audio-only publication cannot be paused");
    if (!Plugin().Core()->PauseVideoEncode(publication.video.c_str()))
        Failed(info.Env(), "pause: the video of " + url + " could not be paused");
    return info.Env().Undefined();
}

Napi::Value NativeStreamCore::ResumePublish(const Napi::CallbackInfo& info) {
    std::string url;
    const Output& publication = Publication(info, "resume", &url);
    if (publication.video.empty()) return info.Env().Undefined();
    if (!Plugin().Core()->ContinueVideoEncode(publication.video.c_str()))
        Failed(info.Env(), "resume: the video of " + url + " could not be resumed (its source has ended)");
    return info.Env().Undefined();
}

Napi::Value NativeStreamCore::ForceKeyFrame(const Napi::CallbackInfo& info) {
    std::string url;
    const Output& publication = Publication(info, "forceKeyFrame", &url);
    if (publication.video.empty()) Failed(info.Env(), "forceKeyFrame: " + url + " has no video");
    if (!Plugin().Core()->ForceKeyFrame(url.c_str()))
        Failed(info.Env(), "forceKeyFrame: the video of " + url + " is not encoding");
    return info.Env().Undefined();
}

// (file, video uniName or "", mix: boolean) -> the record id
Napi::Value NativeStreamCore::Record(const Napi::CallbackInfo& info) {
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
    // A failed write is reported by record id: only this object hears of it.
    Plugin().Claim(RecordKey(id), this);
    return Napi::Number::New(env, id);
}

// (record id) -> false when the recording failed or its file could not be finished
Napi::Value NativeStreamCore::StopRecord(const Napi::CallbackInfo& info) {
    IStreamCore* core = Core(info.Env());
    const int id = Int(info, 0, "stop", "recording");
    bool ok = true;
    auto it = m_recordings.find(id);
    if (it != m_recordings.end()) {
        const bool mix = it->second;
        m_recordings.erase(it);
        ok = core->StopRecord(id);
        Plugin().Unclaim(RecordKey(id));
        if (mix) Plugin().MixerReleased();
    }
    return Napi::Boolean::New(info.Env(), ok);
}

Napi::Value NativeStreamCore::Play(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    IStreamCore* core = Core(env);
    const std::string url = Text(info, 0, "play", "url");
    const uint64_t window = Window(info, 1, "play", "options.window");
    if (url.empty()) WrongType(env, "play", "url must not be empty");
    if (!Plugin().Claim(PlayKey(url), this)) Failed(env, "play: " + url + " is being played already");
    if (!core->PlayStream(url.c_str(), ToHandle(window))) {
        Plugin().Unclaim(PlayKey(url));
        Failed(env, "play: " + url + " cannot be played");
    }
    m_playbacks.insert(url);
    return env.Undefined();
}

Napi::Value NativeStreamCore::MovePlay(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    IStreamCore* core = Core(env);
    const std::string url = Text(info, 0, "moveTo", "url");
    const uint64_t window = Window(info, 1, "moveTo", "window");
    if (!m_playbacks.count(url)) Failed(env, "moveTo: the playback has stopped");
    if (!core->ChangeRemoteVideoWindows(url.c_str(), ToHandle(window)))
        Failed(env, "moveTo: " + url + " cannot be shown in window " + std::to_string(window));
    return env.Undefined();
}

Napi::Value NativeStreamCore::StopPlay(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    IStreamCore* core = Core(env);
    const std::string url = Text(info, 0, "stop", "url");
    if (m_playbacks.erase(url)) {
        core->StopPlay(url.c_str());
        Plugin().Unclaim(PlayKey(url));
    }
    return env.Undefined();
}

}  // namespace streamaddon
