#include "Capture/camera_rules.h"
#include "camport/CameraTypes.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace Orvane;
using namespace Orvane::camrules;
using Orvane::camdev::FormatType;

namespace {

CameraCapability Cap(int w, int h, int fps, int type) {
    CameraCapability c;
    c.width = w;
    c.height = h;
    c.maxFps = fps;
    c.pixelType = type;
    return c;
}

}  // namespace

TEST(CameraRules, DeviceNamesLeftOutOfTheWalk) {
    EXPECT_TRUE(IsSkippedDeviceName("Old Camera (VFW)"));
    EXPECT_TRUE(IsSkippedDeviceName("(VFW) driver"));
    EXPECT_TRUE(IsSkippedDeviceName("google camera adapter 0"));
    EXPECT_TRUE(IsSkippedDeviceName("GOOGLE CAMERA ADAPTER"));
    EXPECT_FALSE(IsSkippedDeviceName("Google Camera Adapte"));
    EXPECT_FALSE(IsSkippedDeviceName("My Google Camera Adapter"));
    EXPECT_FALSE(IsSkippedDeviceName("HD Webcam (vfw)"));  // the marker is case-sensitive
    EXPECT_FALSE(IsSkippedDeviceName("Integrated Camera"));
}

TEST(CameraRules, ProductIdCutFromUniqueId) {
    std::string product;
    EXPECT_EQ(ProductIdResult::Found,
              ProductIdFromUniqueId("\\\\?\\usb#vid_1234&pid_5678&mi_00#7&1a2b&0&0000#{65e8773d}", 127, product));
    EXPECT_EQ("usb#vid_1234&pid_5678", product);

    EXPECT_EQ(ProductIdResult::NoMarker, ProductIdFromUniqueId("/dev/video0", 127, product));
    EXPECT_EQ("", product);
    EXPECT_EQ(ProductIdResult::Failed, ProductIdFromUniqueId("\\\\?\\usb#vid_1234", 127, product));
    EXPECT_EQ(ProductIdResult::Failed, ProductIdFromUniqueId("\\\\?\\usb#vid_1234&pid_5678", 127, product));
    // Longer than the buffer takes.
    EXPECT_EQ(ProductIdResult::Failed, ProductIdFromUniqueId("\\\\?\\usb#vid_1234&pid_5678&x", 10, product));
    EXPECT_EQ("", product);
    // Longer than 128 even with a big buffer.
    const std::string longId = "\\\\?\\" + std::string(100, 'a') + "&" + std::string(40, 'b') + "&c";
    EXPECT_EQ(ProductIdResult::Failed, ProductIdFromUniqueId(longId, 1000, product));
}

TEST(CameraRules, HeaderFamilyOfTheList) {
    EXPECT_EQ(FormatType::VideoInfo, ChooseFormatType(true, false, false));
    EXPECT_EQ(FormatType::VideoInfo, ChooseFormatType(true, true, false));  // progressive VideoInfo2 ignored
    EXPECT_EQ(FormatType::VideoInfo2, ChooseFormatType(true, true, true));  // interlaced wins
    EXPECT_EQ(FormatType::VideoInfo2, ChooseFormatType(false, true, false));
    EXPECT_EQ(FormatType::VideoInfo, ChooseFormatType(false, false, false));
}

TEST(CameraRules, FrameRatesTruncate) {
    EXPECT_EQ(30, FpsFromInterval(333333));
    EXPECT_EQ(29, FpsFromInterval(333334));
    EXPECT_EQ(15, FpsFromInterval(666666));
    EXPECT_EQ(0, FpsFromInterval(0));
    EXPECT_EQ(0, FpsFromInterval(-5));
    EXPECT_EQ(0, FpsFromInterval(20000000));
}

