// The device walk and the capability list over the media-file backend, whose devices carry
// whatever properties and formats a test gives them.
#include "Capture/device_info_windows.h"
#include "Capture/device_layer_pattern.h"
#include "camtest.h"

#include <gtest/gtest.h>

using namespace Orvane;
using namespace Orvane::camdev;

namespace {

PatternFormat Fmt(uint32_t subtype, int w, int h, int64_t interval = 333333,
                  FormatType type = FormatType::VideoInfo, uint32_t interlace = 0) {
    PatternFormat f;
    f.subtype = subtype;
    f.width = w;
    f.height = h;
    f.interval = interval;
    f.formatType = type;
    f.interlaceFlags = interlace;
    return f;
}

PatternCamera Camera(const std::string& name, const std::string& path, std::vector<PatternFormat> formats = {}) {
    PatternCamera c;
    c.friendlyName = name;
    c.devicePath = path;
    c.formats = formats.empty() ? std::vector<PatternFormat>{Fmt(kSubtypeYUY2, 640, 480)} : std::move(formats);
    return c;
}

std::shared_ptr<PatternDeviceLayer> Layer(std::vector<PatternCamera> cameras) {
    return std::make_shared<PatternDeviceLayer>(std::move(cameras));
}

std::vector<CameraCapability> ListOf(DeviceInfoWindows& info, const char* id) {
    std::vector<CameraCapability> out;
    const int n = info.NumberOfCapabilities(id);
    for (int i = 0; i < n; ++i) {
        CameraCapability c;
        EXPECT_EQ(0, info.GetCapability(id, static_cast<uint32_t>(i), c));
        out.push_back(c);
    }
    return out;
}

}  // namespace

TEST(DeviceWalk, NoCameraAtAll) {
    camtest::LogCapture log;
    CVideoCaptureCapsWindows caps(Layer({}));
    EXPECT_EQ(0, caps.GetDeviceCount());
    int result = -1;
    EXPECT_FALSE(caps.HasDevice("/dev/video0", &result));
    char name[128], id[128];
    EXPECT_EQ(-1, caps.GetDeviceNameAt(0, name, id));
    EXPECT_TRUE(log.Has("Failed to enumerate CLSID_SystemDeviceEnum, error 0x1. No webcam exist?"));
}

TEST(DeviceWalk, SkippedNamesAreNotCountedButFoundByPath) {
    camtest::LogCapture log;
    PatternCamera described = Camera("Friendly", "path-c");
    described.description = "Described Camera";
    CVideoCaptureCapsWindows caps(Layer({Camera("Old Cam (VFW)", "path-a"), Camera("GOOGLE CAMERA ADAPTER 1", "path-b"),
                                         described, Camera("Named Only", "")}));
    ASSERT_EQ(2, caps.GetDeviceCount());
    char name[128], id[128];
    ASSERT_EQ(0, caps.GetDeviceNameAt(0, name, id));
    EXPECT_STREQ("Described Camera", name);  // "Description" comes before "FriendlyName"
    EXPECT_STREQ("path-c", id);
    ASSERT_EQ(0, caps.GetDeviceNameAt(1, name, id));
    EXPECT_STREQ("Named Only", name);
    EXPECT_STREQ("Named Only", id);  // no "DevicePath": the name is the id
    EXPECT_TRUE(log.Has("Failed to get deviceUniqueIdUTF8 using deviceNameUTF8  Named Only"));
    EXPECT_TRUE(log.Has("Orvane::DeviceInfoWindows::GetDeviceInfo Named Only"));
    EXPECT_EQ(-1, caps.GetDeviceNameAt(2, name, id));

    // The skipped devices are still reachable by their path.
    EXPECT_NE(nullptr, caps.GetDeviceFilter("path-a", nullptr, 0));
    EXPECT_NE(nullptr, caps.GetDeviceFilter("path-b", nullptr, 0));
    EXPECT_EQ(nullptr, caps.GetDeviceFilter("path-x", nullptr, 0));
    EXPECT_TRUE(log.Has("GetDeviceFilter ( path-x )"));
    EXPECT_TRUE(log.Has("GetDeviceFilter ( 6 )"));

    int result = -1;
    EXPECT_TRUE(caps.HasDevice("path-c", &result));
    EXPECT_EQ(0, result);
    EXPECT_TRUE(caps.HasDevice("path-c-and-more", &result));  // agrees over the shorter length
    EXPECT_TRUE(caps.HasDevice("Named", &result));
    EXPECT_FALSE(caps.HasDevice("path-a", &result));  // skipped device
    EXPECT_FALSE(caps.HasDevice("p", &result));       // too short
    EXPECT_FALSE(caps.HasDevice("Path-c", &result));  // case-sensitive

    // There are no property pages to show for any device.
    EXPECT_EQ(-1, caps.ShowDeviceSettingsDialog("path-c", "Settings", 0, 10, 10));
}

