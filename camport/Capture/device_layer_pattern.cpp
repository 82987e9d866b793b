#include "Capture/device_layer_pattern.h"

#include "Capture/streaming_device.h"
#include "common/slogger.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

namespace Orvane {
namespace camdev {

struct PatternDeviceLayer::Shared {
    std::mutex lock;
    SampleObserver observer;
};

namespace {

constexpr size_t kMaxCachedFrames = 10;
constexpr size_t kMaxCachedBytes = 64u << 20;

struct TypeName {
    const char* name;
    uint32_t subtype;
};
const TypeName kTypeNames[] = {
    {"I420", kSubtypeI420}, {"IYUV", kSubtypeIYUV},   {"YUY2", kSubtypeYUY2},   {"UYVY", kSubtypeUYVY},
    {"HDYC", kSubtypeHDYC}, {"RGB24", kSubtypeRGB24}, {"RGB565", kSubtypeRGB565}, {"MJPG", kSubtypeMJPG},
    {"NV12", kSubtypeNV12},
};

bool ParseFormat(const std::string& text, PatternFormat& out) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    const std::string type = text.substr(0, colon);
    bool known = false;
    for (const TypeName& t : kTypeNames)
        if (type == t.name) {
            out.subtype = t.subtype;
            known = true;
        }
    if (!known) return false;
    int w = 0, h = 0, fps = 0;
    char x = 0, at = 0;
    std::istringstream in(text.substr(colon + 1));
    if (!(in >> w >> x >> h >> at >> fps) || x != 'x' || at != '@' || w <= 0 || h <= 0 || fps <= 0 || w > 16384 ||
        h > 16384)
        return false;
    out.width = w;
    out.height = h;
    out.interval = 10000000 / fps;
    return true;
}

AVPixelFormat PixelFormatOf(uint32_t subtype) {
    switch (subtype) {
    case kSubtypeYUY2: return AV_PIX_FMT_YUYV422;
    case kSubtypeUYVY:
    case kSubtypeHDYC: return AV_PIX_FMT_UYVY422;
    case kSubtypeI420:
    case kSubtypeIYUV: return AV_PIX_FMT_YUV420P;
    case kSubtypeNV12: return AV_PIX_FMT_NV12;
    case kSubtypeRGB565: return AV_PIX_FMT_RGB565LE;
    case kSubtypeRGB24: return AV_PIX_FMT_BGR24;
    case kSubtypeMJPG: return AV_PIX_FMT_YUV420P;  // encoded as full-range JPEG
    default: return AV_PIX_FMT_NONE;
    }
}

// Decodes up to kMaxCachedFrames frames of a file and renders each in one format.
class PatternRenderer {
public:
    ~PatternRenderer() {
        sws_freeContext(m_sws);
        av_frame_free(&m_target);
        avcodec_free_context(&m_encoder);
    }

    bool Render(const std::string& file, const MediaType& type, std::vector<std::vector<uint8_t>>& frames) {
        m_type = type;
        m_width = type.width;
        m_height = type.height < 0 ? -type.height : type.height;
        m_pixfmt = PixelFormatOf(type.subtype);
        if (m_pixfmt == AV_PIX_FMT_NONE || m_width <= 0 || m_height <= 0) return false;
        if (type.subtype == kSubtypeMJPG && !OpenEncoder()) return false;
        m_target = av_frame_alloc();
        if (!m_target) return false;
        m_target->format = m_pixfmt;
        m_target->width = m_width;
        m_target->height = m_height;
        if (av_frame_get_buffer(m_target, 0) < 0) return false;

        AVFormatContext* input = nullptr;
        if (avformat_open_input(&input, file.c_str(), nullptr, nullptr) < 0) {
            OV_LOG("Pattern camera cannot open %s", file.c_str());
            return false;
        }
        bool ok = DecodeAll(input, frames);
        avformat_close_input(&input);
        return ok && !frames.empty();
    }

private:
    bool OpenEncoder() {
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
        if (!codec) return false;
        m_encoder = avcodec_alloc_context3(codec);
        if (!m_encoder) return false;
        m_encoder->width = m_width;
        m_encoder->height = m_height;
        m_encoder->pix_fmt = AV_PIX_FMT_YUV420P;
        m_encoder->color_range = AVCOL_RANGE_JPEG;
        m_encoder->time_base = AVRational{1, 30};
        m_encoder->flags |= AV_CODEC_FLAG_QSCALE;
        m_encoder->global_quality = FF_QP2LAMBDA * 3;
        return avcodec_open2(m_encoder, codec, nullptr) >= 0;
    }

