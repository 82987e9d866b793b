#include "mediakit/IVideoConvert.h"

#include <gtest/gtest.h>
#include <libyuv.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace {

struct Rgb {
    uint8_t r, g, b;
};
const Rgb kBars[] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                     {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};

// Eight vertical colour bars, stored B, G, R, top row first.
std::vector<uint8_t> BarsBgr(int w, int h) {
    std::vector<uint8_t> img(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Rgb& c = kBars[x * 8 / w];
            uint8_t* p = &img[(static_cast<size_t>(y) * w + x) * 3];
            p[0] = c.b;
            p[1] = c.g;
            p[2] = c.r;
        }
    return img;
}

struct Converter {
    Converter() : c(CreateVideoConvert()) {}
    ~Converter() { DestoryVideoConvert(c); }
    IVideoConvert* operator->() { return c; }
    IVideoConvert* c;
};

// Largest per-byte difference between two bar images, ignoring a margin around bar edges,
// where chroma subsampling and scaling blend neighbours.
int MaxBarError(const uint8_t* got, const std::vector<uint8_t>& want, int w, int h) {
    int worst = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int edge = (x * 8) % w;
            if (edge < 24 || edge > w - 24) continue;
            for (int k = 0; k < 3; ++k) {
                const size_t i = (static_cast<size_t>(y) * w + x) * 3 + k;
                worst = std::max(worst, std::abs(got[i] - want[i]));
            }
        }
    return worst;
}

}  // namespace

TEST(VideoConvert, Rgb24ThroughI420ComesBackWithTheSameColours) {
    const int w = 320, h = 240;
    const std::vector<uint8_t> bars = BarsBgr(w, h);
    Converter toI420, toRgb;
    ASSERT_TRUE(toI420->Init(w, h, kEnginePixelRGB24, w, h, kEnginePixelI420));
    uint8_t* i420 = nullptr;
    int len = 0;
    ASSERT_TRUE(toI420->Convert(bars.data(), static_cast<int>(bars.size()), &i420, &len));
    ASSERT_EQ(len, w * h * 3 / 2);
    // White bar: full-range white is Y 235 in limited range.
    EXPECT_NEAR(i420[10], 235, 2);

    ASSERT_TRUE(toRgb->Init(w, h, kEnginePixelI420, w, h, kEnginePixelRGB24));
    uint8_t* rgb = nullptr;
    ASSERT_TRUE(toRgb->Convert(i420, len, &rgb, &len));
    ASSERT_EQ(len, w * h * 3);
    EXPECT_LE(MaxBarError(rgb, bars, w, h), 12);
    // Byte order B, G, R: the red bar (sixth) has its red byte last.
    const uint8_t* red = rgb + (static_cast<size_t>(h / 2) * w + (w * 5 / 8 + w / 16)) * 3;
    EXPECT_LT(red[0], 20);
    EXPECT_LT(red[1], 20);
    EXPECT_GT(red[2], 235);
}

TEST(VideoConvert, BottomUpSourceComesOutUpright) {
    const int w = 64, h = 32;
    std::vector<uint8_t> img(static_cast<size_t>(w) * h * 3, 0);
    // Stored first row (the bottom of a bottom-up image) white, the rest black.
    std::fill(img.begin(), img.begin() + w * 3, 255);
    Converter c;
    ASSERT_TRUE(c->Init(w, -h, kEnginePixelRGB24, w, -h, kEnginePixelI420));
    uint8_t* out = nullptr;
    int len = 0;
    ASSERT_TRUE(c->Convert(img.data(), static_cast<int>(img.size()), &out, &len));
    EXPECT_LT(out[0], 30);                                // top row black
    EXPECT_GT(out[static_cast<size_t>(h - 1) * w], 220);  // bottom row white
}

