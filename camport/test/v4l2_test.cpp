// The V4L2 backend's mapping, and a real capture wherever a camera exists.
#include "Capture/camera_rules.h"
#include "Capture/device_info_windows.h"
#include "Capture/device_layer_v4l2.h"
#include "Capture/video_capture_windows.h"
#include "camtest.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

using namespace Orvane;
using namespace Orvane::camdev;

TEST(V4l2Mapping, PixelFormatsOntoTheSubtypeTable) {
    using namespace v4l2map;
    EXPECT_EQ(kCameraYUY2, camrules::PixelTypeFromSubtype(SubtypeFromPixelFormat(V4L2_PIX_FMT_YUYV)));
    EXPECT_EQ(kCameraUYVY, camrules::PixelTypeFromSubtype(SubtypeFromPixelFormat(V4L2_PIX_FMT_UYVY)));
    EXPECT_EQ(kCameraI420, camrules::PixelTypeFromSubtype(SubtypeFromPixelFormat(V4L2_PIX_FMT_YUV420)));
    EXPECT_EQ(kCameraMJPEG, camrules::PixelTypeFromSubtype(SubtypeFromPixelFormat(V4L2_PIX_FMT_MJPEG)));
    EXPECT_EQ(kCameraMJPEG, camrules::PixelTypeFromSubtype(SubtypeFromPixelFormat(V4L2_PIX_FMT_JPEG)));
    EXPECT_EQ(kCameraRGB24, camrules::PixelTypeFromSubtype(SubtypeFromPixelFormat(V4L2_PIX_FMT_BGR24)));
    EXPECT_EQ(kCameraRGB565, camrules::PixelTypeFromSubtype(SubtypeFromPixelFormat(V4L2_PIX_FMT_RGB565)));
    // R, G, B byte order has no listed type; NV12 is listed by the device but refused above.
    EXPECT_EQ(kCameraUnknown, camrules::PixelTypeFromSubtype(SubtypeFromPixelFormat(V4L2_PIX_FMT_RGB24)));
    EXPECT_EQ(kSubtypeNV12, SubtypeFromPixelFormat(V4L2_PIX_FMT_NV12));
    EXPECT_EQ(std::wstring(L"{3231564E-0000-0010-8000-00AA00389B71}"),
              SubtypeGuidText(SubtypeFromPixelFormat(V4L2_PIX_FMT_NV12)));

    for (uint32_t f : {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_UYVY, V4L2_PIX_FMT_YUV420, V4L2_PIX_FMT_MJPEG,
                       V4L2_PIX_FMT_BGR24, V4L2_PIX_FMT_RGB565, V4L2_PIX_FMT_NV12})
        EXPECT_EQ(f, PixelFormatFromSubtype(SubtypeFromPixelFormat(f)));
    EXPECT_EQ(V4L2_PIX_FMT_YUV420, PixelFormatFromSubtype(kSubtypeIYUV));
    EXPECT_EQ(0u, PixelFormatFromSubtype(kSubtypeDVSD));
}

TEST(V4l2Mapping, HeadersIntervalsAndSizes) {
    using namespace v4l2map;
    const MediaType bgr = MediaTypeFor(V4L2_PIX_FMT_BGR24, 640, 480, 333333);
    EXPECT_EQ(-480, bgr.height);  // top-down
    EXPECT_EQ(0u, bgr.compression);
    EXPECT_EQ(640u * 480 * 3, bgr.imageSize);
    const MediaType yuyv = MediaTypeFor(V4L2_PIX_FMT_YUYV, 1280, 720, 333333);
    EXPECT_EQ(720, yuyv.height);
    EXPECT_EQ(kSubtypeYUY2, yuyv.compression);
    EXPECT_EQ(FormatType::VideoInfo, yuyv.formatType);

    EXPECT_EQ(333333, IntervalFromFraction(1, 30));
    EXPECT_EQ(30, camrules::FpsFromInterval(IntervalFromFraction(1, 30)));
    EXPECT_EQ(29, camrules::FpsFromInterval(IntervalFromFraction(1001, 30000)));
    EXPECT_EQ(0, IntervalFromFraction(1, 0));
    const auto f = FractionFromInterval(333333);
    EXPECT_EQ(333333u, f.first);
    EXPECT_EQ(10000000u, f.second);

    const auto sizes = SizesFromRange(16, 1920, 16, 16, 1080, 8);
    ASSERT_FALSE(sizes.empty());
    EXPECT_EQ(std::make_pair(1920u, 1080u), sizes.back());
    EXPECT_NE(sizes.end(), std::find(sizes.begin(), sizes.end(), std::make_pair(640u, 480u)));
    EXPECT_EQ(sizes.end(), std::find(sizes.begin(), sizes.end(), std::make_pair(1600u, 1200u)));  // taller than the range
    EXPECT_TRUE(SizesFromRange(100, 50, 1, 1, 1, 1).empty());

    const uint8_t card[32] = {'U', 'S', 'B', ' ', 'C', 'a', 'm'};
    EXPECT_EQ("USB Cam", CardName(card, sizeof(card)));
    uint8_t full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ("abcd", CardName(full, sizeof(full)));
}