    bool DecodeAll(AVFormatContext* input, std::vector<std::vector<uint8_t>>& frames) {
        if (avformat_find_stream_info(input, nullptr) < 0) return false;
        const AVCodec* codec = nullptr;
        const int stream = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
        if (stream < 0 || !codec) return false;
        AVCodecContext* decoder = avcodec_alloc_context3(codec);
        AVPacket* packet = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        bool ok = decoder && packet && frame &&
                  avcodec_parameters_to_context(decoder, input->streams[stream]->codecpar) >= 0 &&
                  avcodec_open2(decoder, codec, nullptr) >= 0;
        size_t bytes = 0;
        auto drain = [&]() {
            while (ok && frames.size() < kMaxCachedFrames && bytes < kMaxCachedBytes &&
                   avcodec_receive_frame(decoder, frame) >= 0) {
                std::vector<uint8_t> out;
                if (!Convert(frame, out)) ok = false;
                bytes += out.size();
                if (ok) frames.push_back(std::move(out));
                av_frame_unref(frame);
            }
        };
        bool eof = false;
        while (ok && !eof && frames.size() < kMaxCachedFrames && bytes < kMaxCachedBytes) {
            const int rc = av_read_frame(input, packet);
            if (rc < 0) {
                eof = true;
                avcodec_send_packet(decoder, nullptr);
            } else {
                if (packet->stream_index == stream) avcodec_send_packet(decoder, packet);
                av_packet_unref(packet);
            }
            drain();
        }
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&decoder);
        return ok;
    }

    bool Convert(const AVFrame* frame, std::vector<uint8_t>& out) {
        m_sws = sws_getCachedContext(m_sws, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                     m_width, m_height, m_pixfmt, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!m_sws || av_frame_make_writable(m_target) < 0) return false;
        sws_scale(m_sws, frame->data, frame->linesize, 0, frame->height, m_target->data, m_target->linesize);
        if (m_encoder) return Encode(out);
        const int size = av_image_get_buffer_size(m_pixfmt, m_width, m_height, 1);
        if (size <= 0) return false;
        out.resize(static_cast<size_t>(size));
        if (av_image_copy_to_buffer(out.data(), size, m_target->data, m_target->linesize, m_pixfmt, m_width,
                                    m_height, 1) < 0)
            return false;
        if (m_type.subtype == kSubtypeRGB24 && m_type.height > 0) {
            // A positive height is a bottom-up image: the last row comes first.
            const size_t row = static_cast<size_t>(m_width) * 3;
            std::vector<uint8_t> tmp(row);
            for (int top = 0, bottom = m_height - 1; top < bottom; ++top, --bottom) {
                std::memcpy(tmp.data(), &out[row * top], row);
                std::memcpy(&out[row * top], &out[row * bottom], row);
                std::memcpy(&out[row * bottom], tmp.data(), row);
            }
        }
        return true;
    }

    bool Encode(std::vector<uint8_t>& out) {
        m_target->pts = m_pts++;
        if (avcodec_send_frame(m_encoder, m_target) < 0) return false;
        AVPacket* packet = av_packet_alloc();
        if (!packet) return false;
        const bool ok = avcodec_receive_packet(m_encoder, packet) >= 0;
        if (ok) out.assign(packet->data, packet->data + packet->size);
        av_packet_free(&packet);
        return ok;
    }

