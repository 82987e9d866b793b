#include "audio_engine.h"

#include "aac_encoder.h"
#include "audio_mixer.h"
#include "common/slogger.h"
#include "device_tests.h"
#include "sound_server.h"

#include <cstring>
#include <mutex>
#include <vector>

namespace mediatap {
namespace audio {
namespace {

constexpr size_t kNameBuffer = 128;  // the callers' buffers; the engine writes at most this

// Copies at most 127 bytes and the terminator, never cutting a UTF-8 character in two.
void CopyName(char* out, const std::string& text) {
    size_t n = std::min(text.size(), kNameBuffer - 1);
    if (n < text.size())
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

std::vector<SoundDevice> Listable(std::vector<SoundDevice> devices) {
    std::vector<SoundDevice> out;
    for (auto& device : devices)
        if (!device.name.empty() && device.name.size() < kNameBuffer) out.push_back(std::move(device));
    return out;
}

class AudioEngine final : public IAudioEngine {
public:
    AudioEngine(std::unique_ptr<ISoundServer> server, IMediaTapSink* sink, int sinkFlags)
        : m_server(std::move(server)),
          m_sink(sink),
          m_captureTimes((sinkFlags & MEDIATAP_SINK_CAPTURE_TIMES) != 0),
          m_micTest(m_server.get()),
          m_speakerTest(m_server.get()) {}

    ~AudioEngine() override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_mixer.reset();
        m_micTest.Stop();
        m_speakerTest.Stop();
    }

    int GetMicphoneCount() override {
        std::lock_guard<std::mutex> lock(m_lock);
        return static_cast<int>(Listable(m_server->Sources()).size());
    }
    int GetMicphoneNames(int index, char* name, char* uniName) override {
        std::lock_guard<std::mutex> lock(m_lock);
        return FillNames(Listable(m_server->Sources()), index, name, uniName);
    }
    int GetSpeakerCount() override {
        std::lock_guard<std::mutex> lock(m_lock);
        return static_cast<int>(Listable(m_server->Sinks()).size());
    }
    int GetSpeakerNames(int index, char* name, char* uniName) override {
        std::lock_guard<std::mutex> lock(m_lock);
        return FillNames(Listable(m_server->Sinks()), index, name, uniName);
    }

    int OpenMic(const char* uniName) override {
        std::lock_guard<std::mutex> lock(m_lock);
        std::string name = Resolve(uniName, true);
        if (name.empty()) {
            OV_LOG("OpenMic: no microphone \"%s\"", uniName ? uniName : "");
            return -1;
        }
        m_mic = name;
        if (m_mixer) m_mixer->SetMicrophone(m_mic);
        return 0;
    }
    int CloseMic() override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_mic.clear();
        if (m_mixer) m_mixer->SetMicrophone(std::string());
        return 0;
    }
    int OpenSpeaker(const char* uniName) override {
        std::lock_guard<std::mutex> lock(m_lock);
        std::string name = Resolve(uniName, false);
        if (name.empty()) {
            OV_LOG("OpenSpeaker: no speaker \"%s\"", uniName ? uniName : "");
            return -1;
        }
        m_speaker = name;
        return 0;
    }

    int SetMicVolume(int volume) override { return SetVolume(true, volume); }
    int GetMicVolume() override { return GetVolume(true); }
    int SetSpeakerVolume(int volume) override { return SetVolume(false, volume); }
    int GetSpeakerVolume() override { return GetVolume(false); }
    int SetAgcStatus(bool on) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_agc = on;
        if (m_mixer) m_mixer->SetAutoGain(on);
        return 0;
    }
    int SetMuteStatus(bool mute) override {
        std::lock_guard<std::mutex> lock(m_lock);
        std::string mic = CurrentMic();
        return !mic.empty() && m_server->SetSourceMute(mic, mute) ? 0 : -1;
    }
    int GetMuteStatus(bool* mute) override {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!mute) return -1;
        std::string mic = CurrentMic();
        return !mic.empty() && m_server->GetSourceMute(mic, mute) ? 0 : -1;
    }

