// The video converter of the media kit: converts frames between the engine's pixel formats.
//
// Binary contract: slots are only ever appended, never reordered or changed, and callbacks
// into a host are opt-in (made only through interfaces the host registered).
#pragma once

#include <cstdint>

// Pixel-format codes of the capture engine.
enum EnginePixelFormat {
    kEnginePixelUnknown = 0,
    kEnginePixelI420 = 1,
    kEnginePixelYUY2 = 4,
    kEnginePixelUYVY = 5,
    kEnginePixelIYUV = 7,
    kEnginePixelRGB24 = 10,
    kEnginePixelRGB565 = 11,
    kEnginePixelMJPEG = 12,
};

// Threads: one thread at a time per converter.
class IVideoConvert {
public:
    /* 0 */ virtual void Reserved0() = 0;
    // Prepares conversion from srcWidth x srcHeight in srcFormat to dstWidth x dstHeight in
    // dstFormat (EnginePixelFormat codes), scaling when the sizes differ.
    // Sources: I420, IYUV, YUY2, UYVY, RGB24, RGB565, MJPEG. Destinations: I420, IYUV, RGB24.
    // RGB24 is 3 bytes a pixel stored B, G, R, rows without padding. A negative source height
    // is a bottom-up image (it comes out upright); the sign of the destination height is
    // ignored (output is always top-down). Sides of 1 to 16384 pixels. False for a size or format the converter cannot handle.
    /* 1 */ virtual bool Init(int srcWidth, int srcHeight, int srcFormat, int dstWidth,
                              int dstHeight, int dstFormat) = 0;
    // Converts one frame. *out points into the converter's own buffer, valid until the next
    // Init or Convert. False when srcLength is too short for the source or not initialised.
    /* 2 */ virtual bool Convert(const uint8_t* src, int srcLength, uint8_t** out,
                                 int* outLength) = 0;

protected:
    ~IVideoConvert() = default;
};

extern "C" {
IVideoConvert* CreateVideoConvert();
void DestoryVideoConvert(IVideoConvert* converter);
}
