#include "remote_channel.h"

#include "common/slogger.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cstring>

namespace mediatap {

namespace {

// libavcodec wants padding behind the data it reads.
bool FillPacket(AVPacket* packet, const uint8_t* data, int len) {
    av_packet_unref(packet);
    if (av_new_packet(packet, len) < 0) return false;
    memcpy(packet->data, data, static_cast<size_t>(len));
    return true;
}

int16_t ToS16(float v) {
    v = std::max(-1.0f, std::min(1.0f, v));
    return static_cast<int16_t>(v * 32767.0f);
}

}  // namespace

H264Decoder::H264Decoder() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec) return;
    m_ctx = avcodec_alloc_context3(codec);
    if (m_ctx) m_ctx->thread_count = 1;
    if (m_ctx && avcodec_open2(m_ctx, codec, nullptr) < 0) avcodec_free_context(&m_ctx);
    m_packet = av_packet_alloc();
    m_frame = av_frame_alloc();
}

H264Decoder::~H264Decoder() {
    av_frame_free(&m_frame);
    av_packet_free(&m_packet);
    avcodec_free_context(&m_ctx);
}

bool H264Decoder::Decode(const uint8_t* data, int len, I420Frame* picture) {
    if (!m_ctx || !m_packet || !m_frame || !data || len <= 0) return false;
    if (!FillPacket(m_packet, data, len)) return false;
    if (avcodec_send_packet(m_ctx, m_packet) < 0) return false;
    bool got = false;
    while (avcodec_receive_frame(m_ctx, m_frame) == 0) {
        const AVFrame* f = m_frame;
        const int w = f->width & ~1;
        const int h = f->height & ~1;
        if ((f->format == AV_PIX_FMT_YUV420P || f->format == AV_PIX_FMT_YUVJ420P) && w > 0 && h > 0) {
            if (picture->width != w || picture->height != h) picture->Reset(w, h);
            for (int y = 0; y < h; ++y) memcpy(picture->Y() + y * w, f->data[0] + y * f->linesize[0], w);
            for (int y = 0; y < h / 2; ++y) {
                memcpy(picture->U() + y * (w / 2), f->data[1] + y * f->linesize[1], w / 2);
                memcpy(picture->V() + y * (w / 2), f->data[2] + y * f->linesize[2], w / 2);
            }
            got = true;
        }
        av_frame_unref(m_frame);
    }
    return got;
}

AacDecoder::AacDecoder() {
    m_packet = av_packet_alloc();
    m_frame = av_frame_alloc();
}

AacDecoder::~AacDecoder() {
    Free();
    av_frame_free(&m_frame);
    av_packet_free(&m_packet);
}

void AacDecoder::Free() { avcodec_free_context(&m_ctx); }

