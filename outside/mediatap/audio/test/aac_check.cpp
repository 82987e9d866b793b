#include "aac_check.h"

#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace audiotest {

Decoded DecodeAac(const std::vector<uint8_t>& config, const std::vector<std::vector<uint8_t>>& frames) {
    Decoded out;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    AVCodecContext* c = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!c) {
        out.error = "no decoder";
        return out;
    }
    c->extradata = static_cast<uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::copy(config.begin(), config.end(), c->extradata);
    c->extradata_size = static_cast<int>(config.size());
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (avcodec_open2(c, codec, nullptr) < 0) {
        out.error = "decoder refused the configuration";
    } else {
        out.ok = true;
        for (const auto& data : frames) {
            if (av_new_packet(packet, static_cast<int>(data.size())) < 0) break;
            std::copy(data.begin(), data.end(), packet->data);
            if (avcodec_send_packet(c, packet) < 0) {
                out.ok = false;
                out.error = "a frame did not decode";
            }
            av_packet_unref(packet);
            while (avcodec_receive_frame(c, frame) == 0) {
                ++out.frames;
                out.rate = frame->sample_rate;
                out.channels = frame->ch_layout.nb_channels;
                const float* plane = reinterpret_cast<const float*>(frame->extended_data[0]);
                if (frame->format == AV_SAMPLE_FMT_FLTP)
                    out.samples.insert(out.samples.end(), plane, plane + frame->nb_samples);
                av_frame_unref(frame);
            }
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&c);
    return out;
}

double ToneAmplitude(const std::vector<float>& samples, int rate, double hz, size_t from) {
    if (samples.size() <= from || rate <= 0) return 0;
    double re = 0, im = 0;
    const size_t n = samples.size() - from;
    for (size_t i = 0; i < n; ++i) {
        const double phase = 2 * M_PI * hz * static_cast<double>(i) / rate;
        re += samples[from + i] * std::cos(phase);
        im += samples[from + i] * std::sin(phase);
    }
    return 2 * std::sqrt(re * re + im * im) / static_cast<double>(n);
}

double ZeroCrossingHz(const std::vector<float>& samples, int rate, size_t from) {
    if (samples.size() <= from + 1) return 0;
    size_t crossings = 0;
    for (size_t i = from + 1; i < samples.size(); ++i)
        if (samples[i - 1] < 0 && samples[i] >= 0) ++crossings;
    return static_cast<double>(crossings) * rate / static_cast<double>(samples.size() - from);
}

double Rms(const std::vector<float>& samples, size_t from) {
    if (samples.size() <= from) return 0;
    double sum = 0;
    for (size_t i = from; i < samples.size(); ++i) sum += samples[i] * samples[i];
    return std::sqrt(sum / static_cast<double>(samples.size() - from));
}

int RecordingAudioSink::OnMixerAudioData(const char* uniName, const unsigned char* data, int len) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_headerCount == 0) m_framesBeforeHeader = true;
    m_frames.push_back({std::vector<uint8_t>(data, data + len), std::chrono::steady_clock::now()});
    m_name = uniName ? uniName : "";
    return 0;
}

int RecordingAudioSink::OnMixerAudioHeaderData(const char*, char* header, int len) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_header.assign(header, header + len);
    ++m_headerCount;
    return 0;
}

std::vector<uint8_t> RecordingAudioSink::Header() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_header;
}
int RecordingAudioSink::HeaderCount() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_headerCount;
}
bool RecordingAudioSink::FramesBeforeHeader() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_framesBeforeHeader;
}
std::vector<std::vector<uint8_t>> RecordingAudioSink::Frames(size_t skip) {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::vector<uint8_t>> out;
    for (size_t i = skip; i < m_frames.size(); ++i) out.push_back(m_frames[i].data);
    return out;
}
std::vector<MixerFrame> RecordingAudioSink::TimedFrames() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_frames;
}
size_t RecordingAudioSink::FrameCount() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_frames.size();
}
std::string RecordingAudioSink::LastName() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_name;
}
void RecordingAudioSink::Clear() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_frames.clear();
    m_headerCount = 0;
    m_header.clear();
    m_framesBeforeHeader = false;
}

}  // namespace audiotest