TEST(V4l2Mapping, PaddedRowsArePacked) {
    using namespace v4l2map;
    EXPECT_EQ(1280u, PackedRowBytes(V4L2_PIX_FMT_YUYV, 640));
    EXPECT_EQ(12u, PackedRowBytes(V4L2_PIX_FMT_UYVY, 5));
    EXPECT_EQ(10u, PackedRowBytes(V4L2_PIX_FMT_RGB565, 5));
    EXPECT_EQ(15u, PackedRowBytes(V4L2_PIX_FMT_BGR24, 5));
    EXPECT_EQ(0u, PackedRowBytes(V4L2_PIX_FMT_MJPEG, 640));
    // Two BGR24 rows of 1 pixel, 4 bytes apart; the last row needs no padding behind it.
    const uint8_t frame[] = {1, 2, 3, 0xee, 4, 5, 6};
    std::vector<uint8_t> out;
    ASSERT_TRUE(PackFrame(V4L2_PIX_FMT_BGR24, 1, 2, 4, frame, sizeof(frame), out));
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4, 5, 6}), out);
    EXPECT_FALSE(PackFrame(V4L2_PIX_FMT_BGR24, 1, 2, 4, frame, 6, out));  // short frame
}

TEST(V4l2Mapping, JpegOnlyCameraIsAskedForJpeg) {
    using namespace v4l2map;
    // Listed as MJPG, set as the JPEG the camera offers, and its answer taken.
    const std::vector<uint32_t> jpegOnly = {V4L2_PIX_FMT_JPEG};
    EXPECT_EQ(kSubtypeMJPG, SubtypeFromPixelFormat(jpegOnly[0]));
    EXPECT_EQ(V4L2_PIX_FMT_JPEG, PixelFormatToSet(kSubtypeMJPG, jpegOnly));
    EXPECT_TRUE(SamePixelFormat(V4L2_PIX_FMT_JPEG, V4L2_PIX_FMT_JPEG));
    EXPECT_TRUE(SamePixelFormat(V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_JPEG));
    EXPECT_FALSE(SamePixelFormat(V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV));
    // A camera offering both is asked for MJPEG; other types as before.
    EXPECT_EQ(V4L2_PIX_FMT_MJPEG, PixelFormatToSet(kSubtypeMJPG, {V4L2_PIX_FMT_JPEG, V4L2_PIX_FMT_MJPEG}));
    EXPECT_EQ(V4L2_PIX_FMT_YUV420, PixelFormatToSet(kSubtypeIYUV, jpegOnly));
    EXPECT_FALSE(HasPaddedRows(V4L2_PIX_FMT_JPEG, 640, 2048));
}

TEST(V4l2Mapping, PaddedPlanarFrameIsPacked) {
    using namespace v4l2map;
    // 641 x 481 YUV420 with 704-byte luma rows (352-byte chroma rows) becomes the tight I420
    // layout with chroma planes of 321 x 241.
    const uint32_t w = 641, h = 481, bpl = 704, cw = 321, ch = 241;
    std::vector<uint8_t> padded(bpl * h + 2 * (bpl / 2) * ch, 0xee), tight;
    auto plane = [&](size_t at, uint32_t stride, uint32_t rowBytes, uint32_t rows, uint8_t seed) {
        for (uint32_t r = 0; r < rows; ++r)
            for (uint32_t x = 0; x < rowBytes; ++x) {
                const uint8_t v = static_cast<uint8_t>(seed + r * 7 + x);
                padded[at + r * stride + x] = v;
                tight.push_back(v);
            }
    };
    plane(0, bpl, w, h, 0);
    plane(bpl * h, bpl / 2, cw, ch, 50);
    plane(bpl * h + (bpl / 2) * ch, bpl / 2, cw, ch, 100);
    ASSERT_TRUE(HasPaddedRows(V4L2_PIX_FMT_YUV420, w, bpl));
    EXPECT_FALSE(HasPaddedRows(V4L2_PIX_FMT_YUV420, w, w));
    std::vector<uint8_t> out;
    ASSERT_TRUE(PackFrame(V4L2_PIX_FMT_YUV420, w, h, bpl, padded.data(), padded.size(), out));
    EXPECT_EQ(tight, out);
    EXPECT_FALSE(PackFrame(V4L2_PIX_FMT_YUV420, w, h, bpl, padded.data(), padded.size() - 400, out));
    ASSERT_TRUE(PackFrame(V4L2_PIX_FMT_NV12, w, h, bpl, padded.data(), bpl * h + bpl * ch, out));
    EXPECT_EQ(size_t{w * h + 2 * cw * ch}, out.size());
}

TEST(V4l2Layer, FolderWithoutCameras) {
    testsupport::TempDir dir("nocam");
    DeviceInfoWindows info(CreateV4l2DeviceLayer(dir.path()));
    EXPECT_EQ(0, info.GetDeviceCount());
    DeviceInfoWindows missing(CreateV4l2DeviceLayer(dir.file("absent")));
    EXPECT_EQ(0, missing.GetDeviceCount());
}

// Runs against the machine's first camera, when it has one.
TEST(V4l2Layer, RealCameraWhenPresent) {
    auto layer = CreateV4l2DeviceLayer();
    CVideoCaptureCapsWindows caps(layer);
    if (caps.GetDeviceCount() == 0) GTEST_SKIP() << "no V4L2 camera on this machine";
    char name[128], id[128];
    ASSERT_EQ(0, caps.GetDeviceNameAt(0, name, id));
    const int n = caps.GetCapabilityCount(id);
    ASSERT_GT(n, 0);
    CapsEntry e;
    ASSERT_EQ(0, caps.GetCapabilityAt(id, 0, &e));
    VideoCaptureDS capture(layer);
    camtest::RecordingSink sink;
    ASSERT_TRUE(capture.SetCaptureDev(id, e.width, std::abs(e.height), e.fps, e.format));
    ASSERT_TRUE(capture.StartCapture(&sink));
    EXPECT_TRUE(sink.WaitFor(3));
    capture.StopCapture();
}
