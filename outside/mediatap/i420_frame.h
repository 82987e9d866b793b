// A planar YUV 4:2:0 picture with tightly packed planes.
// Threads: one thread at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace mediatap {

struct I420Frame {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;

    // Allocates a black picture of the given (even) size.
    void Reset(int w, int h) {
        width = w;
        height = h;
        size_t ySize = static_cast<size_t>(w) * h;
        pixels.assign(ySize, 16);
        pixels.resize(ySize + 2 * (ySize / 4), 128);
    }
    void Black() {
        size_t ySize = static_cast<size_t>(width) * height;
        std::fill(pixels.begin(), pixels.begin() + ySize, 16);
        std::fill(pixels.begin() + ySize, pixels.end(), 128);
    }
    uint8_t* Y() { return pixels.data(); }
    uint8_t* U() { return pixels.data() + static_cast<size_t>(width) * height; }
    uint8_t* V() { return U() + static_cast<size_t>(width / 2) * (height / 2); }
    const uint8_t* Y() const { return pixels.data(); }
    const uint8_t* U() const { return pixels.data() + static_cast<size_t>(width) * height; }
    const uint8_t* V() const { return U() + static_cast<size_t>(width / 2) * (height / 2); }
    int StrideY() const { return width; }
    int StrideUV() const { return width / 2; }
};

}  // namespace mediatap
