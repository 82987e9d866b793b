// The video converter over libyuv: any source format to I420 at the source size, scaled to
// the destination size when it differs, then into the destination format.

#include "frame_layout.h"
#include "mediakit/IVideoConvert.h"

#include <libyuv.h>

#include <new>
#include <vector>

namespace {

struct I420View {
    uint8_t* y = nullptr;
    uint8_t* u = nullptr;
    uint8_t* v = nullptr;
    int width = 0, height = 0;
    int strideY() const { return width; }
    int strideUV() const { return (width + 1) / 2; }
};

I420View Planes(std::vector<uint8_t>& buf, int width, int height) {
    I420View view;
    view.width = width;
    view.height = height;
    view.y = buf.data();
    view.u = view.y + static_cast<size_t>(width) * height;
    view.v = view.u + static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2);
    return view;
}

// Threads: one thread at a time.
class VideoConvert : public IVideoConvert {
public:
    virtual ~VideoConvert() = default;

    void Reserved0() override {}

    bool Init(int srcWidth, int srcHeight, int srcFormat, int dstWidth, int dstHeight, int dstFormat) override {
        m_ready = false;
        if (!mediakit::IsSourceFormat(srcFormat) || !mediakit::IsDestinationFormat(dstFormat)) return false;
        if (mediakit::FrameBytes(kEnginePixelI420, srcWidth, srcHeight) < 0) return false;
        if (mediakit::FrameBytes(dstFormat, dstWidth, dstHeight) < 0) return false;
        if (mediakit::FrameBytes(srcFormat, srcWidth, srcHeight) < 0) return false;
        m_srcW = srcWidth;
        m_srcH = srcHeight;  // negative: bottom-up, flipped while converting
        m_srcFormat = srcFormat;
        m_dstW = dstWidth;
        m_dstH = dstHeight < 0 ? -dstHeight : dstHeight;
        m_dstFormat = dstFormat;
        try {
            m_srcI420.resize(static_cast<size_t>(mediakit::FrameBytes(kEnginePixelI420, m_srcW, m_srcH)));
            const bool scaled = m_dstW != m_srcW || m_dstH != AbsSrcH();
            m_dstI420.resize(scaled ? static_cast<size_t>(mediakit::FrameBytes(kEnginePixelI420, m_dstW, m_dstH)) : 0);
            m_out.resize(m_dstFormat == kEnginePixelRGB24
                             ? static_cast<size_t>(mediakit::FrameBytes(m_dstFormat, m_dstW, m_dstH))
                             : 0);
        } catch (const std::bad_alloc&) {
            return false;
        }
        m_ready = true;
        return true;
    }

    bool Convert(const uint8_t* src, int srcLength, uint8_t** out, int* outLength) override {
        if (!m_ready || !src || srcLength <= 0 || !out || !outLength) return false;
        const int64_t need = mediakit::FrameBytes(m_srcFormat, m_srcW, m_srcH);
        if (srcLength < need) return false;

        I420View frame = Planes(m_srcI420, m_srcW, AbsSrcH());
        if (libyuv::ConvertToI420(src, static_cast<size_t>(srcLength), frame.y, frame.strideY(), frame.u,
                                  frame.strideUV(), frame.v, frame.strideUV(), 0, 0, m_srcW, m_srcH, m_srcW,
                                  AbsSrcH(), libyuv::kRotate0, mediakit::SourceFourcc(m_srcFormat)) != 0)
            return false;

        if (!m_dstI420.empty()) {
            I420View scaled = Planes(m_dstI420, m_dstW, m_dstH);
            if (libyuv::I420Scale(frame.y, frame.strideY(), frame.u, frame.strideUV(), frame.v, frame.strideUV(),
                                  frame.width, frame.height, scaled.y, scaled.strideY(), scaled.u, scaled.strideUV(),
                                  scaled.v, scaled.strideUV(), scaled.width, scaled.height,
                                  libyuv::kFilterBox) != 0)
                return false;
            frame = scaled;
        }

        if (m_dstFormat != kEnginePixelRGB24) {
            // I420 out: the planes already sit contiguously in one of our buffers.
            std::vector<uint8_t>& planes = m_dstI420.empty() ? m_srcI420 : m_dstI420;
            *out = planes.data();
            *outLength = static_cast<int>(planes.size());
            return true;
        }
        if (libyuv::I420ToRGB24(frame.y, frame.strideY(), frame.u, frame.strideUV(), frame.v, frame.strideUV(),
                                m_out.data(), m_dstW * 3, m_dstW, m_dstH) != 0)
            return false;
        *out = m_out.data();
        *outLength = static_cast<int>(m_out.size());
        return true;
    }

private:
    int AbsSrcH() const { return m_srcH < 0 ? -m_srcH : m_srcH; }

    bool m_ready = false;
    int m_srcW = 0, m_srcH = 0, m_srcFormat = 0;
    int m_dstW = 0, m_dstH = 0, m_dstFormat = 0;
    std::vector<uint8_t> m_srcI420, m_dstI420, m_out;
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) IVideoConvert* CreateVideoConvert() {
    return new (std::nothrow) VideoConvert();
}

__attribute__((visibility("default"))) void DestoryVideoConvert(IVideoConvert* converter) {
    delete static_cast<VideoConvert*>(converter);
}

}
