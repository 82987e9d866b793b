// Test frames: vertical colour bars as I420.
#pragma once

#include <libyuv.h>

#include <cstdint>
#include <vector>

namespace rendertest {

// The eight bars, 0xRRGGBB, left to right.
inline const std::vector<uint32_t>& BarColours() {
    static const std::vector<uint32_t> colours = {0xffffff, 0xffff00, 0x00ffff, 0x00ff00,
                                                  0xff00ff, 0xff0000, 0x0000ff, 0x000000};
    return colours;
}

// Bar colour at column x of a frame w wide; `shift` rotates the bars (to tell frames apart).
inline uint32_t BarAt(int x, int w, int shift = 0) {
    const auto& c = BarColours();
    return c[(static_cast<size_t>(x) * c.size() / w + shift) % c.size()];
}

inline std::vector<uint8_t> ColourBarsI420(int w, int h, int shift = 0) {
    std::vector<uint8_t> argb(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint32_t c = BarAt(x, w, shift);
            uint8_t* p = &argb[(static_cast<size_t>(y) * w + x) * 4];
            p[0] = c & 0xff;
            p[1] = (c >> 8) & 0xff;
            p[2] = (c >> 16) & 0xff;
            p[3] = 0xff;
        }
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    std::vector<uint8_t> i420(static_cast<size_t>(w) * h + 2 * static_cast<size_t>(cw) * ch);
    uint8_t* y = i420.data();
    uint8_t* u = y + static_cast<size_t>(w) * h;
    uint8_t* v = u + static_cast<size_t>(cw) * ch;
    libyuv::ARGBToI420(argb.data(), w * 4, y, w, u, cw, v, cw, w, h);
    return i420;
}

// True when two colours agree within tol on each channel.
inline bool Near(uint32_t a, uint32_t b, int tol = 24) {
    for (int s = 0; s < 24; s += 8) {
        const int d = static_cast<int>((a >> s) & 0xff) - static_cast<int>((b >> s) & 0xff);
        if (d > tol || d < -tol) return false;
    }
    return true;
}

}  // namespace rendertest
