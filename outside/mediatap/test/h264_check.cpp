#include "h264_check.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cmath>
#include <cstdio>

namespace mediatap_test {

struct Decoder::Impl {
    AVCodecContext* ctx = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
};

Decoder::Decoder() : m_impl(new Impl) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    m_impl->ctx = avcodec_alloc_context3(codec);
    m_impl->ctx->thread_count = 1;
    avcodec_open2(m_impl->ctx, codec, nullptr);
    m_impl->frame = av_frame_alloc();
    m_impl->packet = av_packet_alloc();
}

Decoder::~Decoder() {
    av_packet_free(&m_impl->packet);
    av_frame_free(&m_impl->frame);
    avcodec_free_context(&m_impl->ctx);
    delete m_impl;
}

bool Decoder::SetAvcC(const std::vector<uint8_t>& avcC) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    avcodec_free_context(&m_impl->ctx);
    m_impl->ctx = avcodec_alloc_context3(codec);
    m_impl->ctx->thread_count = 1;
    m_impl->ctx->extradata = static_cast<uint8_t*>(av_mallocz(avcC.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::copy(avcC.begin(), avcC.end(), m_impl->ctx->extradata);
    m_impl->ctx->extradata_size = static_cast<int>(avcC.size());
    return avcodec_open2(m_impl->ctx, codec, nullptr) == 0;
}

bool Decoder::DecodeAnnexB(const uint8_t* data, size_t len, Picture* out) { return Feed(data, len, out); }

bool Decoder::DecodeAvcc(const std::vector<uint8_t>& data, Picture* out) { return Feed(data.data(), data.size(), out); }

bool Decoder::Feed(const uint8_t* data, size_t len, Picture* out) {
    if (av_new_packet(m_impl->packet, static_cast<int>(len)) < 0) return false;
    std::copy(data, data + len, m_impl->packet->data);
    int rc = avcodec_send_packet(m_impl->ctx, m_impl->packet);
    av_packet_unref(m_impl->packet);
    if (rc < 0) return false;
    if (avcodec_receive_frame(m_impl->ctx, m_impl->frame) < 0) return false;
    AVFrame* f = m_impl->frame;
    if (f->format != AV_PIX_FMT_YUV420P && f->format != AV_PIX_FMT_YUVJ420P) return false;
    out->width = f->width;
    out->height = f->height;
    auto copyPlane = [](const AVFrame* fr, int plane, int w, int h, std::vector<uint8_t>* dst) {
        dst->resize(static_cast<size_t>(w) * h);
        for (int row = 0; row < h; ++row)
            std::copy(fr->data[plane] + static_cast<size_t>(row) * fr->linesize[plane],
                      fr->data[plane] + static_cast<size_t>(row) * fr->linesize[plane] + w,
                      dst->data() + static_cast<size_t>(row) * w);
    };
    copyPlane(f, 0, f->width, f->height, &out->y);
    copyPlane(f, 1, f->width / 2, f->height / 2, &out->u);
    copyPlane(f, 2, f->width / 2, f->height / 2, &out->v);
    av_frame_unref(f);
    return true;
}

namespace {
// Position of the first 00 00 01 at or after from whose next byte's low four bits are one of
// the wanted values; npos when none.
size_t FindCode(const std::vector<uint8_t>& b, size_t from, int want1, int want2) {
    for (size_t i = from; i + 3 < b.size(); ++i) {
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
            int low = b[i + 3] & 0x0F;
            if (low == want1 || low == want2) return i;
        }
    }
    return std::string::npos;
}
}  // namespace

PublisherCut CutKeyFrame(const std::vector<uint8_t>& au) {
    PublisherCut cut;
    size_t ppsCode = FindCode(au, 0, 8, 8);
    if (ppsCode == std::string::npos) return cut;
    size_t p = ppsCode + 3;
    size_t endCode = FindCode(au, ppsCode, 6, 5);
    if (endCode == std::string::npos || p < 8) return cut;
    size_t e = endCode;
    cut.sps.assign(au.begin() + 4, au.begin() + 4 + (p - 8));
    cut.pps.assign(au.begin() + p, au.begin() + e);
    size_t idr = FindCode(au, 0, 5, 5);
    if (idr != std::string::npos) cut.nal.assign(au.begin() + idr + 3, au.end());
    return cut;
}

PublisherCut CutInterFrame(const std::vector<uint8_t>& au) {
    PublisherCut cut;
    if (au.size() > 4) cut.nal.assign(au.begin() + 4, au.end());
    return cut;
}

std::vector<uint8_t> AvcC(const std::vector<uint8_t>& sps, const std::vector<uint8_t>& pps) {
    std::vector<uint8_t> r = {1, sps.size() > 1 ? sps[1] : uint8_t(0), sps.size() > 2 ? sps[2] : uint8_t(0),
                              sps.size() > 3 ? sps[3] : uint8_t(0), 0xFF, 0xE1,
                              static_cast<uint8_t>(sps.size() >> 8), static_cast<uint8_t>(sps.size())};
    r.insert(r.end(), sps.begin(), sps.end());
    r.push_back(1);
    r.push_back(static_cast<uint8_t>(pps.size() >> 8));
    r.push_back(static_cast<uint8_t>(pps.size()));
    r.insert(r.end(), pps.begin(), pps.end());
    return r;
}

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    if (sum == 0) return 99;
    double mse = sum / a.size();
    return 10 * std::log10(255.0 * 255.0 / mse);
}

bool WritePpm(const Picture& p, const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::fprintf(f, "P6\n%d %d\n255\n", p.width, p.height);
    for (int row = 0; row < p.height; ++row) {
        for (int col = 0; col < p.width; ++col) {
            double y = p.y[static_cast<size_t>(row) * p.width + col] - 16;
            double u = p.u[static_cast<size_t>(row / 2) * (p.width / 2) + col / 2] - 128;
            double v = p.v[static_cast<size_t>(row / 2) * (p.width / 2) + col / 2] - 128;
            auto clip = [](double x) { return static_cast<uint8_t>(x < 0 ? 0 : x > 255 ? 255 : x + 0.5); };
            uint8_t rgb[3] = {clip(1.164 * y + 1.596 * v), clip(1.164 * y - 0.392 * u - 0.813 * v),
                              clip(1.164 * y + 2.017 * u)};
            std::fwrite(rgb, 1, 3, f);
        }
    }
    return std::fclose(f) == 0;
}

}  // namespace mediatap_test