    MediaType m_type;
    int m_width = 0, m_height = 0;
    AVPixelFormat m_pixfmt = AV_PIX_FMT_NONE;
    SwsContext* m_sws = nullptr;
    AVFrame* m_target = nullptr;
    AVCodecContext* m_encoder = nullptr;
    int64_t m_pts = 0;
};

class PatternCaptureDevice : public StreamingCaptureDevice {
public:
    PatternCaptureDevice(const PatternCamera& camera, std::shared_ptr<PatternDeviceLayer::Shared> shared)
        : m_camera(camera), m_shared(std::move(shared)) {
        for (const PatternFormat& f : camera.formats) m_formats.push_back(MediaTypeOfPatternFormat(f));
    }
    ~PatternCaptureDevice() override { Shutdown(); }

    HResult GetStreamCaps(int index, MediaType& out) override {
        if (index == m_camera.failStreamCapsAt) return kE_FAIL;
        return StreamingCaptureDevice::GetStreamCaps(index, out);
    }
    bool HasVideoControl() override { return m_camera.offerFrameRates; }
    HResult GetMaxAvailableFrameRate(int index, int, int, std::vector<int64_t>& intervals) override {
        intervals.clear();
        if (!m_camera.offerFrameRates || index < 0 || index >= static_cast<int>(m_formats.size())) return kE_FAIL;
        const int64_t interval = m_camera.formats[static_cast<size_t>(index)].interval;
        if (interval > 0) intervals.push_back(interval);
        return kS_OK;
    }

protected:
    HResult OpenStream(const MediaType& type) override {
        m_frames.clear();
        PatternRenderer renderer;
        if (!renderer.Render(m_camera.file, type, m_frames)) {
            m_frames.clear();
            return kE_FAIL;
        }
        m_type = type;
        m_interval = std::chrono::microseconds(type.avgTimePerFrame > 0 ? type.avgTimePerFrame / 10 : 33333);
        m_next = std::chrono::steady_clock::now();
        m_index = 0;
        return kS_OK;
    }

    int ReadSample(Sample& out) override {
        const auto now = std::chrono::steady_clock::now();
        if (now < m_next) {
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(m_next - now,
                                                                                      std::chrono::milliseconds(50)));
            if (std::chrono::steady_clock::now() < m_next) return 0;
        }
        // Keep the schedule, but do not try to catch up after a long stall.
        m_next += m_interval;
        if (m_next < std::chrono::steady_clock::now()) m_next = std::chrono::steady_clock::now() + m_interval;
        const std::vector<uint8_t>& frame = m_frames[m_index];
        m_index = (m_index + 1) % m_frames.size();
        out.data = frame.data();
        out.length = static_cast<int32_t>(frame.size());
        PatternDeviceLayer::SampleObserver observer;
        {
            std::lock_guard<std::mutex> lock(m_shared->lock);
            observer = m_shared->observer;
        }
        if (observer) observer(m_type, out.data, out.length);
        return 1;
    }

    void CloseStream() override { m_frames.clear(); }

private:
    PatternCamera m_camera;
    std::shared_ptr<PatternDeviceLayer::Shared> m_shared;
    std::vector<std::vector<uint8_t>> m_frames;  // streaming thread while running
    MediaType m_type;
    size_t m_index = 0;
    std::chrono::steady_clock::duration m_interval{};
    std::chrono::steady_clock::time_point m_next;
};

class PatternMoniker : public IDeviceMoniker {
public:
    PatternMoniker(const PatternCamera& camera, std::shared_ptr<PatternDeviceLayer::Shared> shared)
        : m_camera(camera), m_shared(std::move(shared)) {}