    int StartEncodeMixer(const char* uniName, int kbps, int rate, int channels) override {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!uniName || !*uniName || std::strlen(uniName) >= kNameBuffer || kbps < 8 || kbps > 320 ||
            !AacRateSupported(rate) || channels < 1 || channels > 2) {
            OV_LOG("StartEncodeMixer: bad arguments (\"%s\", %d kbit/s, %d Hz, %d channels)", uniName ? uniName : "",
                   kbps, rate, channels);
            return -1;
        }
        if (m_mixer && m_mixer->running()) {
            if (m_mixerName != uniName) {
                OV_LOG("StartEncodeMixer: mixer \"%s\" is running; \"%s\" refused", m_mixerName.c_str(), uniName);
                return -1;
            }
            const MixerConfig& now = m_mixer->config();
            if (now.bitrateKbps == kbps && now.sampleRate == rate && now.channels == channels) {
                m_mixer->AnnounceHeader();
                return 0;
            }
            OV_LOG("StartEncodeMixer: \"%s\" restarts with new settings", uniName);
        }
        m_mixer.reset();
        m_mixerName = uniName;
        // The sink is called on the mixer's thread with copies of the name and header.
        const std::string label = m_mixerName;
        IMediaTapSink* sink = m_sink;
        const bool captureTimes = m_captureTimes;
        auto mixer = std::make_unique<AudioMixer>(
            m_server.get(),
            [sink, label](const uint8_t* config, int len) {
                char header[16] = {0};
                if (len <= 0 || len > 11) return;  // receivers keep at most 11 bytes
                std::memcpy(header, config, static_cast<size_t>(len));
                sink->OnMixerAudioHeaderData(label.c_str(), header, len);
            },
            [sink, label, captureTimes](const uint8_t* data, int len, int64_t captureUs) {
                // Milliseconds of the steady clock, as the video half stamps its frames.
                if (captureTimes)
                    sink->OnMixerAudioDataAt(label.c_str(), data, len, static_cast<unsigned int>(captureUs / 1000));
                else
                    sink->OnMixerAudioData(label.c_str(), data, len);
            });
        mixer->SetMicrophone(m_mic);
        mixer->SetAutoGain(m_agc);
        std::string error;
        if (!mixer->Start(MixerConfig{kbps, rate, channels}, &error)) {
            OV_LOG("StartEncodeMixer: %s", error.c_str());
            return -1;
        }
        m_mixer = std::move(mixer);
        OV_LOG("StartEncodeMixer \"%s\": %d kbit/s, %d Hz, %d channel(s)", uniName, kbps, rate, channels);
        return 0;
    }
    int StopEncodeMixer(const char* uniName) override {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_mixer || !uniName || m_mixerName != uniName) return -1;
        m_mixer.reset();
        m_mixerName.clear();
        return 0;
    }

    int StartTestMic(const char* uniName) override {
        std::lock_guard<std::mutex> lock(m_lock);
        std::string mic = uniName && *uniName ? Resolve(uniName, true) : CurrentMic();
        if (mic.empty() || !m_micTest.Start(mic)) {
            OV_LOG("StartTestMic: cannot capture \"%s\"", uniName ? uniName : "");
            return -1;
        }
        return 0;
    }
    int StopTestMic() override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_micTest.Stop();
        return 0;
    }
    int StartTestSpeaker(const char* uniName, const char* filePath) override {
        std::lock_guard<std::mutex> lock(m_lock);
        std::string speaker = uniName && *uniName ? Resolve(uniName, false) : CurrentSpeaker();
        if (speaker.empty()) {
            OV_LOG("StartTestSpeaker: no speaker \"%s\"", uniName ? uniName : "");
            return -1;
        }
        return m_speakerTest.Start(speaker, filePath ? filePath : "") ? 0 : -1;
    }
    int StopTestSpeaker() override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_speakerTest.Stop();
        return 0;
    }
    // The levels are read without the slot lock, so polling them never waits for the server.
    int GetTestMicLevel() override { return m_micTest.Level(); }
    int GetTestSpkLevel() override { return m_speakerTest.Level(); }

private:
    int FillNames(const std::vector<SoundDevice>& devices, int index, char* name, char* uniName) {
        if (!name || !uniName || index < 0 || index >= static_cast<int>(devices.size())) return -1;
        const SoundDevice& device = devices[static_cast<size_t>(index)];
        CopyName(name, device.description.empty() ? device.name : device.description);
        CopyName(uniName, device.name);
        return 0;
    }

    // The device named (null or "": the default), or "" when the server does not have it.
    std::string Resolve(const char* uniName, bool source) {
        if (!uniName || !*uniName) return source ? m_server->DefaultSource() : m_server->DefaultSink();
        for (const SoundDevice& device : source ? m_server->Sources() : m_server->Sinks())
            if (device.name == uniName) return device.name;
        return {};
    }
    std::string CurrentMic() { return m_mic.empty() ? m_server->DefaultSource() : m_mic; }
    std::string CurrentSpeaker() { return m_speaker.empty() ? m_server->DefaultSink() : m_speaker; }

    // The volume of the open microphone (mic) or speaker, in percent.
    int SetVolume(bool mic, int volume) {
        std::lock_guard<std::mutex> lock(m_lock);
        if (volume < 0 || volume > 100) return -1;
        const std::string device = mic ? CurrentMic() : CurrentSpeaker();
        if (device.empty()) return -1;
        return (mic ? m_server->SetSourceVolume(device, volume) : m_server->SetSinkVolume(device, volume)) ? 0 : -1;
    }
    int GetVolume(bool mic) {
        std::lock_guard<std::mutex> lock(m_lock);
        int volume = -1;
        const std::string device = mic ? CurrentMic() : CurrentSpeaker();
        if (device.empty()) return -1;
        return (mic ? m_server->GetSourceVolume(device, &volume) : m_server->GetSinkVolume(device, &volume)) ? volume : -1;
    }

    std::mutex m_lock;  // serialises the slots; guards the members below
    std::unique_ptr<ISoundServer> m_server;
    IMediaTapSink* m_sink;
    const bool m_captureTimes;
    std::string m_mic;      // the open microphone ("" none)
    std::string m_speaker;  // the open speaker ("" none: the default)
    bool m_agc = false;
    std::unique_ptr<AudioMixer> m_mixer;
    std::string m_mixerName;
    MicLevelTest m_micTest;
    SpeakerFileTest m_speakerTest;
};

}  // namespace

std::unique_ptr<IAudioEngine> CreateAudioEngine(std::unique_ptr<ISoundServer> server, IMediaTapSink* sink,
                                                int sinkFlags) {
    return std::make_unique<AudioEngine>(std::move(server), sink, sinkFlags);
}

std::unique_ptr<IAudioEngine> CreatePulseAudioEngine(IMediaTapSink* sink, int sinkFlags) {
    return CreateAudioEngine(CreatePulseSoundServer("MediaTap"), sink, sinkFlags);
}

std::unique_ptr<IAudioEngine> CreateSharedAudioEngine(std::shared_ptr<ISoundServer> server, IMediaTapSink* sink,
                                                      int sinkFlags) {
    return CreateAudioEngine(ShareSoundServer(std::move(server)), sink, sinkFlags);
}

}  // namespace audio
}  // namespace mediatap
