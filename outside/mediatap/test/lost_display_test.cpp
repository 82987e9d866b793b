// A process whose X server goes away while everything in it uses the display: a window
// capture with a preview drawn by the camera plug-in, a paused desktop capture, the window
// list with its event thread and a live thumbnail, and a picture source beside them. The
// process lives on, each capture ends and says so once, and the picture source goes on.
// (Before that, a paused capture whose window is closed ends at once and says so.)
#include "mediatap/IMediaTap.h"
#include "paneshare/IPaneShareMgr.h"
#include "recording_sink.h"
#include "support/peers.h"
#include "support/process.h"
#include "x11trap/x11_trap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

// After gtest: Xlib's macros (None, Bool, Status) would hit gtest's names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using mediatap_test::RecordingSink;
using testsupport::WaitUntil;

// A mapped window in one colour. The test's own connection is trapped too: an untrapped one
// would end the process itself once the server is gone.
Window SolidWindow(Display* display, int x, int y, unsigned long colour) {
    Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), x, y, 160, 120, 0, 0, colour);
    XMapWindow(display, window);
    XSync(display, False);
    WaitUntil(
        [&] {
            XWindowAttributes attributes;
            return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
        },
        5000);
    return window;
}

bool ShowsBlue(Display* display, Window window) {
    XImage* image = XGetImage(display, window, 80, 60, 1, 1, AllPlanes, ZPixmap);
    if (image == nullptr) return false;
    const unsigned long pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return (pixel & 0xff) > 200 && ((pixel >> 8) & 0xff) < 60 && ((pixel >> 16) & 0xff) < 60;
}

TEST(LostDisplay, CapturesEndAndSayWhyWhileTheRestOfTheProcessGoesOn) {
    testsupport::XvfbDisplay xvfb;
    ASSERT_TRUE(xvfb.Start(false));
    // The engine, its plug-in and the window list all connect to $DISPLAY. It stays set to
    // the server that goes away: the plug-in's render thread reads it from then on, looking
    // for a display to come back.
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    Display* test = x11trap::Open(nullptr);
    ASSERT_NE(test, nullptr);
    const Window captured = SolidWindow(test, 0, 0, 0x0000ff);
    const Window preview = SolidWindow(test, 200, 0, 0x00ff00);
    const Window thumbnail = SolidWindow(test, 400, 0, 0x00ff00);
    const Window closing = SolidWindow(test, 600, 0, 0xff0000);

    RecordingSink sink;
    IMediaTap* engine = CreateMediaTap(&sink, MEDIATAP_SINK_SOURCE_ENDED);
    ASSERT_NE(engine, nullptr);
    char app[128], desktop[128], picture[128], closed[128];
    ASSERT_EQ(engine->StartCaptureApplication(app, captured, true, 0, 0, 0, 0, 300, 160, 120, 10), 0);
    ASSERT_EQ(engine->AddVideoWindow(app, preview), 0);
    ASSERT_EQ(engine->StartCaptureApplication(desktop, 0, false, 0, 0, 0, 0, 300, 160, 120, 10), 0);
    ASSERT_EQ(engine->StopEncodeVideo(desktop), 0);  // paused: nothing is read from the display
    ASSERT_EQ(engine->StartCaptureApplication(closed, closing, false, 0, 0, 0, 0, 300, 160, 120, 10), 0);
    ASSERT_EQ(engine->StopEncodeVideo(closed), 0);
    XDestroyWindow(test, closing);
    XSync(test, False);
    ASSERT_TRUE(WaitUntil([&] { return !sink.Ended().empty(); }, 10000));
    EXPECT_EQ(sink.Ended(), std::vector<std::string>{std::string(closed) + ": the window was closed"});
    EXPECT_EQ(engine->StartEncodeVideo(closed, 160, 120), -1);
    ASSERT_EQ(engine->StartCapturePicture(picture), 0);
    ASSERT_EQ(engine->StartEncodeVideo(picture, 160, 120), 0);
    IPaneShareMgr* panes = CreatePaneShareMgr(nullptr);
    ASSERT_NE(panes, nullptr);
    panes->AddWindow(captured);
    EXPECT_NE(panes->RegisterAppThumbnail(captured, thumbnail), nullptr);
    EXPECT_GE(panes->RefreshWindowList()->size(), 1u);  // the desktop (our own windows are left out)
    ASSERT_TRUE(WaitUntil([&] { return sink.Count(app) >= 3 && sink.Count(picture) >= 2; }, 20000));
    // The plug-in's renderer draws the capture into the preview on its own connection.
    ASSERT_TRUE(WaitUntil([&] { return ShowsBlue(test, preview); }, 20000));

    xvfb.Stop();

    const std::string lost = ": the connection to the X display was lost";
    ASSERT_TRUE(WaitUntil([&] { return sink.Ended().size() >= 3; }, 10000));
    EXPECT_FALSE(engine->IsVideoEncoding(app));
    EXPECT_FALSE(engine->IsVideoEncoding(desktop));
    EXPECT_EQ(engine->StartEncodeVideo(app, 160, 120), -1);
    EXPECT_EQ(engine->AddVideoWindow(app, thumbnail), -1);
    // The picture source goes on.
    const size_t pictures = sink.Count(picture);
    ASSERT_TRUE(WaitUntil([&] { return sink.Count(picture) >= pictures + 3; }, 10000));
    EXPECT_TRUE(engine->IsVideoEncoding(picture));
    // Each capture was reported once.
    std::vector<std::string> expected = {app + lost, desktop + lost, closed + std::string(": the window was closed")};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sink.Ended(), expected);
    // The window list answers without a server: the desktop only.
    EXPECT_EQ(panes->RefreshWindowList()->size(), 1u);
    EXPECT_EQ(panes->RegisterAppThumbnail(captured, thumbnail), nullptr);

    EXPECT_EQ(engine->StopCaptureApplication(app), 0);
    EXPECT_EQ(engine->StopCaptureApplication(desktop), 0);
    EXPECT_EQ(engine->StopCaptureApplication(closed), 0);
    EXPECT_EQ(engine->StopCapturePicture(picture), 0);
    DestoryMediaTap(engine);
    DestroyPaneShareMgr(panes);
    EXPECT_FALSE(x11trap::Check(test));
    x11trap::Close(test);
}

}  // namespace
