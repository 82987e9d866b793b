// A planar YUV 4:2:0 picture with tightly packed planes: Y (stride width), then U and V, each
// of ceil(width / 2) x ceil(height / 2) samples with stride ceil(width / 2). This is the
// layout the camera plug-in delivers and its renderer reads; for even sizes it is the plain
// w * h * 3 / 2 layout.
// Threads: one thread at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace mediatap {

// Where the planes of a packed I420 picture of width x height lie, and its size.
struct I420Planes {
    size_t ySize = 0;
    size_t chromaSize = 0;  // of each chroma plane
    int strideUV = 0;
    size_t UOffset() const { return ySize; }
    size_t VOffset() const { return ySize + chromaSize; }
    size_t Total() const { return ySize + 2 * chromaSize; }
};

inline I420Planes I420PlanesOf(int width, int height) {
    I420Planes p;
    const size_t w = width > 0 ? static_cast<size_t>(width) : 0;
    const size_t h = height > 0 ? static_cast<size_t>(height) : 0;
    p.ySize = w * h;
    p.strideUV = static_cast<int>((w + 1) / 2);
    p.chromaSize = ((w + 1) / 2) * ((h + 1) / 2);
    return p;
}

struct I420Frame {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;

    // Allocates a black picture of the given size.
    void Reset(int w, int h) {
        width = w;
        height = h;
        const I420Planes p = I420PlanesOf(w, h);
        pixels.assign(p.ySize, 16);
        pixels.resize(p.Total(), 128);
    }
    void Black() {
        const size_t ySize = I420PlanesOf(width, height).ySize;
        std::fill(pixels.begin(), pixels.begin() + ySize, 16);
        std::fill(pixels.begin() + ySize, pixels.end(), 128);
    }
    uint8_t* Y() { return pixels.data(); }
    uint8_t* U() { return pixels.data() + I420PlanesOf(width, height).UOffset(); }
    uint8_t* V() { return pixels.data() + I420PlanesOf(width, height).VOffset(); }
    const uint8_t* Y() const { return pixels.data(); }
    const uint8_t* U() const { return pixels.data() + I420PlanesOf(width, height).UOffset(); }
    const uint8_t* V() const { return pixels.data() + I420PlanesOf(width, height).VOffset(); }
    int StrideY() const { return width; }
    int StrideUV() const { return (width + 1) / 2; }
};

}  // namespace mediatap
