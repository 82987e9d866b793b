// Reading the pixels of a window (or of the whole desktop) from the window system.
// The Linux backend talks to the X server; tests use a double.
// Threads: an IWindowGrabber is created on one thread and may then be handed to another,
// which alone uses it from then on.
#pragma once

#include "common/ovtypes.h"
#include "frame_geometry.h"

#include <cstdint>
#include <memory>
#include <string>

namespace mediatap {

// 32-bit pixels in memory order B, G, R, X; valid until the next Grab or the grabber's end.
struct GrabbedImage {
    const uint8_t* bgra = nullptr;
    int stride = 0;
    int width = 0;
    int height = 0;
    // The rows that may differ from the image of the previous kOk (all of them by default);
    // every other row is as it was then.
    RowSpan changed{0, 1 << 30};
};

enum class GrabResult {
    kOk,          // image holds the current content of the capture rectangle
    kSame,        // nothing changed since the previous kOk: its image is still current
    kUnreadable,  // nothing could be read this time (window unmapped, off screen, empty rect)
    kGone,        // the window no longer exists; later calls answer kGone too
    kLost,        // the connection to the window system broke; later calls answer kLost too
};

class IWindowGrabber {
public:
    virtual ~IWindowGrabber() = default;
    // Reads the part of the window given by rect (in window coordinates; all zero: the whole
    // window), cut to the window's current size, which follows resizes. Where the window
    // system tells what was drawn, only that is read again; an unchanged window costs
    // next to nothing.
    virtual GrabResult Grab(const Rect& rect, GrabbedImage* image) = 0;
    // Reads no pixels, only what the window system reported meanwhile: kGone or kLost once
    // the window or the connection is known to be gone (as Grab answers from then on), kOk
    // otherwise. Cheap enough for every frame.
    virtual GrabResult Check() { return GrabResult::kOk; }
    // Current size of the window.
    virtual void Size(int* width, int* height) const = 0;
    // For log lines: the window and the reading method.
    virtual std::string Describe() const = 0;
};

// Opens the display named by $DISPLAY and checks that window exists (0: the root window).
// withCursor draws the pointer into the frames. Null, with a reason in error, on failure.
std::unique_ptr<IWindowGrabber> CreateX11WindowGrabber(OvHwnd window, bool withCursor,
                                                       std::string* error);

// True when the X server of $DISPLAY knows this window (0 and unreachable displays: false).
bool X11WindowExists(OvHwnd window);

}  // namespace mediatap
