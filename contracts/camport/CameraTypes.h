// Records and code tables at the camera plug-in's boundary (libCamPort.so).
//
// The engine includes this header together with contracts/camport/IVideoCapture.h. Every
// record here is plain data; the tables are pure functions usable on any thread.
#pragma once

#include "mediakit/IVideoConvert.h"

#include <cstddef>
#include <cstdint>

namespace Orvane {

// The plug-in's own pixel-type codes (what a camera format is). The engine sees
// EnginePixelFormat codes instead; translate with the functions below.
enum CameraPixelType : int32_t {
    kCameraI420 = 0,
    kCameraType1 = 1,  // never produced by a device; counts as preferred in the best match
    kCameraYUY2 = 2,
    kCameraUYVY = 3,
    kCameraIYUV = 4,
    kCameraType5 = 5,
    kCameraRGB24 = 6,  // B, G, R bytes; a positive height is a bottom-up image
    kCameraRGB565 = 7,
    kCameraMJPEG = 10,
    kCameraType11 = 11,
    kCameraType12 = 12,
    kCameraType13 = 13,
    kCameraUnknown = 99,
};

// One capture format of one device. The first five fields are what callers get copied out;
// streamCapsIndex and frameRateControl stay inside the plug-in's capability list.
struct CameraCapability {
    int32_t width = 0;
    int32_t height = 0;  // signed as the device reports it
    int32_t maxFps = 0;  // whole frames per second, truncated
    int32_t pixelType = kCameraUnknown;
    bool interlaced = false;
    int32_t streamCapsIndex = 0;
    bool frameRateControl = false;
};

// One row of the exported capability listing (VideoCaptureCapsPlatform::GetCapabilityAt).
struct CapsEntry {
    int32_t width;
    int32_t height;
    int32_t fps;     // the capability's maxFps
    int32_t format;  // EnginePixelFormat code, -1 when the pixel type has none
};
static_assert(sizeof(CapsEntry) == 16, "CapsEntry is four 32-bit fields");
static_assert(offsetof(CapsEntry, format) == 12, "CapsEntry field order");

// The record handed to the engine with every frame (28 bytes, little-endian).
#pragma pack(push, 1)
struct CapturedFrameInfo {
    int32_t format;        // EnginePixelFormat code of the frame (0 when none)
    uint16_t width;        // frame width, truncated to 16 bits
    uint16_t height;       // frame height, truncated to 16 bits
    uint8_t flag1;         // always 1
    uint8_t reserved1[7];  // zero
    uint32_t reserved2;    // zero
    uint32_t timestamp;    // milliseconds of a monotonic clock at delivery (32-bit, wraps)
    uint8_t flag2;         // always 1
    uint8_t reserved3[3];  // zero
};
#pragma pack(pop)
static_assert(sizeof(CapturedFrameInfo) == 28, "CapturedFrameInfo is 28 bytes");
static_assert(offsetof(CapturedFrameInfo, width) == 4, "CapturedFrameInfo layout");
static_assert(offsetof(CapturedFrameInfo, height) == 6, "CapturedFrameInfo layout");
static_assert(offsetof(CapturedFrameInfo, flag1) == 8, "CapturedFrameInfo layout");
static_assert(offsetof(CapturedFrameInfo, reserved2) == 16, "CapturedFrameInfo layout");
static_assert(offsetof(CapturedFrameInfo, timestamp) == 20, "CapturedFrameInfo layout");
static_assert(offsetof(CapturedFrameInfo, flag2) == 24, "CapturedFrameInfo layout");
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "CapturedFrameInfo is a little-endian record"
#endif

// Plug-in pixel type → engine pixel format. -1 when the type has no engine code.
// Engine codes 2, 3, 8 and 9 have no name in mediakit/IVideoConvert.h; they stand as numbers.
constexpr int32_t CameraTypeToEngineFormat(int32_t cameraType) {
    switch (cameraType) {
    case kCameraI420: return kEnginePixelI420;
    case kCameraType1: return kEnginePixelUnknown;
    case kCameraYUY2: return kEnginePixelYUY2;
    case kCameraUYVY: return kEnginePixelUYVY;
    case kCameraIYUV: return kEnginePixelIYUV;
    case kCameraType5: return 8;
    case kCameraRGB24: return kEnginePixelRGB24;
    case kCameraRGB565: return kEnginePixelRGB565;
    case kCameraMJPEG: return kEnginePixelMJPEG;
    case kCameraType11: return 2;
    case kCameraType12: return 3;
    case kCameraType13: return 9;
    default: return -1;
    }
}

// Engine pixel format → plug-in pixel type. -1 when the code has none (engine code 6, and
// every code outside 0-5, 7-12).
constexpr int32_t EngineFormatToCameraType(int32_t engineFormat) {
    switch (engineFormat) {
    case kEnginePixelI420: return kCameraI420;
    case kEnginePixelUnknown: return kCameraType1;
    case kEnginePixelYUY2: return kCameraYUY2;
    case kEnginePixelUYVY: return kCameraUYVY;
    case kEnginePixelIYUV: return kCameraIYUV;
    case 8: return kCameraType5;
    case kEnginePixelRGB24: return kCameraRGB24;
    case kEnginePixelRGB565: return kCameraRGB565;
    case kEnginePixelMJPEG: return kCameraMJPEG;
    case 2: return kCameraType11;
    case 3: return kCameraType12;
    case 9: return kCameraType13;
    default: return -1;
    }
}

}  // namespace Orvane