TEST(CameraRules, SubtypeTable) {
    using namespace camdev;
    EXPECT_EQ(kCameraI420, PixelTypeFromSubtype(kSubtypeI420));
    EXPECT_EQ(kCameraIYUV, PixelTypeFromSubtype(kSubtypeIYUV));
    EXPECT_EQ(kCameraRGB24, PixelTypeFromSubtype(kSubtypeRGB24));
    EXPECT_EQ(kCameraYUY2, PixelTypeFromSubtype(kSubtypeYUY2));
    EXPECT_EQ(kCameraRGB565, PixelTypeFromSubtype(kSubtypeRGB565));
    EXPECT_EQ(kCameraMJPEG, PixelTypeFromSubtype(kSubtypeMJPG));
    for (uint32_t dv : {kSubtypeDVSL, kSubtypeDVSD, kSubtypeDVHD}) EXPECT_EQ(kCameraYUY2, PixelTypeFromSubtype(dv));
    EXPECT_EQ(kCameraUYVY, PixelTypeFromSubtype(kSubtypeUYVY));
    EXPECT_EQ(kCameraUYVY, PixelTypeFromSubtype(kSubtypeHDYC));
    EXPECT_EQ(kCameraUnknown, PixelTypeFromSubtype(kSubtypeNV12));
    EXPECT_EQ(L"{3231564E-0000-0010-8000-00AA00389B71}", SubtypeGuidText(kSubtypeNV12));
    EXPECT_EQ(L"{E436EB7D-524F-11CE-9F53-0020AF0BA770}", SubtypeGuidText(kSubtypeRGB24));
}

TEST(CameraRules, EngineFormatTableBothWays) {
    const int pairs[][2] = {{0, 1}, {1, 0}, {2, 4}, {3, 5}, {4, 7}, {5, 8}, {6, 10},
                            {7, 11}, {10, 12}, {11, 2}, {12, 3}, {13, 9}};
    for (const auto& p : pairs) {
        EXPECT_EQ(p[1], CameraTypeToEngineFormat(p[0])) << p[0];
        EXPECT_EQ(p[0], EngineFormatToCameraType(p[1])) << p[1];
    }
    EXPECT_EQ(-1, EngineFormatToCameraType(6));
    EXPECT_EQ(-1, EngineFormatToCameraType(13));
    EXPECT_EQ(-1, EngineFormatToCameraType(-1));
    EXPECT_EQ(-1, CameraTypeToEngineFormat(kCameraUnknown));
    EXPECT_EQ(-1, CameraTypeToEngineFormat(8));
}

TEST(CameraRules, FrameInfoRecordIsLittleEndian28Bytes) {
    CapturedFrameInfo info;
    std::memset(&info, 0, sizeof(info));
    info.format = 1;
    info.width = 640;
    info.height = 480;
    info.flag1 = 1;
    info.timestamp = 0x01020304;
    info.flag2 = 1;
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&info);
    const uint8_t expect[28] = {1, 0, 0, 0, 0x80, 2, 0xE0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 3, 2, 1, 1, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(expect, b, 28));
    CapsEntry entry{1, 2, 3, 4};
    const int32_t* fields = reinterpret_cast<const int32_t*>(&entry);
    EXPECT_EQ(4, fields[3]);
}

// The four worked examples of the best-match rule.
TEST(BestMatch, ExactSizeWithRequestedTypeStopsTheScan) {
    const std::vector<CameraCapability> caps = {Cap(1280, 720, 30, kCameraMJPEG), Cap(640, 480, 30, kCameraYUY2),
                                                Cap(640, 480, 30, kCameraI420)};
    CameraCapability best;
    EXPECT_EQ(1, FindBestIndex(caps, Cap(640, 480, 30, kCameraYUY2), best));
    EXPECT_EQ(kCameraYUY2, best.pixelType);
    EXPECT_EQ(640, best.width);
}