TEST(DeviceWalk, ProductIdAndBufferLimits) {
    camtest::LogCapture log;
    const std::string path = "\\\\?\\usb#vid_1234&pid_5678&mi_00#7&1a2b&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}";
    DeviceInfoWindows info(Layer({Camera("USB Camera", path), Camera(std::string(200, 'n'), "long")}));
    char name[128], id[128], product[128];
    ASSERT_EQ(0, info.GetDeviceNameAt(0, name, 128, id, 128, product, 128));
    EXPECT_STREQ("usb#vid_1234&pid_5678", product);
    EXPECT_EQ(path, id);
    std::memset(product, 'x', sizeof(product));
    EXPECT_NE(nullptr, info.GetDeviceFilter(path.c_str(), product, 128));
    EXPECT_STREQ("usb#vid_1234&pid_5678", product);

    // A name that does not fit its buffer fails the call.
    EXPECT_EQ(-1, info.GetDeviceNameAt(1, name, 128, id, 128, nullptr, 0));
    EXPECT_TRUE(log.Has("Failed to convert device name to UTF8. 122"));
    EXPECT_FALSE(log.Has("Failed to get the product Id"));
    EXPECT_EQ(nullptr, info.GetDeviceFilter(std::string(1025, 'a').c_str(), nullptr, 0));
    EXPECT_TRUE(log.Has("Device name too long"));
}

TEST(CapabilityList, VideoInfoPreferredOverProgressiveVideoInfo2) {
    CVideoCaptureCapsWindows caps(Layer({Camera("A", "a",
                                                {Fmt(kSubtypeYUY2, 640, 480), Fmt(kSubtypeYUY2, 1280, 720, 333333,
                                                                                  FormatType::VideoInfo2),
                                                 Fmt(kSubtypeI420, 320, 240)}),
                                         Camera("B", "b",
                                                {Fmt(kSubtypeYUY2, 640, 480), Fmt(kSubtypeUYVY, 720, 576, 400000,
                                                                                  FormatType::VideoInfo2, 1)})}));
    ASSERT_EQ(2, caps.GetCapabilityCount("a"));
    CapsEntry e;
    ASSERT_EQ(0, caps.GetCapabilityAt("a", 1, &e));
    EXPECT_EQ(320, e.width);
    EXPECT_EQ(1, e.format);
    ASSERT_EQ(1, caps.GetCapabilityCount("b"));  // interlaced VideoInfo2 only
    CameraCapability c;
    ASSERT_EQ(0, caps.GetCapability("b", 0, c));
    EXPECT_EQ(720, c.width);
    EXPECT_TRUE(c.interlaced);
    EXPECT_EQ(25, c.maxFps);
    EXPECT_EQ(kCameraUYVY, c.pixelType);
}

TEST(CapabilityList, RatesTypesAndUnknownSubtypes) {
    camtest::LogCapture log;
    DeviceInfoWindows info(Layer({Camera("A", "dev-a",
                                         {Fmt(kSubtypeYUY2, 640, 480, 333333), Fmt(kSubtypeYUY2, 640, 360, 333334),
                                          Fmt(kSubtypeHDYC, 1280, 720), Fmt(kSubtypeNV12, 1920, 1080),
                                          Fmt(kSubtypeMJPG, 1920, 1080), Fmt(kSubtypeRGB24, 320, 240),
                                          Fmt(kSubtypeRGB565, 320, 240), Fmt(kSubtypeIYUV, 160, 120)})}));
    const auto list = ListOf(info, "dev-a");
    ASSERT_EQ(7u, list.size());
    EXPECT_EQ(30, list[0].maxFps);
    EXPECT_EQ(29, list[1].maxFps);
    EXPECT_EQ(kCameraUYVY, list[2].pixelType);
    EXPECT_EQ(kCameraMJPEG, list[3].pixelType);  // NV12 left out, dense indices
    EXPECT_EQ(kCameraRGB24, list[4].pixelType);
    EXPECT_EQ(kCameraRGB565, list[5].pixelType);
    EXPECT_EQ(kCameraIYUV, list[6].pixelType);
    EXPECT_TRUE(log.Has("Device support HDYC."));
    EXPECT_TRUE(log.Has(
        "Device support unknown media type {3231564E-0000-0010-8000-00AA00389B71}, width 1920, height 1080"));
    EXPECT_TRUE(log.Has("Camera capability, width:640 height:360 type:2 fps:29"));
    EXPECT_TRUE(log.Has("CreateCapabilityMap 7"));

    // Numbers outside the list, and ids that are not given.
    CameraCapability c;
    EXPECT_EQ(-1, info.GetCapability("dev-a", 7, c));
    EXPECT_TRUE(log.Has("deviceCapabilityNumber 7 is invalid in call to GetCapability"));
    EXPECT_EQ(-1, info.GetCapability(nullptr, 0, c));
    EXPECT_EQ(-1, info.NumberOfCapabilities(nullptr));
    EXPECT_TRUE(log.Has(" DeviceInfoImpl::NumberOfCapabilities ( NULL ) \r\n"));
    EXPECT_EQ(-1, info.FindBestCapability(nullptr, c, c));
    int32_t value = 5;
    EXPECT_EQ(-1, info.QueryDeviceValue("dev-a", 0, &value));
    EXPECT_EQ(0, value);
}

