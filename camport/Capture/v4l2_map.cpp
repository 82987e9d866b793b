// The V4L2 device layer's pure rules: pixel formats and their media subtypes, frame
// intervals, frame sizes and row packing. No device calls.
#include "Capture/device_layer_v4l2.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cstring>

namespace Orvane {
namespace camdev {

namespace v4l2map {

uint32_t SubtypeFromPixelFormat(uint32_t pixelFormat) {
    switch (pixelFormat) {
    case V4L2_PIX_FMT_YUYV: return kSubtypeYUY2;
    case V4L2_PIX_FMT_UYVY: return kSubtypeUYVY;
    case V4L2_PIX_FMT_YUV420: return kSubtypeI420;
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG: return kSubtypeMJPG;
    case V4L2_PIX_FMT_BGR24: return kSubtypeRGB24;
    case V4L2_PIX_FMT_RGB565: return kSubtypeRGB565;
    case V4L2_PIX_FMT_NV12: return kSubtypeNV12;
    default: return pixelFormat;  // V4L2 FOURCCs have the byte order of the FOURCC subtypes
    }
}

uint32_t PixelFormatFromSubtype(uint32_t subtype) {
    switch (subtype) {
    case kSubtypeYUY2: return V4L2_PIX_FMT_YUYV;
    case kSubtypeUYVY: return V4L2_PIX_FMT_UYVY;
    case kSubtypeI420:
    case kSubtypeIYUV: return V4L2_PIX_FMT_YUV420;
    case kSubtypeMJPG: return V4L2_PIX_FMT_MJPEG;
    case kSubtypeRGB24: return V4L2_PIX_FMT_BGR24;
    case kSubtypeRGB565: return V4L2_PIX_FMT_RGB565;
    case kSubtypeNV12: return V4L2_PIX_FMT_NV12;
    default: return 0;
    }
}

uint32_t PixelFormatToSet(uint32_t subtype, const std::vector<uint32_t>& listed) {
    const uint32_t preferred = PixelFormatFromSubtype(subtype);
    if (std::find(listed.begin(), listed.end(), preferred) != listed.end()) return preferred;
    for (uint32_t f : listed)
        if (SubtypeFromPixelFormat(f) == subtype) return f;
    return preferred;
}

bool SamePixelFormat(uint32_t asked, uint32_t answered) {
    if (asked == answered) return true;
    const auto jpeg = [](uint32_t f) { return f == V4L2_PIX_FMT_MJPEG || f == V4L2_PIX_FMT_JPEG; };
    return jpeg(asked) && jpeg(answered);
}

int32_t HeaderHeight(uint32_t pixelFormat, uint32_t height) {
    const int32_t h = static_cast<int32_t>(std::min<uint32_t>(height, 0x7fffffffu));
    return SubtypeFromPixelFormat(pixelFormat) == kSubtypeRGB24 ? -h : h;
}

int64_t IntervalFromFraction(uint32_t numerator, uint32_t denominator) {
    if (denominator == 0) return 0;
    return static_cast<int64_t>(numerator) * 10000000 / denominator;
}

std::pair<uint32_t, uint32_t> FractionFromInterval(int64_t interval) {
    if (interval <= 0) return {0, 0};
    if (interval > 0xffffffffll) interval = 0xffffffffll;
    return {static_cast<uint32_t>(interval), 10000000u};
}

MediaType MediaTypeFor(uint32_t pixelFormat, uint32_t width, uint32_t height, int64_t interval) {
    MediaType mt;
    mt.video = true;
    mt.formatType = FormatType::VideoInfo;
    mt.subtype = SubtypeFromPixelFormat(pixelFormat);
    mt.width = static_cast<int32_t>(std::min<uint32_t>(width, 0x7fffffffu));
    mt.height = HeaderHeight(pixelFormat, height);
    mt.avgTimePerFrame = interval;
    const uint64_t pixels = static_cast<uint64_t>(width) * height;
    switch (mt.subtype) {
    case kSubtypeRGB24:
        mt.compression = 0;
        mt.bitCount = 24;
        mt.imageSize = static_cast<uint32_t>(pixels * 3);
        break;
    case kSubtypeRGB565:
        mt.compression = 3;
        mt.bitCount = 16;
        mt.imageSize = static_cast<uint32_t>(pixels * 2);
        break;
    case kSubtypeYUY2:
    case kSubtypeUYVY:
        mt.compression = mt.subtype;
        mt.bitCount = 16;
        mt.imageSize = static_cast<uint32_t>(pixels * 2);
        break;
    case kSubtypeMJPG:
        mt.compression = mt.subtype;
        mt.bitCount = 24;
        mt.imageSize = static_cast<uint32_t>(pixels * 3);
        mt.temporalCompression = false;
        break;
    default:
        mt.compression = mt.subtype;
        mt.bitCount = 12;
        mt.imageSize = static_cast<uint32_t>(pixels * 3 / 2);
        break;
    }
    return mt;
}

std::vector<std::pair<uint32_t, uint32_t>> SizesFromRange(uint32_t minW, uint32_t maxW, uint32_t stepW, uint32_t minH,
                                                          uint32_t maxH, uint32_t stepH) {
    static const std::pair<uint32_t, uint32_t> kCommon[] = {{160, 120},  {320, 240},   {352, 288},   {640, 360},
                                                            {640, 480},  {800, 600},   {960, 540},   {1024, 768},
                                                            {1280, 720}, {1280, 960},  {1600, 1200}, {1920, 1080},
                                                            {2560, 1440}, {3840, 2160}};
    std::vector<std::pair<uint32_t, uint32_t>> sizes;
    if (maxW < minW || maxH < minH || maxW == 0 || maxH == 0) return sizes;
    if (stepW == 0) stepW = 1;
    if (stepH == 0) stepH = 1;
    for (const auto& s : kCommon) {
        if (s.first < minW || s.first > maxW || s.second < minH || s.second > maxH) continue;
        if ((s.first - minW) % stepW != 0 || (s.second - minH) % stepH != 0) continue;
        sizes.push_back(s);
    }
    if (sizes.empty() || sizes.back() != std::make_pair(maxW, maxH)) sizes.emplace_back(maxW, maxH);
    return sizes;
}

uint32_t PackedRowBytes(uint32_t pixelFormat, uint32_t width) {
    switch (pixelFormat) {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY: return ((width + 1) / 2) * 4;
    case V4L2_PIX_FMT_RGB565: return width * 2;
    case V4L2_PIX_FMT_BGR24: return width * 3;
    default: return 0;
    }
}

namespace {

// One plane of an uncompressed frame: rows of rowBytes, stride bytes apart in the driver's
// buffer.
struct PlaneRows {
    uint32_t rowBytes;
    uint32_t rows;
    uint32_t stride;
};

// The planes of a frame in the driver's layout; empty for compressed and unknown formats.
std::vector<PlaneRows> PlanesOf(uint32_t pixelFormat, uint32_t width, uint32_t height, uint32_t bytesPerLine) {
    const uint32_t halfW = (width + 1) / 2, halfH = (height + 1) / 2;
    switch (pixelFormat) {
    case V4L2_PIX_FMT_YUV420: {
        const uint32_t bpl = std::max(bytesPerLine, width);
        const uint32_t chroma = std::max(bpl / 2, halfW);
        return {{width, height, bpl}, {halfW, halfH, chroma}, {halfW, halfH, chroma}};
    }
    case V4L2_PIX_FMT_NV12: {
        const uint32_t bpl = std::max(bytesPerLine, halfW * 2);
        return {{width, height, bpl}, {halfW * 2, halfH, bpl}};
    }
    default: {
        const uint32_t row = PackedRowBytes(pixelFormat, width);
        if (row == 0) return {};
        return {{row, height, std::max(bytesPerLine, row)}};
    }
    }
}

}  // namespace

bool HasPaddedRows(uint32_t pixelFormat, uint32_t width, uint32_t bytesPerLine) {
    const std::vector<PlaneRows> planes = PlanesOf(pixelFormat, width, 1, bytesPerLine);
    return !planes.empty() && bytesPerLine > planes.front().rowBytes;
}

bool PackFrame(uint32_t pixelFormat, uint32_t width, uint32_t height, uint32_t bytesPerLine, const uint8_t* data,
               size_t length, std::vector<uint8_t>& out) {
    const std::vector<PlaneRows> planes = PlanesOf(pixelFormat, width, height, bytesPerLine);
    if (planes.empty() || !data || height == 0) return false;
    size_t packed = 0, need = 0;
    for (const PlaneRows& p : planes) {
        packed += static_cast<size_t>(p.rowBytes) * p.rows;
        need += static_cast<size_t>(p.stride) * p.rows;
    }
    // The last row of the last plane needs no padding behind it.
    need -= planes.back().stride - planes.back().rowBytes;
    if (length < need) return false;
    out.resize(packed);
    uint8_t* dst = out.data();
    const uint8_t* src = data;
    for (const PlaneRows& p : planes) {
        for (uint32_t r = 0; r < p.rows; ++r) {
            std::memcpy(dst, src + static_cast<size_t>(r) * p.stride, p.rowBytes);
            dst += p.rowBytes;
        }
        src += static_cast<size_t>(p.stride) * p.rows;
    }
    return true;
}

std::string CardName(const uint8_t* card, size_t size) {
    size_t n = 0;
    while (n < size && card[n]) ++n;
    return std::string(reinterpret_cast<const char*>(card), n);
}

}  // namespace v4l2map

}  // namespace camdev
}  // namespace Orvane