    bool ReadProperty(const char* name, std::string& utf8) override {
        const std::string* value = nullptr;
        if (std::strcmp(name, "FriendlyName") == 0) value = &m_camera.friendlyName;
        if (std::strcmp(name, "Description") == 0) value = &m_camera.description;
        if (std::strcmp(name, "DevicePath") == 0) value = &m_camera.devicePath;
        if (!value || value->empty()) return false;
        utf8 = *value;
        return true;
    }

    std::unique_ptr<ICaptureDevice> Bind(HResult& hr) override {
        hr = kS_OK;
        return std::unique_ptr<ICaptureDevice>(new PatternCaptureDevice(m_camera, m_shared));
    }

private:
    PatternCamera m_camera;
    std::shared_ptr<PatternDeviceLayer::Shared> m_shared;
};

}  // namespace

bool ParsePatternCameras(const std::string& list, std::vector<PatternCamera>& out) {
    out.clear();
    std::istringstream cameras(list);
    std::string entry;
    while (std::getline(cameras, entry, '|')) {
        std::istringstream parts(entry);
        std::string part;
        PatternCamera camera;
        if (!std::getline(parts, camera.file, ',') || camera.file.empty()) return false;
        while (std::getline(parts, part, ',')) {
            PatternFormat format;
            if (!ParseFormat(part, format)) return false;
            camera.formats.push_back(format);
        }
        if (camera.formats.empty()) camera.formats.push_back(PatternFormat());
        const std::string n = std::to_string(out.size());
        camera.friendlyName = "Pattern Camera " + n;
        camera.description = camera.friendlyName;
        camera.devicePath = "pattern:" + n + ":" + camera.file;
        out.push_back(std::move(camera));
    }
    return !out.empty();
}

MediaType MediaTypeOfPatternFormat(const PatternFormat& f) {
    MediaType mt;
    mt.video = f.videoMajor;
    mt.formatType = f.formatType;
    mt.subtype = f.subtype;
    mt.width = f.width;
    mt.height = f.height;
    mt.avgTimePerFrame = f.interval;
    mt.interlaceFlags = f.interlaceFlags;
    const int64_t w = f.width, h = f.height < 0 ? -static_cast<int64_t>(f.height) : f.height;
    switch (f.subtype) {
    case kSubtypeRGB24:
        mt.compression = 0;
        mt.bitCount = 24;
        mt.imageSize = static_cast<uint32_t>(w * h * 3);
        break;
    case kSubtypeRGB565:
        mt.compression = 3;  // bit fields
        mt.bitCount = 16;
        mt.imageSize = static_cast<uint32_t>(w * h * 2);
        break;
    case kSubtypeYUY2:
    case kSubtypeUYVY:
    case kSubtypeHDYC:
        mt.compression = f.subtype;
        mt.bitCount = 16;
        mt.imageSize = static_cast<uint32_t>((w + 1) / 2 * 4 * h);
        break;
    default:
        mt.compression = f.subtype;
        mt.bitCount = 12;
        mt.imageSize = static_cast<uint32_t>(w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2));
        mt.temporalCompression = false;
        break;
    }
    return mt;
}

PatternDeviceLayer::PatternDeviceLayer(std::vector<PatternCamera> cameras) : m_shared(std::make_shared<Shared>()) {
    m_cameras = std::move(cameras);
}

PatternDeviceLayer::~PatternDeviceLayer() = default;

HResult PatternDeviceLayer::EnumerateVideoInputs(std::vector<std::unique_ptr<IDeviceMoniker>>& out) {
    out.clear();
    for (const PatternCamera& camera : m_cameras)
        out.push_back(std::unique_ptr<IDeviceMoniker>(new PatternMoniker(camera, m_shared)));
    return out.empty() ? kS_FALSE : kS_OK;
}

void PatternDeviceLayer::SetSampleObserver(SampleObserver observer) {
    std::lock_guard<std::mutex> lock(m_shared->lock);
    m_shared->observer = std::move(observer);
}

}  // namespace camdev
}  // namespace Orvane