TEST(CapabilityList, RememberedDeviceAndRebuilds) {
    camtest::LogCapture log;
    DeviceInfoWindows info(Layer({Camera("A", "dev-a", {Fmt(kSubtypeYUY2, 640, 480)}),
                                  Camera("B", "dev-b", {Fmt(kSubtypeI420, 320, 240), Fmt(kSubtypeI420, 160, 120)})}));
    EXPECT_EQ(1, info.NumberOfCapabilities("dev-a"));
    EXPECT_EQ(1, info.NumberOfCapabilities("DEV-A"));  // the same device, any letter case
    EXPECT_EQ(1u, log.Count("CreateCapabilityMap called for device"));
    EXPECT_EQ(2, info.NumberOfCapabilities("dev-b"));
    EXPECT_EQ(2u, log.Count("CreateCapabilityMap called for device"));
    // A failed rebuild empties the list and keeps the old id remembered.
    EXPECT_EQ(-1, info.CreateCapabilityMap("nothing"));
    EXPECT_EQ(0, info.NumberOfCapabilities("dev-b"));
    EXPECT_EQ(1, info.NumberOfCapabilities("dev-a"));
}

TEST(CapabilityList, FrameRateListFallbackAndStreamCapsFailure) {
    camtest::LogCapture log;
    PatternCamera noRates = Camera("A", "dev-a", {Fmt(kSubtypeYUY2, 640, 480, 666666)});
    noRates.offerFrameRates = false;
    PatternCamera broken = Camera("B", "dev-b", {Fmt(kSubtypeYUY2, 640, 480), Fmt(kSubtypeYUY2, 320, 240)});
    broken.failStreamCapsAt = 1;
    DeviceInfoWindows info(Layer({noRates, broken}));

    ASSERT_EQ(1, info.NumberOfCapabilities("dev-a"));
    CameraCapability c;
    ASSERT_EQ(0, info.GetCapability("dev-a", 0, c));
    EXPECT_EQ(15, c.maxFps);
    CameraCapability stored;
    ASSERT_TRUE(info.GetStoredCapability(0, stored));
    EXPECT_FALSE(stored.frameRateControl);
    EXPECT_TRUE(log.Has("IID_IAMVideoControl Interface NOT SUPPORTED"));

    EXPECT_EQ(-1, info.CreateCapabilityMap("dev-b"));
    EXPECT_TRUE(log.Has("Failed to GetStreamCaps"));
    // Not remembered: every question about it rebuilds (and fails) again.
    const size_t before = log.Count("CreateCapabilityMap called for device dev-b");
    info.NumberOfCapabilities("dev-b");
    EXPECT_EQ(before + 1, log.Count("CreateCapabilityMap called for device dev-b"));
}

TEST(CapabilityList, BestCapabilityThroughTheList) {
    camtest::LogCapture log;
    DeviceInfoWindows info(Layer({Camera("A", "dev-a",
                                         {Fmt(kSubtypeMJPG, 1280, 720), Fmt(kSubtypeYUY2, 640, 480),
                                          Fmt(kSubtypeI420, 640, 480)})}));
    CameraCapability req, got;
    req.width = 640;
    req.height = 480;
    req.maxFps = 30;
    req.pixelType = kCameraYUY2;
    EXPECT_EQ(1, info.FindBestCapability("dev-a", req, got));
    EXPECT_EQ(kCameraYUY2, got.pixelType);
    EXPECT_TRUE(log.Has("Best camera format: Width 640, Height 480, Frame rate 30, Color format 2"));
}

// A list entry whose type has no engine code is listed with format -1.
class CapsWithOddType : public CVideoCaptureCapsWindows {
public:
    CapsWithOddType() : CVideoCaptureCapsWindows(std::make_shared<PatternDeviceLayer>(std::vector<PatternCamera>{})) {}
    int32_t CreateCapabilityMap(const char*) override {
        ClearCapabilities();
        std::unique_ptr<CameraCapability> c(new CameraCapability());
        c->width = 320;
        c->height = 240;
        c->maxFps = 10;
        c->pixelType = 8;
        m_captureCapabilities[0] = std::move(c);
        return 1;
    }
};

TEST(CapabilityList, TypeWithoutEngineCodeListedAsMinusOne) {
    CapsWithOddType caps;
    CapsEntry e{0, 0, 0, 0};
    EXPECT_EQ(0, caps.GetCapabilityAt("x", 0, &e));
    EXPECT_EQ(320, e.width);
    EXPECT_EQ(10, e.fps);
    EXPECT_EQ(-1, e.format);
    EXPECT_EQ(-1, caps.GetCapabilityAt("x", 1, &e));
    EXPECT_EQ(-1, caps.GetCapabilityAt("x", -1, &e));
}
