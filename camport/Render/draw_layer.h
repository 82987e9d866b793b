// The drawing layer under the video renderer: the display's capabilities, a primary surface
// bound to one window (drawing is clipped to it), offscreen surfaces in YV12 or 32-bit RGB,
// lock / unlock, scaled blits and colour fills. A lost surface (the window destroyed, the
// screen changed) is reported as a result, never thrown.
//
// One backend talks to the X server (draw_layer_x11.h); tests use a double.
#pragma once

#include "Render/render_geometry.h"

#include <cstdint>
#include <memory>

namespace Orvane {
namespace render {

typedef unsigned long WindowHandle;  // an X11 window id

enum class DrawResult {
    kOk,
    kStillDrawing,        // try again
    kLost,                // the surfaces are gone (window destroyed, screen changed)
    kInvalidPixelFormat,  // the offscreen format is not available
    kOutOfVideoMemory,
    kFailed,
};

// Memory types of surfaces, as the capability probe decides them.
enum : uint32_t {
    kMemNone = 0,
    kMemSystem = 0x800,
    kMemVideo = 0x4000,
    kMemNonLocalVideo = 0x20004000,  // together with kMemVideo
};

// What the capability query of one device reports.
struct DeviceCaps {
    bool nonLocalStretch = false;   // filtered stretching from non-local video memory
    bool videoStretch = false;      // filtered stretching within video memory
    bool systemToVideoStretch = false;  // filtered stretching from system memory
    bool yv12 = false;              // YV12 offscreen surfaces can be blitted (listed FOURCC)
    bool anyFourcc = false;         // the display lists FOURCC codes at all
};

struct WindowInfo {
    bool exists = false;
    bool visible = false;   // mapped and viewable
    int width = 0;          // client size
    int height = 0;
};

enum class SurfaceFormat { kYV12, kRGB32 };

struct LockedSurface {
    uint8_t* bits = nullptr;  // YV12: Y plane, then V (pitch / 2), then U (pitch / 2)
    int pitch = 0;            // bytes per Y (or RGB) row
    int width = 0;
    int height = 0;
};

// An offscreen surface. Threads: the thread that uses its device.
class IDrawSurface {
public:
    virtual ~IDrawSurface() = default;
    virtual SurfaceFormat Format() const = 0;
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual DrawResult Lock(LockedSurface* out) = 0;
    virtual void Unlock() = 0;
    // Fills with colour 0 (black): RGB zero; YV12 luma 0 and chroma 128 for fillYuvBlack.
    virtual DrawResult FillBlack(bool fillYuvBlack) = 0;
};

// One connection to the display with a primary surface bound to one window (the DirectDraw
// object of one renderer). Coordinates are the window's own (0, 0 is its top left corner).
// Threads: one thread at a time.
class IDrawDevice {
public:
    virtual ~IDrawDevice() = default;
    // Binds the primary surface to the window, drawing clipped to it.
    virtual DrawResult CreatePrimary(WindowHandle window, uint32_t memoryType) = 0;
    virtual DrawResult CreateOffscreen(int width, int height, SurfaceFormat format, uint32_t memoryType,
                                       std::unique_ptr<IDrawSurface>* out) = 0;
    // Scales the whole source into dst (clipped to the window).
    virtual DrawResult Blit(IDrawSurface& source, const Rect& dst) = 0;
    // Fills dst on the primary surface with colour (0x00RRGGBB).
    virtual DrawResult ColorFill(const Rect& dst, uint32_t colour) = 0;
    // Asks the window to repaint (a paint message).
    virtual void PostPaint() = 0;
};

// The process-wide entry of the layer. Threads: every member from any thread.
class IDrawLayer {
public:
    virtual ~IDrawLayer() = default;
    // A new device (DirectDrawCreate); null when the display cannot be reached.
    virtual std::unique_ptr<IDrawDevice> CreateDevice() = 0;
    // The capabilities of a device (GetCaps); false when they cannot be read.
    virtual bool GetCaps(IDrawDevice& device, DeviceCaps* caps) = 0;
    virtual WindowInfo QueryWindow(WindowHandle window) = 0;
};

}  // namespace render
}  // namespace Orvane
