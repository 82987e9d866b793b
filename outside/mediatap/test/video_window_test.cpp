// The engine's window object with the camera plug-in's real renderer under Xvfb: the renderer
// installs its redraw pointer through the object's mutex, event and busy byte, a redraw
// request draws at once, and a self-drawn window gets no converted frames back.
#include <gtest/gtest.h>

#include "camport_loader.h"
#include "support/peers.h"
#include "video_window.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <dlfcn.h>

#include <cstdlib>

using namespace mediatap;

namespace {

TEST(EngineVideoWindow, RedrawRequestDrawsAtOnceThroughTheInstalledRenderer) {
    testsupport::XvfbDisplay xvfb;
    ASSERT_TRUE(xvfb.Start(false));
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    const Window window =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 64, 48, 0, 0, 0x808000);
    XMapWindow(display, window);
    XSync(display, False);
    {
        // The loader looks next to its own library and then on the search path; this test is
        // an executable (and sanitizers call dlopen for it), so the plug-in is mapped first
        // from where the build put it, and the loader finds it by name.
        ASSERT_NE(dlopen(CAMPORT_TEST_LIBRARY, RTLD_NOW | RTLD_NODELETE), nullptr) << dlerror();
        CamPortLoader loader;
        ASSERT_TRUE(loader.Load());
        ASSERT_TRUE(loader.RenderApi().Present());
        std::string error;
        EXPECT_EQ(WindowRenderer::Open(loader.RenderApi(), 0, &error), nullptr);
        EXPECT_EQ(WindowRenderer::Open(loader.RenderApi(), 0x3fffff1, &error), nullptr) << "unknown window";
        EXPECT_EQ(WindowRenderer::Open(CamPortRenderApi(), window, &error), nullptr) << "no plug-in";
        std::unique_ptr<WindowRenderer> renderer = WindowRenderer::Open(loader.RenderApi(), window, &error);
        ASSERT_NE(renderer, nullptr) << error;
        CEngineVideoWindow& object = renderer->WindowObject();
        EXPECT_EQ(object.GetHwnd(), window);
        EXPECT_EQ(object.GetDisplayMode(), kDisplayFit);

        // A white I420 picture; the redraw request runs a pass on this thread, so the window
        // shows it when the request returns.
        I420Frame white;
        white.Reset(64, 48);
        std::fill(white.pixels.begin(), white.pixels.begin() + 64 * 48, 235);
        ASSERT_TRUE(renderer->RenderI420(white));
        ASSERT_TRUE(object.RequestRedraw());
        XImage* image = XGetImage(display, window, 0, 0, 64, 48, AllPlanes, ZPixmap);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(XGetPixel(image, 32, 24) & 0xffffff, 0xffffffu);
        XDestroyImage(image);
        EXPECT_EQ(object.ConvertedFrames(), 0u);

        // While a renderer changes its pointer (busy byte set) no pass is asked for.
        object.m_busy = 1;
        EXPECT_FALSE(object.RequestRedraw());
        object.m_busy = 0;
    }
    // Without a renderer attached a window object asks nobody.
    CEngineVideoWindow alone(window);
    EXPECT_FALSE(alone.RequestRedraw());
    XDestroyWindow(display, window);
    XCloseDisplay(display);
}

}  // namespace