TEST(BestMatch, SmallerThanRequestedLikeTheBestIsPassedOver) {
    const std::vector<CameraCapability> caps = {Cap(320, 240, 30, kCameraYUY2), Cap(640, 480, 30, kCameraYUY2)};
    CameraCapability best;
    EXPECT_EQ(0, FindBestIndex(caps, Cap(1280, 720, 30, kCameraI420), best));
    EXPECT_EQ(320, best.width);
}

TEST(BestMatch, SameShapeSmallerButLargeEnoughWins) {
    const std::vector<CameraCapability> caps = {Cap(1280, 960, 30, kCameraI420), Cap(800, 600, 30, kCameraI420)};
    CameraCapability best;
    EXPECT_EQ(1, FindBestIndex(caps, Cap(640, 480, 30, kCameraI420), best));
}

TEST(BestMatch, WorseShapeIsPassedOver) {
    const std::vector<CameraCapability> caps = {Cap(1920, 1080, 30, kCameraYUY2), Cap(1280, 960, 30, kCameraYUY2)};
    CameraCapability best;
    EXPECT_EQ(0, FindBestIndex(caps, Cap(1280, 720, 30, kCameraYUY2), best));
}

TEST(BestMatch, OtherRules) {
    CameraCapability best;
    EXPECT_EQ(-1, FindBestIndex({}, Cap(640, 480, 30, kCameraI420), best));
    EXPECT_EQ(kCameraUnknown, best.pixelType);
    // Too slow for the exact match: the preferred type is kept over MJPEG.
    EXPECT_EQ(0, FindBestIndex({Cap(640, 480, 15, kCameraYUY2), Cap(1280, 720, 30, kCameraMJPEG)},
                               Cap(640, 480, 30, kCameraI420), best));
    // A preferred type replaces a best that is not preferred (RGB24 → I420).
    EXPECT_EQ(1, FindBestIndex({Cap(1280, 720, 30, kCameraRGB24), Cap(320, 240, 30, kCameraI420)},
                               Cap(640, 480, 30, kCameraYUY2), best));
    // No type requested: the first capability becomes the best through its empty size.
    EXPECT_EQ(0, FindBestIndex({Cap(640, 480, 30, kCameraRGB24)}, Cap(640, 480, 60, kCameraUnknown), best));
    // The exact size at a sufficient rate wins even when not of the requested type; the scan goes on.
    EXPECT_EQ(2, FindBestIndex({Cap(320, 240, 30, kCameraYUY2), Cap(640, 480, 30, kCameraI420),
                                Cap(640, 480, 30, kCameraYUY2)},
                               Cap(640, 480, 30, kCameraYUY2), best));
    // A requested width of 0 does not divide by zero.
    EXPECT_GE(FindBestIndex({Cap(640, 480, 30, kCameraYUY2), Cap(800, 600, 30, kCameraYUY2)}, Cap(0, 0, 30, kCameraYUY2),
                            best),
              0);
}

TEST(FrameSizes, I420LayoutCoversOddSizes) {
    const I420Layout even = I420LayoutFor(640, -480);
    EXPECT_EQ(460800, even.size);
    EXPECT_EQ(307200, even.uOffset);
    EXPECT_EQ(307200 + 76800, even.vOffset);
    EXPECT_EQ(320, even.strideUV);
    const I420Layout odd = I420LayoutFor(5, 3);
    EXPECT_EQ(15 + 2 * 3 * 2, odd.size);  // 3 x 2 chroma samples per plane
    EXPECT_EQ(15 + 6, odd.vOffset);
    EXPECT_EQ(4 * 2 * 480, PackedFrameBytes(kCameraYUY2, 4, 480));
    EXPECT_EQ(8 * 2, PackedFrameBytes(kCameraUYVY, 3, 2));
    EXPECT_EQ(640 * 480 * 3, PackedFrameBytes(kCameraRGB24, 640, -480));
    EXPECT_EQ(0, PackedFrameBytes(kCameraMJPEG, 640, 480));
}
