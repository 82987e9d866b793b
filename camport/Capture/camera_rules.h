// The camera plug-in's decisions as pure functions: which devices count, how a product id is
// cut from a unique id, how formats become capabilities, the best-match choice and the frame
// sizes of the frame path. No platform calls, no logging; usable from any thread.
#pragma once

#include "Capture/device_layer.h"
#include "camport/CameraTypes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Orvane {
namespace camrules {

// True for device names the device walk leaves out: "(VFW)" anywhere, or a name beginning
// with "Google Camera Adapter" in any letter case.
bool IsSkippedDeviceName(const std::string& name);

enum class ProductIdResult { NoMarker, Found, Failed };
// Cuts the product id from a unique id: the text after the "\\?\" marker up to (not
// including) the second "&" after it, when at most min(128, maxLen) bytes long.
ProductIdResult ProductIdFromUniqueId(const std::string& uniqueId, size_t maxLen, std::string& productId);

// Which format header family a device's list is read from, given what its video formats
// offer: VideoInfo2 when it has VideoInfo2 formats and either no VideoInfo ones or an
// interlaced VideoInfo2 one; VideoInfo otherwise.
camdev::FormatType ChooseFormatType(bool anyVideoInfo, bool anyVideoInfo2, bool anyInterlacedVideoInfo2);

// Whole frames per second of a frame interval in 100 ns units (truncating); 0 for an
// interval of 0 or less.
int32_t FpsFromInterval(int64_t interval);

// The CameraPixelType of a media subtype, kCameraUnknown for one the plug-in does not list.
int32_t PixelTypeFromSubtype(uint32_t subtype);

// The best match for requested among caps (in index order). Returns the chosen index (-1
// when none) with the chosen width, height, rate and type in best.
int FindBestIndex(const std::vector<CameraCapability>& caps, const CameraCapability& requested,
                  CameraCapability& best);

// Bytes of an I420 frame of width x |height| with U and V strides of (width + 1) / 2, and the
// offsets of its U and V planes.
struct I420Layout {
    int64_t size = 0;
    int64_t uOffset = 0;
    int64_t vOffset = 0;
    int strideY = 0;
    int strideUV = 0;
};
I420Layout I420LayoutFor(int width, int height);

// Bytes an uncompressed frame of the type needs (0 for MJPEG and types without a fixed size).
int64_t PackedFrameBytes(int32_t pixelType, int width, int height);

// The libyuv FOURCC the frame path converts a type from (0 for types it passes unchanged).
uint32_t ConversionFourcc(int32_t pixelType);

// Frames wider or taller than this are dropped by the frame path (when it would convert them).
constexpr int kMaxConvertedSide = 3000;

}  // namespace camrules
}  // namespace Orvane
