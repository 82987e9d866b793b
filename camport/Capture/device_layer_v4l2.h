// The V4L2 device backend: cameras at /dev/video*, one listed format per pixel format and
// frame size, frame rates from the device's frame-interval list, streaming through mmap
// buffers on the streaming thread. The mapping between V4L2 values and the plug-in's media
// types is kept in pure functions (v4l2map) so it can be checked without a device.
#pragma once

#include "Capture/device_layer.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Orvane {
namespace camdev {

// Cameras found under /dev (the folder can be given for tests).
std::shared_ptr<IDeviceLayer> CreateV4l2DeviceLayer(const std::string& folder = "/dev");

namespace v4l2map {

// The media subtype of a V4L2 pixel format. Formats without a counterpart keep their own
// FOURCC (the plug-in then logs them as unknown and leaves them out).
uint32_t SubtypeFromPixelFormat(uint32_t pixelFormat);
// The V4L2 pixel format a subtype is set with (0 when none).
uint32_t PixelFormatFromSubtype(uint32_t subtype);
// The V4L2 pixel format to ask the driver for when the subtype is wanted, given the pixel
// formats the device lists: the listed one that maps onto the subtype (a camera that offers
// only JPEG is asked for JPEG, not MJPEG), else PixelFormatFromSubtype.
uint32_t PixelFormatToSet(uint32_t subtype, const std::vector<uint32_t>& listed);
// True when the driver's answer to a format request delivers the pixel format asked for:
// the same format, or JPEG for MJPEG and the reverse (both are JPEG pictures).
bool SamePixelFormat(uint32_t asked, uint32_t answered);
// The header height of a V4L2 frame: V4L2 images are top-down, which an RGB header states
// with a negative height.
int32_t HeaderHeight(uint32_t pixelFormat, uint32_t height);
// A V4L2 frame interval (seconds as a fraction) in 100 ns units; 0 for a zero denominator.
int64_t IntervalFromFraction(uint32_t numerator, uint32_t denominator);
// A frame interval in 100 ns units as a V4L2 fraction (numerator, denominator).
std::pair<uint32_t, uint32_t> FractionFromInterval(int64_t interval);
// The media type listed for one pixel format and size at the given interval.
MediaType MediaTypeFor(uint32_t pixelFormat, uint32_t width, uint32_t height, int64_t interval);
// The sizes listed for a stepwise or continuous size range: the common camera sizes that lie
// on the range's steps, and the largest size.
std::vector<std::pair<uint32_t, uint32_t>> SizesFromRange(uint32_t minW, uint32_t maxW, uint32_t stepW, uint32_t minH,
                                                          uint32_t maxH, uint32_t stepH);
// Bytes of one row of a packed pixel format (YUYV, UYVY, RGB565, BGR24) without padding; 0
// for planar and compressed formats.
uint32_t PackedRowBytes(uint32_t pixelFormat, uint32_t width);
// True when a frame of the uncompressed pixel format with rows bytesPerLine apart has padding
// behind its rows (bytesPerLine above the packed row of its first plane).
bool HasPaddedRows(uint32_t pixelFormat, uint32_t width, uint32_t bytesPerLine);
// Packs every plane of a padded frame: the rows of packed formats and of the Y plane are
// bytesPerLine apart, those of the YUV420 chroma planes bytesPerLine / 2 and those of NV12's
// interleaved chroma plane bytesPerLine. The result has the tight layout the frame path reads
// (YUV420: chroma planes of ceil(w / 2) x ceil(h / 2)). False for a compressed or unknown
// format and for a frame too short for its layout.
bool PackFrame(uint32_t pixelFormat, uint32_t width, uint32_t height, uint32_t bytesPerLine, const uint8_t* data,
               size_t length, std::vector<uint8_t>& out);
// The card name of VIDIOC_QUERYCAP (32 bytes, not always terminated).
std::string CardName(const uint8_t* card, size_t size);

}  // namespace v4l2map
}  // namespace camdev
}  // namespace Orvane
