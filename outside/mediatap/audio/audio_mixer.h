// The sound mixer: what the computer plays (the default sink's monitor) plus the open
// microphone, resampled to one format, encoded as AAC-LC and handed on frame by frame.
//
// It runs on its own thread, paced by its audio clock: frame n (1024 samples) is encoded when
// n * 1024 / rate seconds have passed since the start, whatever the sources deliver. A source
// that is missing, silent or late contributes silence, so with no source at all the mixer still
// produces silence in real time. Sources that fail or are not there yet are tried again every
// few seconds. The header (the AudioSpecificConfig) goes out once before the first frame and
// again after AnnounceHeader.
//
// The sources are looked up, opened and watched on a second thread: a sound server call can
// take as long as the server's bound on a wait (a server that stopped answering), and the
// clock goes on meanwhile, with silence where the sources have nothing.
//
// Threads: Start, Stop and the setters from any thread (serialised by the caller); the
// callbacks run on the mixer's thread, never after Stop has returned. Stop waits for a sound
// server call in progress on the sources' thread.
#pragma once

#include "sound_server.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace mediatap {
namespace audio {

class AacEncoder;

struct MixerConfig {
    int bitrateKbps = 96;
    int sampleRate = 16000;
    int channels = 1;
};

class AudioMixer {
public:
    using HeaderCallback = std::function<void(const uint8_t* config, int len)>;
    // captureUs: steady-clock µs of the capture of the first sample the packet decodes to
    // (the encoder's delay taken out; see FrameTimeline for frames of silence).
    using FrameCallback = std::function<void(const uint8_t* data, int len, int64_t captureUs)>;

    // server may be null (silence only); it must outlive the mixer.
    AudioMixer(ISoundServer* server, HeaderCallback onHeader, FrameCallback onFrame);
    ~AudioMixer();
    AudioMixer(const AudioMixer&) = delete;
    AudioMixer& operator=(const AudioMixer&) = delete;

    // False with *error set when the encoder refuses the configuration. Restarts a running mixer.
    bool Start(const MixerConfig& config, std::string* error);
    void Stop();
    bool running() const { return m_thread.joinable(); }
    const MixerConfig& config() const { return m_config; }

    // The microphone to mix in ("" none); takes effect within one frame.
    void SetMicrophone(const std::string& source);
    // Whether to capture the sound card (the default sink's monitor); on by default.
    void SetSoundCard(bool on);
    void SetAutoGain(bool on);
    // Sends the header again before the next frame.
    void AnnounceHeader();

private:
    void Run(int64_t startUs, AacEncoder& encoder);

    ISoundServer* m_server;
    HeaderCallback m_onHeader;
    FrameCallback m_onFrame;
    MixerConfig m_config;  // written only while the thread is not running

    std::mutex m_lock;  // guards the wanted state and m_stop
    std::condition_variable m_wake;
    bool m_stop = false;
    std::string m_wantMic;
    bool m_wantCard = true;
    bool m_wantAgc = false;
    bool m_announce = false;
    std::thread m_thread;
};

}  // namespace audio
}  // namespace mediatap
