#include "frame_layout.h"

#include "mediakit/IVideoConvert.h"

#include <libyuv/video_common.h>

namespace mediakit {

namespace {
const int kMaxSide = 16384;
}

int64_t FrameBytes(int format, int width, int height) {
    if (height < 0) height = -height;
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return -1;
    const int64_t w = width, h = height;
    const int64_t chroma = ((w + 1) / 2) * ((h + 1) / 2);
    switch (format) {
        case kEnginePixelI420:
        case kEnginePixelIYUV:
            return w * h + 2 * chroma;
        case kEnginePixelYUY2:
        case kEnginePixelUYVY:
            return ((w + 1) / 2) * 4 * h;
        case kEnginePixelRGB24:
            return w * h * 3;
        case kEnginePixelRGB565:
            return w * h * 2;
        case kEnginePixelMJPEG:
            return 0;
        default:
            return -1;
    }
}

bool IsSourceFormat(int format) { return SourceFourcc(format) != 0; }

bool IsDestinationFormat(int format) {
    return format == kEnginePixelI420 || format == kEnginePixelIYUV || format == kEnginePixelRGB24;
}

uint32_t SourceFourcc(int format) {
    switch (format) {
        case kEnginePixelI420:
        case kEnginePixelIYUV:
            return libyuv::FOURCC_I420;
        case kEnginePixelYUY2:
            return libyuv::FOURCC_YUY2;
        case kEnginePixelUYVY:
            return libyuv::FOURCC_UYVY;
        // The engine's RGB24 is the bottom-up-capable 3-byte format stored B, G, R.
        case kEnginePixelRGB24:
            return libyuv::FOURCC_24BG;
        case kEnginePixelRGB565:
            return libyuv::FOURCC_RGBP;
        case kEnginePixelMJPEG:
            return libyuv::FOURCC_MJPG;
        default:
            return 0;
    }
}

}  // namespace mediakit
