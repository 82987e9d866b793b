#include "Capture/camera_rules.h"

#include <libyuv/video_common.h>

#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace Orvane {
namespace camrules {

using namespace camdev;

bool IsSkippedDeviceName(const std::string& name) {
    if (name.find("(VFW)") != std::string::npos) return true;
    static const char kGoogle[] = "Google Camera Adapter";
    const size_t n = sizeof(kGoogle) - 1;
    return name.size() >= n && strncasecmp(name.c_str(), kGoogle, n) == 0;
}

ProductIdResult ProductIdFromUniqueId(const std::string& uniqueId, size_t maxLen, std::string& productId) {
    productId.clear();
    static const char kMarker[] = "\\\\?\\";
    const size_t marker = uniqueId.find(kMarker);
    if (marker == std::string::npos) return ProductIdResult::NoMarker;
    const size_t begin = marker + sizeof(kMarker) - 1;
    const size_t first = uniqueId.find('&', begin);
    if (first == std::string::npos) return ProductIdResult::Failed;
    const size_t second = uniqueId.find('&', first + 1);
    if (second == std::string::npos) return ProductIdResult::Failed;
    const size_t len = second - begin;
    if (len > 128 || len > maxLen) return ProductIdResult::Failed;
    productId = uniqueId.substr(begin, len);
    return ProductIdResult::Found;
}

FormatType ChooseFormatType(bool anyVideoInfo, bool anyVideoInfo2, bool anyInterlacedVideoInfo2) {
    if (anyVideoInfo2 && (!anyVideoInfo || anyInterlacedVideoInfo2)) return FormatType::VideoInfo2;
    return FormatType::VideoInfo;
}

int32_t FpsFromInterval(int64_t interval) {
    if (interval <= 0) return 0;
    return static_cast<int32_t>(static_cast<int64_t>(10000000) / interval);
}

int32_t PixelTypeFromSubtype(uint32_t subtype) {
    // Tested in a fixed order; the codes are distinct, so the order only matters for reading.
    if (subtype == kSubtypeI420) return kCameraI420;
    if (subtype == kSubtypeIYUV) return kCameraIYUV;
    if (subtype == kSubtypeRGB24) return kCameraRGB24;
    if (subtype == kSubtypeYUY2) return kCameraYUY2;
    if (subtype == kSubtypeRGB565) return kCameraRGB565;
    if (subtype == kSubtypeMJPG) return kCameraMJPEG;
    if (subtype == kSubtypeDVSL || subtype == kSubtypeDVSD || subtype == kSubtypeDVHD) return kCameraYUY2;
    if (subtype == kSubtypeUYVY || subtype == kSubtypeHDYC) return kCameraUYVY;
    return kCameraUnknown;
}

namespace {

constexpr int64_t kEqualShape = 691200;
constexpr __int128 kEqualShapeSquared = static_cast<__int128>(kEqualShape) * kEqualShape;

uint32_t Pixels(int32_t width, int32_t height) {
    return static_cast<uint32_t>(width) * static_cast<uint32_t>(height);
}

// How the candidate's aspect ratio compares with the requested one (kEqualShape: equal).
// A zero denominator (requested width or a capability height of 0) counts as shape 0.
int64_t Shape(const CameraCapability& cap, int32_t reqWidth, int32_t reqHeight) {
    const int64_t den = static_cast<int64_t>(reqWidth) * cap.height;
    if (den == 0) return 0;
    const __int128 num = static_cast<__int128>(cap.width) * reqHeight * kEqualShape;
    return static_cast<int64_t>(num / den);
}

}  // namespace

int FindBestIndex(const std::vector<CameraCapability>& caps, const CameraCapability& requested,
                  CameraCapability& best) {
    const int32_t W = requested.width, H = requested.height, F = requested.maxFps, T = requested.pixelType;
    best = CameraCapability();
    int bestIndex = -1;
    auto preferred = [T](int32_t t) { return t == T || t == kCameraI420 || t == kCameraType1 || t == kCameraYUY2; };
    const uint32_t reqPixels = Pixels(W, H);
    auto take = [&](const CameraCapability& c, int index) {
        best.width = c.width;
        best.height = c.height;
        best.maxFps = c.maxFps;
        best.pixelType = c.pixelType;
        bestIndex = index;
    };

    for (size_t i = 0; i < caps.size(); ++i) {
        const CameraCapability& cand = caps[i];
        const int index = static_cast<int>(i);
        if (best.pixelType == kCameraUnknown && T != kCameraUnknown) {
            take(cand, index);
            continue;
        }
        if (std::abs(cand.height) == std::abs(H) && cand.width == W && cand.maxFps >= F) {
            take(cand, index);
            if (cand.pixelType == T) break;
            continue;
        }
        if (preferred(cand.pixelType) && !preferred(best.pixelType) && best.pixelType != kCameraMJPEG) {
            take(cand, index);
            continue;
        }
        if (best.pixelType == kCameraUnknown && (best.width == 0 || best.height == 0)) {
            take(cand, index);
            continue;
        }
        if (preferred(best.pixelType) && best.pixelType != kCameraMJPEG && !preferred(cand.pixelType)) continue;
        const uint32_t bestPixels = Pixels(best.width, best.height);
        const uint32_t candPixels = Pixels(cand.width, cand.height);
        if (bestPixels < reqPixels) {
            if (candPixels >= reqPixels) take(cand, index);
            continue;
        }
        if (candPixels < reqPixels) continue;
        const int64_t shapeBest = Shape(best, W, H);
        const int64_t shapeCand = Shape(cand, W, H);
        const __int128 product = static_cast<__int128>(shapeBest) * shapeCand;
        if (shapeBest == shapeCand || product == kEqualShapeSquared) {
            if (bestPixels > reqPixels && candPixels <= bestPixels) {
                take(cand, index);
                continue;
            }
        }
        if ((product >= kEqualShapeSquared && shapeBest > shapeCand) ||
            (product <= kEqualShapeSquared && shapeBest < shapeCand))
            take(cand, index);
    }
    return bestIndex;
}

I420Layout I420LayoutFor(int width, int height) {
    I420Layout l;
    const int64_t w = width < 0 ? -static_cast<int64_t>(width) : width;
    const int64_t h = height < 0 ? -static_cast<int64_t>(height) : height;
    const int64_t halfW = (w + 1) / 2, halfH = (h + 1) / 2;
    l.strideY = static_cast<int>(w);
    l.strideUV = static_cast<int>(halfW);
    l.uOffset = w * h;
    l.vOffset = l.uOffset + halfW * halfH;
    l.size = l.vOffset + halfW * halfH;
    return l;
}

int64_t PackedFrameBytes(int32_t pixelType, int width, int height) {
    const int64_t w = width < 0 ? -static_cast<int64_t>(width) : width;
    const int64_t h = height < 0 ? -static_cast<int64_t>(height) : height;
    switch (pixelType) {
    case kCameraYUY2:
    case kCameraUYVY:
        return ((w + 1) / 2) * 4 * h;
    case kCameraRGB24:
        return w * 3 * h;
    default:
        return 0;
    }
}

uint32_t ConversionFourcc(int32_t pixelType) {
    switch (pixelType) {
    case kCameraYUY2: return libyuv::FOURCC_YUY2;
    case kCameraUYVY: return libyuv::FOURCC_UYVY;
    case kCameraRGB24: return libyuv::FOURCC_24BG;
    case kCameraMJPEG: return libyuv::FOURCC_MJPG;
    default: return 0;
    }
}

}  // namespace camrules
}  // namespace Orvane
