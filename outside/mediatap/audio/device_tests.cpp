#include "device_tests.h"

#include "audio_dsp.h"
#include "common/slogger.h"
#include "common/util.h"

#include <chrono>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace mediatap {
namespace audio {
namespace {

constexpr int64_t kPeakHoldUs = 150000;

std::string AvError(int rc) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(rc, text, sizeof text);
    return text;
}

}  // namespace

// ---- microphone test ----

struct MicLevelTest::Meter {
    std::mutex lock;
    int channels = 1;
    float peak = 0.0f;
    int64_t peakUs = 0;
};

bool MicLevelTest::Start(const std::string& source) {
    Stop();
    if (!m_server || source.empty()) return false;
    auto meter = std::make_shared<Meter>();
    SampleFormat format;
    m_stream = m_server->OpenCapture(source, &format, [meter](const float* samples, int frames) {
        const int64_t now = Orvane::Common::ovMonotonicUs();
        std::lock_guard<std::mutex> lock(meter->lock);
        const float peak = PeakOf(samples, static_cast<size_t>(frames) * static_cast<size_t>(meter->channels));
        if (peak >= meter->peak || now - meter->peakUs > kPeakHoldUs) {
            meter->peak = peak;
            meter->peakUs = now;
        }
    });
    if (!m_stream) return false;
    {
        std::lock_guard<std::mutex> lock(meter->lock);
        meter->channels = format.channels > 0 ? format.channels : 1;
    }
    std::atomic_store(&m_meter, meter);
    return true;
}

void MicLevelTest::Stop() {
    m_stream.reset();
    std::atomic_store(&m_meter, std::shared_ptr<Meter>());
}

int MicLevelTest::Level() {
    std::shared_ptr<Meter> meter = std::atomic_load(&m_meter);
    if (!meter) return 0;
    std::lock_guard<std::mutex> lock(meter->lock);
    if (Orvane::Common::ovMonotonicUs() - meter->peakUs > 2 * kPeakHoldUs) return 0;
    return PeakToLevel(meter->peak);
}

// ---- speaker test ----

struct SpeakerFileTest::Player {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    SwrContext* swr = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int stream = -1;
    SampleFormat out;
    std::unique_ptr<IPlaybackStream> playback;
    std::vector<float> pending;  // converted, not yet written
    size_t pendingPos = 0;
    bool ended = false;

    ~Player() {
        playback.reset();
        av_frame_free(&frame);
        av_packet_free(&packet);
        swr_free(&swr);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }

    // Opens the file and its decoder; error text on failure.
    std::string Open(const std::string& file) {
        int rc = avformat_open_input(&format, file.c_str(), nullptr, nullptr);
        if (rc < 0) return "cannot open: " + AvError(rc);
        rc = avformat_find_stream_info(format, nullptr);
        if (rc < 0) return "cannot read: " + AvError(rc);
        const AVCodec* decoder = nullptr;
        stream = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
        if (stream < 0 || !decoder) return "no audio stream";
        codec = avcodec_alloc_context3(decoder);
        if (!codec) return "out of memory";
        if (avcodec_parameters_to_context(codec, format->streams[stream]->codecpar) < 0) return "bad stream";
        rc = avcodec_open2(codec, decoder, nullptr);
        if (rc < 0) return "cannot decode: " + AvError(rc);
        if (codec->sample_rate <= 0 || codec->ch_layout.nb_channels <= 0) return "no sample format";
        out.rate = codec->sample_rate;
        out.channels = codec->ch_layout.nb_channels >= 2 ? 2 : 1;
        AVChannelLayout outLayout;
        av_channel_layout_default(&outLayout, out.channels);
        rc = swr_alloc_set_opts2(&swr, &outLayout, AV_SAMPLE_FMT_FLT, out.rate, &codec->ch_layout, codec->sample_fmt,
                                 codec->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&outLayout);
        if (rc < 0 || swr_init(swr) < 0) return "cannot convert its samples";
        packet = av_packet_alloc();
        frame = av_frame_alloc();
        if (!packet || !frame) return "out of memory";
        return {};
    }

