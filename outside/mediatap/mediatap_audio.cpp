// The audio half of the engine (microphones, speakers, the sound mixer and device tests): the
// slots forward to the audio library (audio/audio_engine.h documents what each argument and
// result means).
//
// The audio state of an engine is kept beside it, keyed by the engine, and made at the first
// audio call. ReleaseAudioHalf ends it (the mixer and the tests stop, the sink is not called
// again).
#include "mediatap_engine.h"

#include "audio_engine.h"
#include "sound_server.h"
#include "remote_channel.h"

#include <map>
#include <memory>
#include <mutex>

namespace mediatap {
namespace {

struct AudioHalf {
    IMediaTapSink* sink = nullptr;
    std::shared_ptr<audio::ISoundServer> server;  // shared with the remote audio playout
    std::shared_ptr<audio::IAudioEngine> engine;
};

std::mutex g_audioLock;  // guards g_audio
std::map<const CMediaTap*, AudioHalf>& AudioHalves() {
    static auto* halves = new std::map<const CMediaTap*, AudioHalf>();
    return *halves;
}

AudioHalf& HalfLocked(const CMediaTap* engine, IMediaTapSink* sink) {
    AudioHalf& half = AudioHalves()[engine];
    if (!half.server) half.server = std::shared_ptr<audio::ISoundServer>(audio::CreatePulseSoundServer("MediaTap"));
    if (!half.engine || half.sink != sink) {
        half.sink = sink;
        half.engine = audio::CreateSharedAudioEngine(half.server, sink, engine->SinkFlags());
    }
    return half;
}

std::shared_ptr<audio::IAudioEngine> AudioOf(const CMediaTap* engine, IMediaTapSink* sink) {
    std::lock_guard<std::mutex> lock(g_audioLock);
    return HalfLocked(engine, sink).engine;
}

}  // namespace

std::shared_ptr<audio::ISoundServer> SoundServerOf(const CMediaTap* engine, IMediaTapSink* sink) {
    std::lock_guard<std::mutex> lock(g_audioLock);
    return HalfLocked(engine, sink).server;
}

// Ends the audio state of an engine that is going away.
void ReleaseAudioHalf(const CMediaTap* engine) {
    std::shared_ptr<audio::IAudioEngine> ending;
    std::shared_ptr<audio::ISoundServer> server;
    {
        std::lock_guard<std::mutex> lock(g_audioLock);
        auto it = AudioHalves().find(engine);
        if (it == AudioHalves().end()) return;
        ending = std::move(it->second.engine);
        server = std::move(it->second.server);
        AudioHalves().erase(it);
    }
    ending.reset();  // outside the registry lock: this joins the mixer's thread
    server.reset();  // the remote audio playout may still hold it
}

#define MT_AUDIO AudioOf(this, m_lpSink)

int CMediaTap::GetMicphoneCount() { return MT_AUDIO->GetMicphoneCount(); }
int CMediaTap::GetMicphoneNames(int index, char* name, char* uniName) {
    return MT_AUDIO->GetMicphoneNames(index, name, uniName);
}
int CMediaTap::GetSpeakerCount() { return MT_AUDIO->GetSpeakerCount(); }
int CMediaTap::GetSpeakerNames(int index, char* name, char* uniName) {
    return MT_AUDIO->GetSpeakerNames(index, name, uniName);
}
int CMediaTap::OpenMic(const char* uniName) { return MT_AUDIO->OpenMic(uniName); }
int CMediaTap::CloseMic() { return MT_AUDIO->CloseMic(); }
int CMediaTap::OpenSpeaker(const char* uniName) {
    const int result = MT_AUDIO->OpenSpeaker(uniName);
    // Remote audio plays to the open speaker from its next samples on.
    if (result == 0) m_speaker->Set(uniName ? uniName : "");
    return result;
}
int CMediaTap::SetMicVolume(int volume) { return MT_AUDIO->SetMicVolume(volume); }
int CMediaTap::GetMicVolume() { return MT_AUDIO->GetMicVolume(); }
int CMediaTap::SetSpeakerVolume(int volume) { return MT_AUDIO->SetSpeakerVolume(volume); }
int CMediaTap::GetSpeakerVolume() { return MT_AUDIO->GetSpeakerVolume(); }
int CMediaTap::SetAgcStatus(bool on) { return MT_AUDIO->SetAgcStatus(on); }
int CMediaTap::SetMuteStatus(bool mute) { return MT_AUDIO->SetMuteStatus(mute); }
int CMediaTap::GetMuteStatus(bool* mute) { return MT_AUDIO->GetMuteStatus(mute); }
int CMediaTap::StartEncodeMixer(const char* uniName, int a, int b, int c) {
    return MT_AUDIO->StartEncodeMixer(uniName, a, b, c);
}
int CMediaTap::StopEncodeMixer(const char* uniName) { return MT_AUDIO->StopEncodeMixer(uniName); }
int CMediaTap::StartTestMic(const char* uniName) { return MT_AUDIO->StartTestMic(uniName); }
int CMediaTap::StopTestMic() { return MT_AUDIO->StopTestMic(); }
int CMediaTap::StartTestSpeaker(const char* uniName, const char* filePath) {
    return MT_AUDIO->StartTestSpeaker(uniName, filePath);
}
int CMediaTap::StopTestSpeaker() { return MT_AUDIO->StopTestSpeaker(); }
int CMediaTap::GetTestMicLevel() { return MT_AUDIO->GetTestMicLevel(); }
int CMediaTap::GetTestSpkLevel() { return MT_AUDIO->GetTestSpkLevel(); }

#undef MT_AUDIO

}  // namespace mediatap