TEST(VideoConvert, PackedYuvAndScaling) {
    const int w = 640, h = 480;
    const std::vector<uint8_t> bars = BarsBgr(w, h);
    std::vector<uint8_t> i420(w * h * 3 / 2);
    uint8_t* y = i420.data();
    uint8_t* u = y + w * h;
    uint8_t* v = u + w * h / 4;
    ASSERT_EQ(libyuv::RGB24ToI420(bars.data(), w * 3, y, w, u, w / 2, v, w / 2, w, h), 0);

    for (int fmt : {kEnginePixelYUY2, kEnginePixelUYVY}) {
        std::vector<uint8_t> packed(w * h * 2);
        if (fmt == kEnginePixelYUY2)
            libyuv::I420ToYUY2(y, w, u, w / 2, v, w / 2, packed.data(), w * 2, w, h);
        else
            libyuv::I420ToUYVY(y, w, u, w / 2, v, w / 2, packed.data(), w * 2, w, h);
        Converter c;
        ASSERT_TRUE(c->Init(w, h, fmt, w / 2, h / 2, kEnginePixelRGB24)) << fmt;
        uint8_t* out = nullptr;
        int len = 0;
        ASSERT_TRUE(c->Convert(packed.data(), static_cast<int>(packed.size()), &out, &len));
        ASSERT_EQ(len, w / 2 * h / 2 * 3);
        EXPECT_LE(MaxBarError(out, BarsBgr(w / 2, h / 2), w / 2, h / 2), 16) << fmt;
    }
}

TEST(VideoConvert, MjpegDecodes) {
    const int w = 320, h = 240;
    const std::vector<uint8_t> bars = BarsBgr(w, h);
    tjhandle tj = tjInitCompress();
    ASSERT_NE(tj, nullptr);
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    ASSERT_EQ(tjCompress2(tj, bars.data(), w, w * 3, h, TJPF_BGR, &jpeg, &jpegSize, TJSAMP_422, 95, 0), 0);
    tjDestroy(tj);

    Converter c;
    ASSERT_TRUE(c->Init(w, h, kEnginePixelMJPEG, w, h, kEnginePixelRGB24));
    uint8_t* out = nullptr;
    int len = 0;
    ASSERT_TRUE(c->Convert(jpeg, static_cast<int>(jpegSize), &out, &len));
    EXPECT_LE(MaxBarError(out, bars, w, h), 24);
    // A truncated JPEG fails instead of reading past its end.
    EXPECT_FALSE(c->Convert(jpeg, 100, &out, &len));
    tjFree(jpeg);
}

TEST(VideoConvert, RefusesWhatItCannotDo) {
    Converter c;
    uint8_t frame[64 * 64 * 3] = {};
    uint8_t* out = nullptr;
    int len = 0;
    EXPECT_FALSE(c->Convert(frame, sizeof frame, &out, &len));  // not initialised
    EXPECT_FALSE(c->Init(64, 64, 6, 64, 64, kEnginePixelRGB24));  // no such source format
    EXPECT_FALSE(c->Init(64, 64, kEnginePixelRGB24, 64, 64, kEnginePixelMJPEG));
    EXPECT_FALSE(c->Init(0, 64, kEnginePixelRGB24, 64, 64, kEnginePixelI420));
    EXPECT_FALSE(c->Init(64, 64, kEnginePixelRGB24, 64, 20000, kEnginePixelI420));

    ASSERT_TRUE(c->Init(64, 64, kEnginePixelRGB24, 64, 64, kEnginePixelI420));
    EXPECT_FALSE(c->Convert(frame, sizeof frame - 1, &out, &len));  // one byte short
    EXPECT_FALSE(c->Convert(nullptr, sizeof frame, &out, &len));
    EXPECT_TRUE(c->Convert(frame, sizeof frame, &out, &len));
    EXPECT_EQ(len, 64 * 64 * 3 / 2);

    // A failed Init leaves the converter unusable rather than half-configured.
    EXPECT_FALSE(c->Init(64, 64, 99, 64, 64, kEnginePixelI420));
    EXPECT_FALSE(c->Convert(frame, sizeof frame, &out, &len));
}
