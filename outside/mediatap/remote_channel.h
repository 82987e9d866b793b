// Remote play channels: what the engine does with the streams it receives. A video channel
// decodes H.264 access units (behind the 12-byte media header), draws every decoded picture
// into its window through the camera plug-in's renderer and keeps the latest one for
// TakePicture; an audio channel decodes AAC (packet type 0: the
// AudioSpecificConfig, packet type 1: a raw frame, behind the same header) to 16-bit PCM and
// hands it to its playout.
//
// Threads: every operation may be called from any thread. Each channel serialises its own
// calls with its lock; after Close returns, nothing of that channel is decoded or played
// any more and later data is ignored.
#pragma once

#include "common/id_table.h"
#include "common/ovtypes.h"
#include "i420_frame.h"
#include "video_window.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace mediatap {

enum { kRemoteHeaderSize = 12, kMaxRemotePacket = 8 * 1024 * 1024 };

// Where decoded remote audio goes. Called with the channel's lock held, from the thread that
// gave the data; it must not call back into the channel.
class IAudioPlayout {
public:
    virtual ~IAudioPlayout() = default;
    // Interleaved 16-bit samples: frames × channels values at the given rate.
    virtual void Play(const int16_t* pcm, int frames, int channels, int rate) = 0;
};

// Makes the playout of a new audio channel (the speaker the engine has open).
class IAudioPlayoutFactory {
public:
    virtual ~IAudioPlayoutFactory() = default;
    virtual std::unique_ptr<IAudioPlayout> Create() = 0;
};

// libavcodec decoders, one stream each. Single-threaded.
class H264Decoder {
public:
    H264Decoder();
    ~H264Decoder();
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;
    bool Ok() const { return m_ctx != nullptr; }
    // One Annex-B access unit; fills picture (cropped to even sizes) and returns true when a
    // picture came out.
    bool Decode(const uint8_t* data, int len, I420Frame* picture);

private:
    AVCodecContext* m_ctx = nullptr;
    AVPacket* m_packet = nullptr;
    AVFrame* m_frame = nullptr;
};

class AacDecoder {
public:
    AacDecoder();
    ~AacDecoder();
    AacDecoder(const AacDecoder&) = delete;
    AacDecoder& operator=(const AacDecoder&) = delete;
    // (Re)opens the decoder for an AudioSpecificConfig (2 to 64 bytes).
    bool Configure(const uint8_t* config, int len);
    bool Configured() const { return m_ctx != nullptr; }
    // One raw AAC frame; pcm gets interleaved 16-bit samples. False when nothing came out.
    bool Decode(const uint8_t* data, int len, std::vector<int16_t>* pcm, int* channels, int* rate);

private:
    void Free();
    AVCodecContext* m_ctx = nullptr;
    AVPacket* m_packet = nullptr;
    AVFrame* m_frame = nullptr;
};

// Makes the renderer that draws into a window (null when it cannot).
typedef std::function<std::unique_ptr<WindowRenderer>(OvHwnd)> WindowOpener;

class RemoteVideoChannel {
public:
    explicit RemoteVideoChannel(OvHwnd window, std::unique_ptr<WindowRenderer> renderer = nullptr);
    ~RemoteVideoChannel();
    // 0 when the packet was taken (decoded or waiting for more), -1 for a bad packet or a
    // closed channel.
    int Play(const unsigned char* data, int len);
    // Draws from now on through renderer (none: nothing is drawn) and records window. The
    // previous renderer is destroyed; the new one shows the latest picture at once when there
    // is one not yet taken.
    void SetWindow(OvHwnd window, std::unique_ptr<WindowRenderer> renderer = nullptr);
    OvHwnd Window();
    // True while a renderer draws the pictures.
    bool Drawing();
    // Moves the latest decoded picture out (false when there is none since the last take).
    bool TakePicture(I420Frame* picture);
    // Pictures decoded so far.
    uint64_t Decoded();
    void Close();

private:
    std::mutex m_lock;
    bool m_bClosed = false;
    OvHwnd m_window;
    std::unique_ptr<WindowRenderer> m_renderer;
    H264Decoder m_decoder;
    I420Frame m_scratch;
    I420Frame m_latest;
    bool m_bFresh = false;
    uint64_t m_nDecoded = 0;
};

class RemoteAudioChannel {
public:
    explicit RemoteAudioChannel(std::unique_ptr<IAudioPlayout> playout);
    int Play(const unsigned char* data, int len);
    void Close();

private:
    std::mutex m_lock;
    bool m_bClosed = false;
    std::unique_ptr<IAudioPlayout> m_playout;
    AacDecoder m_decoder;
    std::vector<int16_t> m_pcm;
};

// The engine's registry of remote channels; ids are never reused.
class RemoteChannels {
public:
    explicit RemoteChannels(std::unique_ptr<IAudioPlayoutFactory> playouts);
    // With an opener, video channels draw into their windows; without one (the default) a
    // channel only records its window.
    void SetWindowOpener(WindowOpener opener);
    // A channel whose window cannot be drawn into is still made (0): it decodes, and a later
    // ChangeVideoWindow may give it a window that works.
    int CreateVideo(uint64_t* id, OvHwnd window);
    int CloseVideo(uint64_t id);
    // 0 when the channel draws into window from now on (window 0: draws nowhere); -1 for an
    // unknown channel or a window that cannot be drawn into (the channel keeps its old one).
    int ChangeVideoWindow(uint64_t id, OvHwnd window);
    int PlayVideo(uint64_t id, const unsigned char* data, int len);
    int CreateAudio(uint64_t* id);
    int CloseAudio(uint64_t id);
    int PlayAudio(uint64_t id, const unsigned char* data, int len);
    std::shared_ptr<RemoteVideoChannel> FindVideo(uint64_t id);

private:
    std::unique_ptr<WindowRenderer> OpenWindow(OvHwnd window);

    std::mutex m_lock;  // guards m_nNextId and m_opener
    WindowOpener m_opener;
    uint64_t m_nNextId = 1;
    std::unique_ptr<IAudioPlayoutFactory> m_playouts;
    Orvane::Common::IdTable<uint64_t, std::shared_ptr<RemoteVideoChannel>> m_video;
    Orvane::Common::IdTable<uint64_t, std::shared_ptr<RemoteAudioChannel>> m_audio;
};

namespace audio {
class ISoundServer;
}
typedef std::function<std::shared_ptr<audio::ISoundServer>()> SoundServerSource;

// The speaker remote audio plays to: the server name of the speaker the engine has open
// ("" for the server's default sink). Threads: any.
class SpeakerChoice {
public:
    void Set(const std::string& sink) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_sink = sink;
    }
    std::string Get() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_sink;
    }

private:
    std::mutex m_lock;
    std::string m_sink;
};

// The registry an engine starts with: audio goes to the sound server's playback, to the
// speaker of choice (a running channel moves over with its next samples).
// The sound server connection comes from connection() when the first audio channel opens.
std::shared_ptr<RemoteChannels> MakeRemoteChannels(std::shared_ptr<SpeakerChoice> speaker,
                                                   SoundServerSource connection);

}  // namespace mediatap
