// The camera frame path on the engine side: the hand-over from the camera's thread, and the
// conversion and placement of each frame format, checked against libyuv's own conversions.
#include "camera_source.h"
#include "common/buffer.h"
#include "mediakit/IVideoConvert.h"

#include <gtest/gtest.h>
#include <libyuv.h>

#include <atomic>
#include <cstring>
#include <thread>

using namespace mediatap;

namespace {

// A picture with detail in every plane, so that a wrong stride or offset shows.
I420Frame Pattern(int w, int h) {
    I420Frame f;
    f.Reset(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) f.Y()[y * w + x] = static_cast<uint8_t>(16 + (x * 7 + y * 3) % 220);
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w / 2; ++x) {
            f.U()[y * (w / 2) + x] = static_cast<uint8_t>(16 + (x * 11) % 224);
            f.V()[y * (w / 2) + x] = static_cast<uint8_t>(16 + (y * 13) % 224);
        }
    return f;
}

CameraPicture Picture(int format, int w, int h, std::vector<uint8_t> bytes) {
    CameraPicture p;
    p.format = format;
    p.width = w;
    p.height = h;
    p.bytes = std::move(bytes);
    return p;
}

CameraPicture AsI420(const I420Frame& f) { return Picture(kEnginePixelI420, f.width, f.height, f.pixels); }

CameraPicture AsPacked(const I420Frame& f, int format) {
    std::vector<uint8_t> bytes;
    if (format == kEnginePixelRGB24) {
        bytes.resize(static_cast<size_t>(f.width) * f.height * 3);
        libyuv::I420ToRGB24(f.Y(), f.StrideY(), f.U(), f.StrideUV(), f.V(), f.StrideUV(), bytes.data(), f.width * 3,
                            f.width, f.height);
    } else {
        bytes.resize(static_cast<size_t>(f.width) * f.height * 2);
        auto convert = format == kEnginePixelYUY2 ? libyuv::I420ToYUY2 : libyuv::I420ToUYVY;
        convert(f.Y(), f.StrideY(), f.U(), f.StrideUV(), f.V(), f.StrideUV(), bytes.data(), f.width * 2, f.width,
                f.height);
    }
    return Picture(format, f.width, f.height, std::move(bytes));
}

// libyuv's direct conversion of the same bytes.
I420Frame Reference(const CameraPicture& p) {
    I420Frame f;
    f.Reset(p.width, p.height);
    uint32_t fourcc = p.format == kEnginePixelYUY2   ? libyuv::FOURCC_YUY2
                      : p.format == kEnginePixelUYVY ? libyuv::FOURCC_UYVY
                                                     : libyuv::FOURCC_24BG;
    EXPECT_EQ(0, libyuv::ConvertToI420(p.bytes.data(), p.bytes.size(), f.Y(), f.StrideY(), f.U(), f.StrideUV(), f.V(),
                                       f.StrideUV(), 0, 0, p.width, p.height, p.width, p.height, libyuv::kRotate0,
                                       fourcc));
    return f;
}

bool Place(const CameraPicture& p, I420Frame* out) {
    I420Frame scratch;
    return PlaceCameraPicture(p, FitInside(p.width & ~1, p.height & ~1, out->width, out->height), out, &scratch);
}

}  // namespace

TEST(CameraFrame, EachFormatAtItsOwnSizeMatchesLibyuv) {
    const I420Frame src = Pattern(64, 48);
    I420Frame out;
    out.Reset(64, 48);
    ASSERT_TRUE(Place(AsI420(src), &out));
    EXPECT_EQ(out.pixels, src.pixels);
    CameraPicture iyuv = AsI420(src);
    iyuv.format = kEnginePixelIYUV;
    out.Black();
    ASSERT_TRUE(Place(iyuv, &out));
    EXPECT_EQ(out.pixels, src.pixels);

    for (int format : {kEnginePixelYUY2, kEnginePixelUYVY, kEnginePixelRGB24}) {
        CameraPicture packed = AsPacked(src, format);
        out.Black();
        ASSERT_TRUE(Place(packed, &out)) << format;
        EXPECT_EQ(out.pixels, Reference(packed).pixels) << format;
    }
}

TEST(CameraFrame, ScalesAndLetterboxesIntoTheOutput) {
    const I420Frame src = Pattern(64, 48);
    // Half the size: libyuv's conversion, then its bilinear scale.
    I420Frame out, expected;
    out.Reset(32, 24);
    expected.Reset(32, 24);
    ASSERT_TRUE(Place(AsPacked(src, kEnginePixelYUY2), &out));
    I420Frame viaYuy2 = Reference(AsPacked(src, kEnginePixelYUY2));
    libyuv::I420Scale(viaYuy2.Y(), 64, viaYuy2.U(), 32, viaYuy2.V(), 32, 64, 48, expected.Y(), 32, expected.U(), 16,
                      expected.V(), 16, 32, 24, libyuv::kFilterBilinear);
    EXPECT_EQ(out.pixels, expected.pixels);

    // A 4:3 camera in a 16:9 frame: bars left and right, the picture in the middle.
    I420Frame wide;
    wide.Reset(128, 54);
    ASSERT_TRUE(Place(AsI420(src), &wide));
    const Rect fit = FitInside(64, 48, 128, 54);
    ASSERT_GT(fit.x, 0);
    for (int y = 0; y < 54; ++y) {
        EXPECT_EQ(wide.Y()[y * 128 + 0], 16);
        EXPECT_EQ(wide.Y()[y * 128 + 127], 16);
    }
    EXPECT_NE(wide.Y()[27 * 128 + 64], 16);
}

