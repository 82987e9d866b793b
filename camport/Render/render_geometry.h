// Where a frame goes in a window: the display-mode rule and the fit / fill / stretch
// rectangles. Pure functions, any thread.
#pragma once

#include <cstdint>

namespace Orvane {
namespace render {

// Half-open rectangle in window coordinates: [left, right) x [top, bottom).
struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool Empty() const { return right <= left || bottom <= top; }
    bool operator==(const Rect& o) const {
        return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
    }
};

enum DisplayMode { kModeStretch = 0, kModeFit = 1, kModeFill = 2 };

// The mode a pass uses: 0 without a window object, fit for a frame whose |height| exceeds its
// width, otherwise the window's mode (1 fit, 2 fill, anything else stretch).
int EffectiveDisplayMode(bool hasWindow, int windowMode, int frameWidth, int frameHeight);

struct Layout {
    Rect picture;   // where the frame is drawn (may reach beyond the client area in fill mode)
    bool bars = false;  // fit mode: the two strips beside the picture are painted black
    Rect bar1;      // left or top strip (may be empty)
    Rect bar2;      // right or bottom strip (may be empty)
};

// The picture for a frame of frameWidth x |frameHeight| in a client area of
// clientWidth x clientHeight under mode (as EffectiveDisplayMode gives it).
Layout ComputeLayout(int mode, int clientWidth, int clientHeight, int frameWidth, int frameHeight);

}  // namespace render
}  // namespace Orvane