    // Decodes until some samples are pending or the file ends; false on a decoding error.
    bool Decode() {
        while (!ended) {
            int rc = avcodec_receive_frame(codec, frame);
            if (rc == 0) {
                const int room = swr_get_out_samples(swr, frame->nb_samples);
                if (room <= 0) continue;
                std::vector<float> converted(static_cast<size_t>(room) * out.channels);
                uint8_t* planes[1] = {reinterpret_cast<uint8_t*>(converted.data())};
                const int made =
                    swr_convert(swr, planes, room, const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
                av_frame_unref(frame);
                if (made < 0) return false;
                converted.resize(static_cast<size_t>(made) * out.channels);
                pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(pendingPos));
                pendingPos = 0;
                pending.insert(pending.end(), converted.begin(), converted.end());
                if (!pending.empty()) return true;
                continue;
            }
            if (rc == AVERROR_EOF) {
                ended = true;
                return true;
            }
            if (rc != AVERROR(EAGAIN)) return false;
            rc = av_read_frame(format, packet);
            if (rc < 0) {
                avcodec_send_packet(codec, nullptr);  // drain the decoder
                continue;
            }
            if (packet->stream_index == stream) rc = avcodec_send_packet(codec, packet);
            av_packet_unref(packet);
            if (rc < 0 && rc != AVERROR(EAGAIN) && rc != AVERROR_INVALIDDATA) return false;
        }
        return true;
    }
};

SpeakerFileTest::SpeakerFileTest(ISoundServer* server) : m_server(server) {}
SpeakerFileTest::~SpeakerFileTest() { Stop(); }

bool SpeakerFileTest::Start(const std::string& sink, const std::string& file) {
    Stop();
    if (!m_server || file.empty()) {
        OV_LOG("speaker test: no file or no sound server");
        return false;
    }
    auto player = std::make_unique<Player>();
    std::string error = player->Open(file);
    if (error.empty() && (!player->Decode() || (player->ended && player->pending.empty()))) error = "no decodable audio";
    if (!error.empty()) {
        OV_LOG("speaker test: \"%s\": %s", file.c_str(), error.c_str());
        return false;
    }
    player->playback = m_server->OpenPlayback(sink, player->out);
    if (!player->playback) {
        OV_LOG("speaker test: cannot play to \"%s\"", sink.c_str());
        return false;
    }
    m_player = std::move(player);
    m_stop = false;
    m_level = 0;
    m_thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "speaker_test");
        Player& p = *m_player;
        const size_t channels = static_cast<size_t>(p.out.channels);
        // Levels of what was written, in order, so the level shown follows what is heard.
        while (!m_stop) {
            if (p.pendingPos >= p.pending.size()) {
                if (p.ended) break;
                if (!p.Decode()) {
                    OV_LOG("speaker test: decoding failed; playback ends");
                    break;
                }
                continue;
            }
            int writable = p.playback->WritableFrames();
            if (writable < 0) break;
            if (writable == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            const size_t left = (p.pending.size() - p.pendingPos) / channels;
            const size_t n = std::min(left, static_cast<size_t>(writable));
            const float* data = p.pending.data() + p.pendingPos;
            if (!p.playback->Write(data, static_cast<int>(n))) break;
            m_level = PeakToLevel(PeakOf(data, n * channels));
            p.pendingPos += n * channels;
        }
        // Let the last buffered sound be heard before the level drops.
        for (int i = 0; i < 20 && !m_stop; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        m_level = 0;
    });
    return true;
}

void SpeakerFileTest::Stop() {
    if (m_thread.joinable()) {
        m_stop = true;
        m_thread.join();
    }
    m_player.reset();
    m_level = 0;
}

}  // namespace audio
}  // namespace mediatap
