// One encoding pipeline: a thread that, on an absolute frame clock, takes a picture from its
// producer, encodes it and hands the frame to the engine's sink. Pictures also go to the
// preview windows given in the settings, whether encoding is on or not.
//
// A source that ends by itself (its window or display went away) ends the thread; the sink
// hears of it once, when the settings ask for that.
//
// Threads: Start, Stop and the destructor from one controlling thread at a time (the engine
// serialises them per source); SetEncoding, ForceKeyFrame and the queries from any thread.
// The sink is called on the channel's own thread only.
#pragma once

#include "h264_encoder.h"
#include "video_producer.h"
#include "video_window.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class IMediaTapSink;

namespace mediatap {

struct ChannelSettings {
    std::string uniName;
    EncoderConfig encoder;
    uint32_t sourceId = 0;
    bool startEncoding = true;
    // Windows that show each new picture (none: pictures are only encoded).
    std::shared_ptr<PreviewWindows> preview;
    // The sink takes OnSourceEnded (it offered MEDIATAP_SINK_SOURCE_ENDED).
    bool reportEnd = false;
};

class VideoChannel {
public:
    enum { kMinBitrateKbps = 50 };
    VideoChannel(ChannelSettings settings, std::unique_ptr<IVideoProducer> producer, IMediaTapSink* sink);
    ~VideoChannel();
    VideoChannel(const VideoChannel&) = delete;
    VideoChannel& operator=(const VideoChannel&) = delete;

    // Opens the encoder and starts the thread. False (with a reason) when the encoder cannot
    // be opened.
    bool Start(std::string* error);
    // Ends the thread and waits for it. On the channel's own thread (a sink callback that
    // stops its source) it only asks the thread to end; the owner must then keep the object
    // until Stop or the destructor is called again from another thread.
    void Stop();
    bool OnOwnThread() const { return std::this_thread::get_id() == m_thread.get_id(); }

    // While off, the thread keeps its clock and encodes nothing; it reads pictures only for
    // the preview windows.
    void SetEncoding(bool on);
    bool IsEncoding() const { return m_encoding.load() && !m_ended.load(); }
    // The next encoded picture is an IDR with SPS and PPS in front.
    void ForceKeyFrame() { m_forceKey.store(true); }
    // The encoder's bitrate from the next picture on, clamped to [kMinBitrateKbps, the bitrate
    // the channel started with]; applied on the channel's own thread.
    void SetBitrate(int kbps);
    int StartBitrate() const { return m_settings.encoder.bitrateKbps; }
    // The producer's source went away; the thread has ended by itself.
    bool Ended() const { return m_ended.load(); }
    int Width() const { return m_settings.encoder.width; }
    int Height() const { return m_settings.encoder.height; }
    // Frames handed to the sink so far.
    uint64_t FramesSent() const { return m_framesSent.load(); }

private:
    void Run();
    // The producer's source went away: marks the channel ended and tells the sink.
    void SourceEnded();

    ChannelSettings m_settings;
    std::unique_ptr<IVideoProducer> m_producer;
    IMediaTapSink* m_sink;
    std::unique_ptr<H264Encoder> m_encoder;

    std::atomic<bool> m_encoding{false};
    std::atomic<bool> m_forceKey{false};
    // Asked for by SetBitrate, not yet applied (0: nothing asked).
    std::atomic<int> m_pendingKbps{0};
    std::atomic<bool> m_ended{false};
    std::atomic<uint64_t> m_framesSent{0};

    std::mutex m_lock;  // guards m_stop for the condition variable
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace mediatap