bool AacDecoder::Configure(const uint8_t* config, int len) {
    Free();
    if (!config || len < 2 || len > 64) return false;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    if (!codec) return false;
    m_ctx = avcodec_alloc_context3(codec);
    if (!m_ctx) return false;
    m_ctx->extradata = static_cast<uint8_t*>(av_mallocz(static_cast<size_t>(len) + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!m_ctx->extradata) {
        Free();
        return false;
    }
    memcpy(m_ctx->extradata, config, static_cast<size_t>(len));
    m_ctx->extradata_size = len;
    if (avcodec_open2(m_ctx, codec, nullptr) < 0) {
        Free();
        return false;
    }
    return true;
}

bool AacDecoder::Decode(const uint8_t* data, int len, std::vector<int16_t>* pcm, int* channels, int* rate) {
    pcm->clear();
    if (!m_ctx || !m_packet || !m_frame || !data || len <= 0) return false;
    if (!FillPacket(m_packet, data, len)) return false;
    if (avcodec_send_packet(m_ctx, m_packet) < 0) return false;
    while (avcodec_receive_frame(m_ctx, m_frame) == 0) {
        const AVFrame* f = m_frame;
        const int ch = f->ch_layout.nb_channels;
        const int n = f->nb_samples;
        if (ch <= 0 || ch > 8 || n <= 0) {
            av_frame_unref(m_frame);
            continue;
        }
        *channels = ch;
        *rate = f->sample_rate;
        const size_t base = pcm->size();
        pcm->resize(base + static_cast<size_t>(n) * ch);
        int16_t* out = pcm->data() + base;
        for (int i = 0; i < n; ++i) {
            for (int c = 0; c < ch; ++c) {
                int16_t v = 0;
                switch (f->format) {
                case AV_SAMPLE_FMT_FLTP: v = ToS16(reinterpret_cast<const float*>(f->extended_data[c])[i]); break;
                case AV_SAMPLE_FMT_FLT: v = ToS16(reinterpret_cast<const float*>(f->extended_data[0])[i * ch + c]); break;
                case AV_SAMPLE_FMT_S16P: v = reinterpret_cast<const int16_t*>(f->extended_data[c])[i]; break;
                case AV_SAMPLE_FMT_S16: v = reinterpret_cast<const int16_t*>(f->extended_data[0])[i * ch + c]; break;
                default: break;
                }
                out[static_cast<size_t>(i) * ch + c] = v;
            }
        }
        av_frame_unref(m_frame);
    }
    return !pcm->empty();
}

RemoteVideoChannel::RemoteVideoChannel(OvHwnd window, std::unique_ptr<WindowRenderer> renderer)
    : m_window(window), m_renderer(std::move(renderer)) {}

RemoteVideoChannel::~RemoteVideoChannel() { Close(); }

int RemoteVideoChannel::Play(const unsigned char* data, int len) {
    if (!data || len <= kRemoteHeaderSize || len > kMaxRemotePacket) return -1;
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_bClosed || !m_decoder.Ok()) return -1;
    if (m_decoder.Decode(data + kRemoteHeaderSize, len - kRemoteHeaderSize, &m_scratch)) {
        std::swap(m_scratch, m_latest);
        m_bFresh = true;
        ++m_nDecoded;
        // Only a copy into the renderer: the decoding thread does not wait for drawing.
        if (m_renderer) m_renderer->RenderI420(m_latest);
    }
    return 0;
}

void RemoteVideoChannel::SetWindow(OvHwnd window, std::unique_ptr<WindowRenderer> renderer) {
    std::unique_ptr<WindowRenderer> previous;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_bClosed) {
            previous = std::move(renderer);
        } else {
            m_window = window;
            previous = std::move(m_renderer);
            m_renderer = std::move(renderer);
            if (m_renderer && m_bFresh && m_renderer->RenderI420(m_latest)) m_renderer->WindowObject().RequestRedraw();
        }
    }
    // Destroying a renderer waits for a drawing pass: not under the lock the decoder takes.
    previous.reset();
}

OvHwnd RemoteVideoChannel::Window() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_window;
}

bool RemoteVideoChannel::Drawing() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_renderer != nullptr;
}

bool RemoteVideoChannel::TakePicture(I420Frame* picture) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_bFresh) return false;
    std::swap(*picture, m_latest);
    m_bFresh = false;
    return true;
}

uint64_t RemoteVideoChannel::Decoded() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_nDecoded;
}

void RemoteVideoChannel::Close() {
    std::unique_ptr<WindowRenderer> renderer;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_bClosed = true;
        renderer = std::move(m_renderer);
    }
}

RemoteAudioChannel::RemoteAudioChannel(std::unique_ptr<IAudioPlayout> playout) : m_playout(std::move(playout)) {}

int RemoteAudioChannel::Play(const unsigned char* data, int len) {
    // Header, AAC packet type, and at least one byte of configuration or frame.
    if (!data || len < kRemoteHeaderSize + 2 || len > kMaxRemotePacket) return -1;
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_bClosed) return -1;
    const uint8_t type = data[kRemoteHeaderSize];
    const uint8_t* payload = data + kRemoteHeaderSize + 1;
    const int size = len - kRemoteHeaderSize - 1;
    if (type == 0) {
        if (!m_decoder.Configure(payload, size)) {
            OV_LOG("RemoteAudio: AAC configuration refused (%d bytes)", size);
            return -1;
        }
        return 0;
    }
    if (type != 1 || !m_decoder.Configured()) return -1;
    int channels = 0;
    int rate = 0;
    if (m_decoder.Decode(payload, size, &m_pcm, &channels, &rate) && m_playout) {
        m_playout->Play(m_pcm.data(), static_cast<int>(m_pcm.size()) / channels, channels, rate);
    }
    return 0;
}

