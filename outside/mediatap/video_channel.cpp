#include "video_channel.h"

#include "access_unit.h"
#include "common/slogger.h"
#include "mediatap/IMediaTap.h"

#include <pthread.h>

#include <algorithm>

namespace mediatap {

using Clock = std::chrono::steady_clock;

VideoChannel::VideoChannel(ChannelSettings settings, std::unique_ptr<IVideoProducer> producer, IMediaTapSink* sink)
    : m_settings(std::move(settings)), m_producer(std::move(producer)), m_sink(sink) {
    m_encoding.store(m_settings.startEncoding);
}

VideoChannel::~VideoChannel() { Stop(); }

bool VideoChannel::Start(std::string* error) {
    if (m_thread.joinable()) return true;
    m_encoder = H264Encoder::Create(m_settings.encoder, error);
    if (!m_encoder) return false;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void VideoChannel::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable() && !OnOwnThread()) m_thread.join();
}

void VideoChannel::SetEncoding(bool on) {
    // A stream that resumes starts with a key frame, so a receiver can pick it up at once.
    if (on && !m_encoding.load()) m_forceKey.store(true);
    m_encoding.store(on);
}

void VideoChannel::SetBitrate(int kbps) {
    m_pendingKbps.store(std::max<int>(kMinBitrateKbps, std::min(kbps, m_settings.encoder.bitrateKbps)));
}

void VideoChannel::SourceEnded() {
    const std::string why = m_producer->EndReason();
    OV_LOG("video source %s ended: %s (%s)", m_settings.uniName.c_str(), why.c_str(),
           m_producer->Describe().c_str());
    // Ended before the sink hears of it, so that the engine already answers accordingly.
    m_ended.store(true);
    if (m_sink && m_settings.reportEnd) m_sink->OnSourceEnded(m_settings.uniName.c_str(), why.c_str());
}

void VideoChannel::Run() {
    pthread_setname_np(pthread_self(), "mediatap_video");
    const EncoderConfig& cfg = m_settings.encoder;
    I420Frame frame;
    frame.Reset(cfg.width, cfg.height);
    FrameBuilder builder(m_settings.sourceId);
    std::vector<uint8_t> accessUnit;
    std::vector<uint8_t> packet;
    uint64_t failures = 0;
    bool pictureChanged = true;  // since the last encoded frame

    auto toUs = [](Clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
    };
    FramePacer pacer(cfg.fps);
    const int64_t startUs = toUs(Clock::now());
    pacer.Start(startUs);

    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_lock);
            Clock::time_point due{std::chrono::microseconds(pacer.Deadline())};
            m_wake.wait_until(lock, due, [this] { return m_stop; });
            if (m_stop) break;
        }
        const bool encoding = m_encoding.load();
        const bool previewing = m_settings.preview && !m_settings.preview->Empty();
        if (!encoding && !previewing && !m_producer->StillThere()) {
            // Paused and unseen, the source is still watched, so its end is told when it
            // happens rather than at the next resume.
            SourceEnded();
            break;
        }
        if (encoding || previewing) {
            IVideoProducer::Result result = m_producer->Produce(&frame);
            if (result == IVideoProducer::Result::kEnded) {
                SourceEnded();
                break;
            }
            if (result == IVideoProducer::Result::kFrame) pictureChanged = true;
            // An unchanged source still shows in every preview frame, as it always has.
            if (previewing && result != IVideoProducer::Result::kRepeat) m_settings.preview->RenderI420(frame);
        }
        if (encoding) {
            // An unchanged or unreadable source encodes the previous picture again (black
            // before the first one), so a receiver still gets a steady stream to start on;
            // the encoder is told, which makes such a frame cheap.
            bool key = false;
            bool forced = m_forceKey.exchange(false);
            const int kbps = m_pendingKbps.exchange(0);
            if (kbps > 0) m_encoder->SetBitrate(kbps);
            bool encoded = pictureChanged || forced
                               ? m_encoder->Encode(frame, pacer.Index(), forced, &accessUnit, &key)
                               : m_encoder->EncodeSame(frame, pacer.Index(), &accessUnit, &key);
            if (encoded) pictureChanged = false;
            if (!encoded) {
                // Once, then every 100th time: this is the per-frame path.
                if (failures++ % 100 == 0)
                    OV_LOG("video source %s: encoding failed (%llu times)", m_settings.uniName.c_str(),
                           static_cast<unsigned long long>(failures));
            } else if (!accessUnit.empty()) {
                // The grab time: the frame's slot on the grid, which the grab above waited for,
                // in milliseconds of the steady clock that the audio half stamps its frames with.
                uint32_t timestampMs = static_cast<uint32_t>(pacer.Deadline() / 1000);
                if (builder.Build(accessUnit.data(), accessUnit.size(), key, timestampMs, &packet)) {
                    if (m_sink)
                        m_sink->OnRtpVideoData(m_settings.uniName.c_str(), packet.data(),
                                               static_cast<int>(packet.size()), key, timestampMs);
                    m_framesSent.fetch_add(1);
                }
            }
        }
        pacer.Advance(toUs(Clock::now()));
    }
}

}  // namespace mediatap
