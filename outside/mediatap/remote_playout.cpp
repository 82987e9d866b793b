// The playout of remote audio channels on this system: a playback stream of the sound server
// to the open speaker (the default one until a speaker is opened), opened on the first samples
// (in their rate and channel count) and opened again when they or the speaker change. Samples the stream cannot take without blocking are dropped,
// so a stalled server never holds up the caller or grows memory.
#include "remote_channel.h"

#include "sound_server.h"
#include "common/slogger.h"

#include <algorithm>
#include <mutex>

namespace mediatap {

namespace {

class PulsePlayout : public IAudioPlayout {
public:
    PulsePlayout(std::shared_ptr<audio::ISoundServer> server, std::shared_ptr<SpeakerChoice> speaker)
        : m_server(std::move(server)), m_speaker(std::move(speaker)) {}

    void Play(const int16_t* pcm, int frames, int channels, int rate) override {
        if (!m_server || frames <= 0 || channels <= 0 || rate <= 0) return;
        const std::string sink = m_speaker ? m_speaker->Get() : std::string();
        if (!m_stream || m_format.rate != rate || m_format.channels != channels || sink != m_sink) {
            m_stream.reset();
            m_format.rate = rate;
            m_format.channels = channels;
            m_sink = sink;
            m_stream = m_server->OpenPlayback(m_sink, m_format);
            if (!m_stream) {
                if (m_nFailures++ % 100 == 0)
                    OV_LOG("RemoteAudio: no playback stream to \"%s\" (%d Hz, %d channels)", m_sink.c_str(), rate,
                           channels);
                return;
            }
        }
        const int room = m_stream->WritableFrames();
        if (room < 0) {
            m_stream.reset();  // failed: opened again with the next samples
            return;
        }
        const int n = std::min(room, frames);
        if (n <= 0) return;
        m_float.resize(static_cast<size_t>(n) * channels);
        for (size_t i = 0; i < m_float.size(); ++i) m_float[i] = pcm[i] / 32768.0f;
        m_stream->Write(m_float.data(), n);
    }

private:
    std::shared_ptr<audio::ISoundServer> m_server;
    const std::shared_ptr<SpeakerChoice> m_speaker;
    std::string m_sink;  // where m_stream plays ("" the default sink)
    std::unique_ptr<audio::IPlaybackStream> m_stream;
    audio::SampleFormat m_format;
    std::vector<float> m_float;
    unsigned m_nFailures = 0;
};

class PulsePlayoutFactory : public IAudioPlayoutFactory {
public:
    PulsePlayoutFactory(std::shared_ptr<SpeakerChoice> speaker, SoundServerSource connection)
        : m_speaker(std::move(speaker)), m_connection(std::move(connection)) {}
    std::unique_ptr<IAudioPlayout> Create() override {
        std::lock_guard<std::mutex> lock(m_lock);
        // One server connection for all remote channels, taken when the first one opens: the
        // engine's own, so one client thread serves all of its audio.
        if (!m_server && m_connection) m_server = m_connection();
        if (!m_server) m_server = std::shared_ptr<audio::ISoundServer>(audio::CreatePulseSoundServer("StreamCore remote"));
        return std::unique_ptr<IAudioPlayout>(new PulsePlayout(m_server, m_speaker));
    }

private:
    const std::shared_ptr<SpeakerChoice> m_speaker;
    const SoundServerSource m_connection;
    std::mutex m_lock;
    std::shared_ptr<audio::ISoundServer> m_server;
};

}  // namespace

std::shared_ptr<SpeakerChoice> MakeSpeakerChoice() { return std::make_shared<SpeakerChoice>(); }

std::shared_ptr<RemoteChannels> MakeRemoteChannels(std::shared_ptr<SpeakerChoice> speaker,
                                                   SoundServerSource connection) {
    return std::make_shared<RemoteChannels>(std::unique_ptr<IAudioPlayoutFactory>(
        new PulsePlayoutFactory(std::move(speaker), std::move(connection))));
}

}  // namespace mediatap
