#include "support/av_marks.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

namespace testsupport {
namespace {

constexpr int kRate = 48000;
constexpr int kChunk = kRate / 200;  // 5 ms
constexpr float kLoud = 0.1f;
constexpr double kQuietMs = 200;

struct Decoder {
    AVCodecContext* ctx = nullptr;
    int index = -1;
    ~Decoder() { avcodec_free_context(&ctx); }
    bool Open(AVFormatContext* fmt, AVMediaType type) {
        index = av_find_best_stream(fmt, type, -1, -1, nullptr, 0);
        if (index < 0) return false;
        const AVCodec* codec = avcodec_find_decoder(fmt->streams[index]->codecpar->codec_id);
        ctx = avcodec_alloc_context3(codec);
        if (!ctx || avcodec_parameters_to_context(ctx, fmt->streams[index]->codecpar) < 0) return false;
        ctx->pkt_timebase = fmt->streams[index]->time_base;
        return avcodec_open2(ctx, codec, nullptr) >= 0;
    }
};

// Looks at one decoded frame.
class Scanner {
public:
    explicit Scanner(AvMarks* marks) : m_marks(marks) {}
    void Video(const AVFrame* f, double ms) {
        // Plane 0 is the luma of every planar YUV format.
        const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
        if (!d || (d->flags & AV_PIX_FMT_FLAG_RGB) || !(d->flags & AV_PIX_FMT_FLAG_PLANAR) || d->comp[0].depth != 8) return;
        double sum = 0;
        for (int y = 0; y < f->height; ++y)
            for (int x = 0; x < f->width; ++x) sum += f->data[0][y * f->linesize[0] + x];
        m_luma.push_back({ms, sum / (static_cast<double>(f->width) * f->height)});
    }
    void Audio(const AVFrame* f, double ms) {
        if (f->format != AV_SAMPLE_FMT_FLTP && f->format != AV_SAMPLE_FMT_FLT) return;
        const int channels = f->ch_layout.nb_channels;
        for (int i = 0; i < f->nb_samples; ++i) {
            const float* p = reinterpret_cast<const float*>(f->data[0]);
            const float v = f->format == AV_SAMPLE_FMT_FLTP ? p[i] : p[i * channels];
            const double t = ms + i * 1000.0 / f->sample_rate;
            if (std::fabs(v) > kLoud) {
                if (t - m_lastLoudMs >= kQuietMs) {
                    m_marks->onsetsMs.push_back(t);
                    m_marks->onsetFramesMs.push_back(ms);
                }
                m_lastLoudMs = t;
            }
        }
    }
    // The crossings, once every frame is in.
    void Finish() {
        if (m_luma.size() < 2) return;
        double low = m_luma[0].second, high = low;
        for (const auto& l : m_luma) {
            low = std::min(low, l.second);
            high = std::max(high, l.second);
        }
        if (high - low < 64) return;  // no flash at all
        const double mid = (low + high) / 2;
        for (size_t i = 1; i < m_luma.size(); ++i) {
            const auto& a = m_luma[i - 1];
            const auto& b = m_luma[i];
            if (a.second < mid && b.second >= mid) {
                m_marks->flashesMs.push_back(a.first + (mid - a.second) / (b.second - a.second) * (b.first - a.first));
                m_marks->flashFramesMs.push_back(b.first);
            }
        }
    }

private:
    AvMarks* m_marks;
    std::vector<std::pair<double, double>> m_luma;  // frame time, mean luma
    double m_lastLoudMs = -1e9;
};

}  // namespace

int64_t MonotonicNowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

AvMarks FindAvMarks(const std::string& path) {
    AvMarks marks;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) {
        marks.error = "cannot open " + path;
        return marks;
    }
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> closer(fmt, [](AVFormatContext* f) {
        avformat_close_input(&f);
    });
    if (avformat_find_stream_info(fmt, nullptr) < 0) {
        marks.error = "no stream info in " + path;
        return marks;
    }
    Decoder video, audio;
    if (!video.Open(fmt, AVMEDIA_TYPE_VIDEO) || !audio.Open(fmt, AVMEDIA_TYPE_AUDIO)) {
        marks.error = "no decodable video and audio in " + path;
        return marks;
    }
    Scanner scanner(&marks);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&](Decoder& d) {
        while (avcodec_receive_frame(d.ctx, frame) >= 0) {
            const int64_t pts = frame->best_effort_timestamp;
            const double ms = pts == AV_NOPTS_VALUE ? 0 : pts * av_q2d(fmt->streams[d.index]->time_base) * 1000;
            if (&d == &video) scanner.Video(frame, ms);
            else scanner.Audio(frame, ms);
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(fmt, packet) >= 0) {
        Decoder* d = packet->stream_index == video.index ? &video : packet->stream_index == audio.index ? &audio : nullptr;
        if (d && avcodec_send_packet(d->ctx, packet) >= 0) drain(*d);
        av_packet_unref(packet);
    }
    for (Decoder* d : {&video, &audio}) {
        avcodec_send_packet(d->ctx, nullptr);
        drain(*d);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    scanner.Finish();
    return marks;
}

std::vector<double> AvOffsets(const AvMarks& marks, double maxMs) {
    std::vector<double> out;
    for (double flash : marks.flashesMs) {
        double best = maxMs + 1;
        for (double onset : marks.onsetsMs)
            if (std::fabs(onset - flash) < std::fabs(best)) best = onset - flash;
        if (std::fabs(best) <= maxMs) out.push_back(best);
    }
    return out;
}

bool ToneCue::Start(const std::string& sink) {
    Stop();
    pa_sample_spec format{PA_SAMPLE_FLOAT32LE, kRate, 1};
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(20000, &format));
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(pa_usec_to_bytes(5000, &format));
    attr.fragsize = static_cast<uint32_t>(-1);
    int error = 0;
    m_stream = pa_simple_new(nullptr, "tone-cue", PA_STREAM_PLAYBACK, sink.empty() ? nullptr : sink.c_str(), "cue",
                             &format, nullptr, &attr, &error);
    if (!m_stream) return false;
    m_stop = false;
    m_atUs.clear();
    m_thread = std::thread([this] { Run(); });
    return true;
}

void ToneCue::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    if (m_thread.joinable()) m_thread.join();
    if (m_stream) pa_simple_free(m_stream);
    m_stream = nullptr;
}

void ToneCue::Schedule(const std::vector<int64_t>& atUs, int ms) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_atUs = atUs;
    m_toneMs = ms;
}

void ToneCue::Run() {
    std::vector<float> chunk(kChunk);
    for (;;) {
        std::vector<int64_t> atUs;
        int64_t toneUs;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_stop) break;
            atUs = m_atUs;
            toneUs = m_toneMs * 1000LL;
        }
        // Everything written so far plays first: this chunk starts when the latency has passed.
        int error = 0;
        const int64_t startUs = MonotonicNowUs() + static_cast<int64_t>(pa_simple_get_latency(m_stream, &error));
        for (int i = 0; i < kChunk; ++i) {
            const int64_t t = startUs + static_cast<int64_t>(i) * 1000000 / kRate;
            float v = 0.0f;
            for (int64_t at : atUs) {
                if (t >= at && t < at + toneUs)
                    v = static_cast<float>(0.5 * std::sin(2 * M_PI * 1000.0 * static_cast<double>(t - at) / 1e6));
            }
            chunk[i] = v;
        }
        if (pa_simple_write(m_stream, chunk.data(), chunk.size() * sizeof(float), &error) < 0) break;
    }
}

}  // namespace testsupport
