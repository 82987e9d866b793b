#include "Render/render_geometry.h"

#include <cstdlib>

namespace Orvane {
namespace render {

int EffectiveDisplayMode(bool hasWindow, int windowMode, int frameWidth, int frameHeight) {
    int mode = hasWindow ? windowMode : kModeStretch;
    if (std::abs(frameHeight) > frameWidth) mode = kModeFit;
    if (mode != kModeFit && mode != kModeFill) mode = kModeStretch;
    return mode;
}

Layout ComputeLayout(int mode, int clientWidth, int clientHeight, int frameWidth, int frameHeight) {
    Layout out;
    const int64_t W = clientWidth, H = clientHeight;
    const int64_t w = frameWidth, h = std::abs(frameHeight);
    out.picture = Rect{0, 0, clientWidth, clientHeight};
    if (w <= 0 || h <= 0 || W <= 0 || H <= 0 || (mode != kModeFit && mode != kModeFill)) return out;

    // Products in 64 bits: 16-bit frame sides times 32-bit client sides overflow an int.
    const bool wider = W * h > H * w;  // the client area is wider than the frame's aspect
    if (mode == kModeFit) {
        out.bars = true;
        if (wider) {
            const int pw = static_cast<int>(H * w / h);
            const int left = static_cast<int>((W - pw) / 2);
            out.picture = Rect{left, 0, left + pw, clientHeight};
            out.bar1 = Rect{0, 0, left, clientHeight};
            out.bar2 = Rect{left + pw, 0, clientWidth, clientHeight};
        } else {
            const int ph = static_cast<int>(W * h / w);
            const int top = static_cast<int>((H - ph) / 2);
            out.picture = Rect{0, top, clientWidth, top + ph};
            out.bar1 = Rect{0, 0, clientWidth, top};
            out.bar2 = Rect{0, top + ph, clientWidth, clientHeight};
        }
    } else {
        if (wider) {
            const int ph = static_cast<int>(W * h / w);
            const int top = static_cast<int>((H - ph) / 2);
            out.picture = Rect{0, top, clientWidth, top + ph};
        } else {
            const int pw = static_cast<int>(H * w / h);
            const int left = static_cast<int>((W - pw) / 2);
            out.picture = Rect{left, 0, left + pw, clientHeight};
        }
    }
    return out;
}

}  // namespace render
}  // namespace Orvane
