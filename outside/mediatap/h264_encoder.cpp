#include "h264_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#include <cstring>
#include <mutex>

namespace mediatap {
namespace {

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, text, sizeof text);
    return text;
}

class LibavH264Encoder final : public H264Encoder {
public:
    explicit LibavH264Encoder(const EncoderConfig& config) : m_config(config) {}
    ~LibavH264Encoder() override {
        av_packet_free(&m_packet);
        av_frame_free(&m_frame);
        avcodec_free_context(&m_ctx);
    }

    bool Open(std::string* error) {
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        if (!codec) {
            *error = "libx264 encoder not available";
            return false;
        }
        m_ctx = avcodec_alloc_context3(codec);
        m_frame = av_frame_alloc();
        m_packet = av_packet_alloc();
        if (!m_ctx || !m_frame || !m_packet) {
            *error = "out of memory";
            return false;
        }
        m_ctx->width = m_config.width;
        m_ctx->height = m_config.height;
        m_ctx->pix_fmt = AV_PIX_FMT_YUV420P;
        m_ctx->time_base = AVRational{1, m_config.fps};
        m_ctx->framerate = AVRational{m_config.fps, 1};
        m_ctx->gop_size = 2 * m_config.fps;
        m_ctx->max_b_frames = 0;
        ApplyRate(m_config.bitrateKbps);
        // One thread: zero-latency tuning would otherwise cut each picture into one slice
        // per thread, and the publisher sends everything from the first slice on as a single
        // NAL unit.
        m_ctx->thread_count = 1;
        av_opt_set(m_ctx->priv_data, "preset", "veryfast", 0);
        av_opt_set(m_ctx->priv_data, "tune", "zerolatency", 0);
        av_opt_set_int(m_ctx->priv_data, "forced-idr", 1, 0);
        av_opt_set(m_ctx->priv_data, "x264-params", "aud=0:slices=1", 0);
        int rc = avcodec_open2(m_ctx, codec, nullptr);
        if (rc < 0) {
            *error = "cannot open libx264: " + AvError(rc);
            return false;
        }
        m_frame->format = AV_PIX_FMT_YUV420P;
        m_frame->width = m_config.width;
        m_frame->height = m_config.height;
        return true;
    }

    bool Encode(const I420Frame& frame, int64_t frameIndex, bool forceKey,
                std::vector<uint8_t>* out, bool* keyFrame) override {
        out->clear();
        *keyFrame = false;
        if (frame.width != m_config.width || frame.height != m_config.height) return false;
        // The picture is read in place: libx264 copies it into its own buffers during the call.
        // A buffer reference that does not own the pixels keeps libavcodec from copying them
        // first, as it does with a frame that has none.
        av_buffer_unref(&m_frame->buf[0]);
        m_frame->buf[0] = av_buffer_create(const_cast<uint8_t*>(frame.pixels.data()), frame.pixels.size(),
                                           [](void*, uint8_t*) {}, nullptr, AV_BUFFER_FLAG_READONLY);
        if (!m_frame->buf[0]) return false;
        m_frame->data[0] = const_cast<uint8_t*>(frame.Y());
        m_frame->data[1] = const_cast<uint8_t*>(frame.U());
        m_frame->data[2] = const_cast<uint8_t*>(frame.V());
        m_frame->linesize[0] = frame.StrideY();
        m_frame->linesize[1] = frame.StrideUV();
        m_frame->linesize[2] = frame.StrideUV();
        m_frame->pts = frameIndex;
        m_frame->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        int rc = avcodec_send_frame(m_ctx, m_frame);
        if (rc < 0) return false;
        for (;;) {
            rc = avcodec_receive_packet(m_ctx, m_packet);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
            if (rc < 0) return false;
            out->insert(out->end(), m_packet->data, m_packet->data + m_packet->size);
            if (m_packet->flags & AV_PKT_FLAG_KEY) *keyFrame = true;
            av_packet_unref(m_packet);
        }
        // Zero-latency tuning: every picture given has come out by now.
        av_buffer_unref(&m_frame->buf[0]);
        if (!out->empty()) m_sinceKey = *keyFrame ? 0 : m_sinceKey + 1;
        return true;
    }

    bool EncodeSame(const I420Frame& frame, int64_t frameIndex, std::vector<uint8_t>* out,
                    bool* keyFrame) override {
        // Left alone, libx264 spends the bitrate on refining a still picture further, at the
        // cost of a full encode of every frame. The largest quantiser offset over the whole
        // picture tells it that no block needs more detail, so it skips them all. A key frame
        // stands alone and is encoded as usual.
        const bool keyDue = m_sinceKey + 1 >= m_ctx->gop_size;
        if (!keyDue) {
            AVFrameSideData* data =
                av_frame_new_side_data(m_frame, AV_FRAME_DATA_REGIONS_OF_INTEREST, sizeof(AVRegionOfInterest));
            if (data) {
                auto* region = reinterpret_cast<AVRegionOfInterest*>(data->data);
                region->self_size = sizeof(AVRegionOfInterest);
                region->top = 0;
                region->bottom = m_config.height;
                region->left = 0;
                region->right = m_config.width;
                region->qoffset = AVRational{1, 1};
            }
        }
        bool ok = Encode(frame, frameIndex, false, out, keyFrame);
        av_frame_remove_side_data(m_frame, AV_FRAME_DATA_REGIONS_OF_INTEREST);
        return ok;
    }

    void SetBitrate(int kbps) override {
        // libavcodec's libx264 wrapper compares these with the encoder's parameters before the
        // next picture and hands the new ones to x264_encoder_reconfig.
        if (kbps > 0) ApplyRate(kbps);
    }

    const EncoderConfig& Config() const override { return m_config; }

private:
    void ApplyRate(int kbps) {
        const int64_t bps = static_cast<int64_t>(kbps) * 1000;
        m_ctx->bit_rate = bps;
        m_ctx->rc_max_rate = bps;
        m_ctx->rc_buffer_size = static_cast<int>(bps);
    }

    EncoderConfig m_config;
    AVCodecContext* m_ctx = nullptr;
    AVFrame* m_frame = nullptr;
    AVPacket* m_packet = nullptr;
    int m_sinceKey = 1 << 20;  // frames since the last key frame (none yet: one is due)
};

}  // namespace

std::unique_ptr<H264Encoder> H264Encoder::Create(const EncoderConfig& config, std::string* error) {
    // libx264 prints statistics at information level when it closes; keep stderr for
    // problems unless the host chose a level of its own.
    static std::once_flag quiet;
    std::call_once(quiet, [] {
        if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
    });
    std::string ignored;
    if (!error) error = &ignored;
    if (config.width <= 0 || config.height <= 0 || (config.width & 1) || (config.height & 1) ||
        config.fps <= 0 || config.bitrateKbps <= 0) {
        *error = "bad encoder settings";
        return nullptr;
    }
    auto encoder = std::make_unique<LibavH264Encoder>(config);
    if (!encoder->Open(error)) return nullptr;
    return encoder;
}

}  // namespace mediatap
