#include "aac_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace mediatap {
namespace audio {

bool AacRateSupported(int sampleRate) {
    static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
    for (int rate : kRates)
        if (rate == sampleRate) return true;
    return false;
}

struct AacEncoder::Impl {
    AVCodecContext* context = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    ~Impl() {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&context);
    }
};

AacEncoder::AacEncoder() = default;
AacEncoder::~AacEncoder() = default;

int AacEncoder::frameSize() const { return m_impl ? m_impl->context->frame_size : 0; }

bool AacEncoder::Open(int sampleRate, int channels, int bitrateKbps, std::string* error) {
    m_impl.reset();
    m_config.clear();
    if (!AacRateSupported(sampleRate) || channels < 1 || channels > 2 || bitrateKbps < 8 || bitrateKbps > 512) {
        if (error) *error = "unsupported AAC parameters";
        return false;
    }
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) {
        if (error) *error = "no AAC encoder";
        return false;
    }
    auto impl = std::make_unique<Impl>();
    impl->context = avcodec_alloc_context3(codec);
    impl->frame = av_frame_alloc();
    impl->packet = av_packet_alloc();
    if (!impl->context || !impl->frame || !impl->packet) {
        if (error) *error = "out of memory";
        return false;
    }
    AVCodecContext* c = impl->context;
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->sample_rate = sampleRate;
    av_channel_layout_default(&c->ch_layout, channels);
    c->bit_rate = static_cast<int64_t>(bitrateKbps) * 1000;
    c->profile = FF_PROFILE_AAC_LOW;
    c->time_base = AVRational{1, sampleRate};
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int rc = avcodec_open2(c, codec, nullptr);
    if (rc < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {0};
        av_strerror(rc, text, sizeof text);
        if (error) *error = std::string("AAC encoder refused: ") + text;
        return false;
    }
    if (c->frame_size <= 0 || !c->extradata || c->extradata_size < 2) {
        if (error) *error = "AAC encoder gave no configuration";
        return false;
    }
    impl->frame->format = AV_SAMPLE_FMT_FLTP;
    impl->frame->nb_samples = c->frame_size;
    impl->frame->sample_rate = sampleRate;
    av_channel_layout_copy(&impl->frame->ch_layout, &c->ch_layout);
    if (av_frame_get_buffer(impl->frame, 0) < 0) {
        if (error) *error = "out of memory";
        return false;
    }
    // The encoder appends an explicit "no SBR" extension; receivers want the two bytes of the
    // plain AAC-LC configuration (object type, rate index, channels, three zero flags).
    m_config.assign(c->extradata, c->extradata + 2);
    m_impl = std::move(impl);
    return true;
}

bool AacEncoder::Encode(const float* interleaved, int64_t pts, const PacketCallback& callback) {
    if (!m_impl) return false;
    AVCodecContext* c = m_impl->context;
    AVFrame* frame = m_impl->frame;
    if (av_frame_make_writable(frame) < 0) return false;
    const int channels = c->ch_layout.nb_channels;
    for (int ch = 0; ch < channels; ++ch) {
        float* plane = reinterpret_cast<float*>(frame->data[ch]);
        for (int i = 0; i < c->frame_size; ++i) plane[i] = interleaved[i * channels + ch];
    }
    frame->pts = pts;
    if (avcodec_send_frame(c, frame) < 0) return false;
    for (;;) {
        int rc = avcodec_receive_packet(c, m_impl->packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
        if (rc < 0) return false;
        if (callback) callback(m_impl->packet->data, m_impl->packet->size, m_impl->packet->pts);
        av_packet_unref(m_impl->packet);
    }
    return true;
}

}  // namespace audio
}  // namespace mediatap
