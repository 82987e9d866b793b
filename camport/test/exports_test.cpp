// The plug-in as the engine sees it: loaded by file name, reached through its four exports,
// with a pattern camera named in the environment.
#include "Capture/device_layer_pattern.h"
#include "camport/IVideoCapture.h"
#include "camtest.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>

using namespace Orvane;

namespace {

struct Plugin {
    void* handle = nullptr;
    PFN_CreateWinVideoCapture createCapture = nullptr;
    PFN_DestroyWinVideoCapture destroyCapture = nullptr;
    PFN_CreateWinVideoCaptureCaps createCaps = nullptr;
    PFN_DestroyWinVideoCaptureCaps destroyCaps = nullptr;

    Plugin() {
        handle = dlopen(CAMPORT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        createCapture = reinterpret_cast<PFN_CreateWinVideoCapture>(dlsym(handle, CAMPORT_CREATE_CAPTURE_NAME));
        destroyCapture = reinterpret_cast<PFN_DestroyWinVideoCapture>(dlsym(handle, CAMPORT_DESTROY_CAPTURE_NAME));
        createCaps = reinterpret_cast<PFN_CreateWinVideoCaptureCaps>(dlsym(handle, CAMPORT_CREATE_CAPS_NAME));
        destroyCaps = reinterpret_cast<PFN_DestroyWinVideoCaptureCaps>(dlsym(handle, CAMPORT_DESTROY_CAPS_NAME));
    }
    ~Plugin() {
        if (handle) dlclose(handle);
    }
};

}  // namespace

TEST(PluginExports, ListAndCaptureThePatternCamera) {
    const std::string clip = camtest::PatternClip();
    if (clip.empty()) GTEST_SKIP() << "ffmpeg could not make the testsrc clip";
    const std::string cameras = clip + ",MJPG:1280x720@30,YUY2:640x480@30,NV12:640x480@30";
    setenv("CAMPORT_PATTERN_CAMERAS", cameras.c_str(), 1);

    Plugin plugin;
    ASSERT_NE(nullptr, plugin.handle) << dlerror();
    ASSERT_TRUE(plugin.createCapture && plugin.destroyCapture && plugin.createCaps && plugin.destroyCaps);
    // The two destroyers are one function under two names.
    EXPECT_EQ(reinterpret_cast<void*>(plugin.destroyCapture), reinterpret_cast<void*>(plugin.destroyCaps));
    plugin.destroyCapture(nullptr);
    plugin.destroyCaps(nullptr);

    VideoCaptureCapsPlatform* caps = plugin.createCaps();
    ASSERT_NE(nullptr, caps);
    const int count = caps->GetDeviceCount();
    ASSERT_GE(count, 1);
    char name[128], id[128];
    ASSERT_EQ(0, caps->GetDeviceNameAt(count - 1, name, id));  // pattern cameras follow V4L2 ones
    EXPECT_STREQ("Pattern Camera 0", name);
    EXPECT_EQ("pattern:0:" + clip, id);
    int result = -1;
    EXPECT_TRUE(caps->HasDevice(id, &result));
    EXPECT_EQ(0, result);
    ASSERT_EQ(2, caps->GetCapabilityCount(id));  // NV12 is not listed
    CapsEntry e;
    ASSERT_EQ(0, caps->GetCapabilityAt(id, 0, &e));
    EXPECT_EQ(1280, e.width);
    EXPECT_EQ(720, e.height);
    EXPECT_EQ(30, e.fps);
    EXPECT_EQ(12, e.format);
    ASSERT_EQ(0, caps->GetCapabilityAt(id, 1, &e));
    EXPECT_EQ(4, e.format);
    EXPECT_EQ(-1, caps->GetCapabilityAt(id, 2, &e));
    plugin.destroyCaps(caps);

    VideoCapturePlatform* capture = plugin.createCapture();
    ASSERT_NE(nullptr, capture);
    camtest::RecordingSink sink;
    ASSERT_TRUE(capture->SetCaptureDev(id, 1280, 720, 30, 1));
    ASSERT_TRUE(capture->StartCapture(&sink));
    ASSERT_TRUE(sink.WaitFor(3));
    EXPECT_FALSE(capture->StopCapture());
    const auto frames = sink.Frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(1, frames[0].info.format);
    EXPECT_EQ(1280, frames[0].info.width);
    EXPECT_EQ(720, frames[0].info.height);
    EXPECT_EQ(1280u * 720 * 3 / 2, frames[0].bytes.size());
    plugin.destroyCapture(capture);
    unsetenv("CAMPORT_PATTERN_CAMERAS");
}