void RemoteAudioChannel::Close() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_bClosed = true;
    m_playout.reset();
}

RemoteChannels::RemoteChannels(std::unique_ptr<IAudioPlayoutFactory> playouts) : m_playouts(std::move(playouts)) {}

void RemoteChannels::SetWindowOpener(WindowOpener opener) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_opener = std::move(opener);
}

std::unique_ptr<WindowRenderer> RemoteChannels::OpenWindow(OvHwnd window) {
    WindowOpener opener;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        opener = m_opener;
    }
    return window && opener ? opener(window) : nullptr;
}

int RemoteChannels::CreateVideo(uint64_t* id, OvHwnd window) {
    if (!id) return -1;
    std::unique_ptr<WindowRenderer> renderer = OpenWindow(window);
    const bool drawing = renderer != nullptr;
    auto channel = std::make_shared<RemoteVideoChannel>(window, std::move(renderer));
    std::lock_guard<std::mutex> lock(m_lock);
    *id = m_nNextId++;
    m_video.Set(*id, channel);
    if (window && m_opener && !drawing)
        OV_LOG("RemoteVideo %llu: window 0x%lx cannot be drawn into; decoding only",
               static_cast<unsigned long long>(*id), static_cast<unsigned long>(window));
    return 0;
}

int RemoteChannels::CloseVideo(uint64_t id) {
    std::shared_ptr<RemoteVideoChannel> channel = m_video.Remove(id);
    if (!channel) return -1;
    channel->Close();
    return 0;
}

int RemoteChannels::ChangeVideoWindow(uint64_t id, OvHwnd window) {
    auto channel = FindVideo(id);
    if (!channel) return -1;
    bool withOpener;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        withOpener = static_cast<bool>(m_opener);
    }
    if (!window || !withOpener) {
        channel->SetWindow(window);
        return 0;
    }
    if (channel->Window() == window && channel->Drawing()) return 0;
    std::unique_ptr<WindowRenderer> renderer = OpenWindow(window);
    if (!renderer) {
        OV_LOG("RemoteVideo %llu: window 0x%lx cannot be drawn into; the old one stays",
               static_cast<unsigned long long>(id), static_cast<unsigned long>(window));
        return -1;
    }
    channel->SetWindow(window, std::move(renderer));
    return 0;
}

int RemoteChannels::PlayVideo(uint64_t id, const unsigned char* data, int len) {
    auto channel = FindVideo(id);
    return channel ? channel->Play(data, len) : -1;
}

std::shared_ptr<RemoteVideoChannel> RemoteChannels::FindVideo(uint64_t id) { return m_video.Find(id); }

int RemoteChannels::CreateAudio(uint64_t* id) {
    if (!id) return -1;
    std::unique_ptr<IAudioPlayout> playout = m_playouts ? m_playouts->Create() : nullptr;
    auto channel = std::make_shared<RemoteAudioChannel>(std::move(playout));
    std::lock_guard<std::mutex> lock(m_lock);
    *id = m_nNextId++;
    m_audio.Set(*id, channel);
    return 0;
}

int RemoteChannels::CloseAudio(uint64_t id) {
    std::shared_ptr<RemoteAudioChannel> channel = m_audio.Remove(id);
    if (!channel) return -1;
    channel->Close();
    return 0;
}

int RemoteChannels::PlayAudio(uint64_t id, const unsigned char* data, int len) {
    std::shared_ptr<RemoteAudioChannel> channel = m_audio.Find(id);
    return channel ? channel->Play(data, len) : -1;
}

}  // namespace mediatap