TEST(CameraFrame, OddSizesUseThePluginsPlaneLayout) {
    // 65 x 49 I420 as the plug-in lays it out: U at w*h, V at w*h + 33*25, strides 33.
    const int w = 65, h = 49, cw = 33, ch = 25;
    const size_t ySize = static_cast<size_t>(w) * h, cSize = static_cast<size_t>(cw) * ch;
    std::vector<uint8_t> bytes(ySize + 2 * cSize, 0);
    for (size_t i = 0; i < ySize; ++i) bytes[i] = static_cast<uint8_t>(16 + i % 200);
    for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x) {
            bytes[ySize + y * cw + x] = static_cast<uint8_t>(50 + y);
            bytes[ySize + cSize + y * cw + x] = static_cast<uint8_t>(100 + x);
        }
    I420Frame out;
    out.Reset(64, 48);
    ASSERT_TRUE(Place(Picture(kEnginePixelI420, w, h, bytes), &out));
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) ASSERT_EQ(out.Y()[y * 64 + x], bytes[y * w + x]) << x << "," << y;
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 32; ++x) {
            ASSERT_EQ(out.U()[y * 32 + x], 50 + y) << x << "," << y;
            ASSERT_EQ(out.V()[y * 32 + x], 100 + x) << x << "," << y;
        }
    // One byte short of that layout is refused.
    bytes.pop_back();
    EXPECT_FALSE(Place(Picture(kEnginePixelI420, w, h, bytes), &out));
}

TEST(CameraFrame, RefusesWhatItCannotRead) {
    const I420Frame src = Pattern(64, 48);
    I420Frame out;
    out.Reset(64, 48);
    out.Black();
    const std::vector<uint8_t> before = out.pixels;
    CameraPicture shortI420 = AsI420(src);
    shortI420.bytes.pop_back();
    EXPECT_FALSE(Place(shortI420, &out));
    CameraPicture shortYuy2 = AsPacked(src, kEnginePixelYUY2);
    shortYuy2.bytes.resize(shortYuy2.bytes.size() - 2);
    EXPECT_FALSE(Place(shortYuy2, &out));
    // RGB565, an unknown code and an undecodable MJPEG frame.
    EXPECT_FALSE(Place(Picture(kEnginePixelRGB565, 64, 48, std::vector<uint8_t>(64 * 48 * 2, 7)), &out));
    EXPECT_FALSE(Place(Picture(0, 64, 48, src.pixels), &out));
    EXPECT_FALSE(Place(Picture(kEnginePixelMJPEG, 64, 48, std::vector<uint8_t>(5000, 0x5a)), &out));
    EXPECT_FALSE(Place(Picture(kEnginePixelI420, 1, 1, {1, 2, 3}), &out));
    EXPECT_EQ(out.pixels, before);
}

TEST(CameraFeed, NewestFrameWinsAndBadFramesRepeatThePicture) {
    auto feed = std::make_shared<CameraFeed>();
    CameraProducer producer(feed, "camera test");
    I420Frame out;
    out.Reset(64, 48);
    EXPECT_EQ(producer.Produce(&out), IVideoProducer::Result::kRepeat);

    Orvane::CapturedFrameInfo info{};
    info.format = kEnginePixelI420;
    info.width = 64;
    info.height = 48;
    Orvane::Common::CDataPacket packet;
    for (int i = 0; i < 3; ++i) {
        I420Frame f = Pattern(64, 48);
        std::fill(f.Y(), f.Y() + 64 * 48, static_cast<uint8_t>(50 + i));
        ASSERT_TRUE(packet.Set(f.pixels.data(), static_cast<int>(f.pixels.size())));
        feed->OnCameraFrame(&info, &packet);
    }
    EXPECT_EQ(feed->FramesReceived(), 3u);
    ASSERT_EQ(producer.Produce(&out), IVideoProducer::Result::kFrame);
    EXPECT_EQ(out.Y()[0], 52) << "only the newest frame is kept";
    EXPECT_EQ(producer.Produce(&out), IVideoProducer::Result::kRepeat);

    info.format = kEnginePixelRGB565;
    feed->OnCameraFrame(&info, &packet);
    EXPECT_EQ(producer.Produce(&out), IVideoProducer::Result::kRepeat);
    EXPECT_EQ(out.Y()[0], 52) << "an unreadable frame leaves the previous picture";

    CameraFrameMailbox mailbox;
    uint8_t byte = 1;
    EXPECT_FALSE(mailbox.Put(1, 1, 1, &byte, 0));
    EXPECT_FALSE(mailbox.Put(1, 1, 1, &byte, CameraFrameMailbox::kMaxFrameBytes + 1));
    CameraPicture taken;
    EXPECT_FALSE(mailbox.TakeIfNewer(&taken));
}

TEST(CameraFeed, FramesCrossThreadsWhole) {
    // Every frame is one byte value throughout: a torn hand-over would mix two.
    CameraFrameMailbox mailbox;
    std::atomic<bool> done{false};
    std::thread camera([&] {
        std::vector<uint8_t> frame(100000);
        for (int i = 1; i <= 300; ++i) {
            const uint8_t value = static_cast<uint8_t>(i);
            std::fill(frame.begin(), frame.end(), value);
            mailbox.Put(kEnginePixelI420, 100, 100, frame.data(), frame.size() - value % 7);
        }
        done.store(true);
    });
    CameraPicture picture;
    int taken = 0;
    for (;;) {
        const bool finished = done.load();
        if (mailbox.TakeIfNewer(&picture)) {
            ++taken;
            const uint8_t value = picture.bytes.front();
            ASSERT_EQ(picture.bytes.size(), 100000u - value % 7);
            for (uint8_t b : picture.bytes) ASSERT_EQ(b, value);
        } else if (finished) {
            break;
        }
    }
    camera.join();
    EXPECT_GE(taken, 1);
}
