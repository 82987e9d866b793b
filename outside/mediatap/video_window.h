// Video in the client's windows: the engine's window object for the camera plug-in's
// renderer, one renderer bound to one X11 window, and the set of preview windows of a local
// source.
//
// The plug-in's renderer draws by itself (the window object answers IsSelfDrawn() true) on
// its own redraw thread; handing it a frame only copies the bytes, so the threads that
// capture or decode never wait for drawing.
//
// Threads:
// - CEngineVideoWindow: every member from any thread (the renderer calls it from the engine's
//   threads and from its redraw thread).
// - WindowRenderer: Open and the destructor on one controlling thread; Render from one thread
//   at a time (the owner serialises it with its own lock); Window from any thread.
// - PreviewWindows: every member from any thread. Render holds the set's lock only while the
//   frame is copied into each renderer; renderers are destroyed outside the lock.
#pragma once

#include "camport/IVideoRenderer.h"
#include "common/ovtypes.h"
#include "i420_frame.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace mediatap {

// The renderer exports of the camera plug-in, bound by the loader (null members without it).
struct CamPortRenderApi {
    PFN_CreateWinVideoRenderer createRenderer = nullptr;
    PFN_DestroyWinVideoRenderer destroyRenderer = nullptr;
    bool Present() const { return createRenderer && destroyRenderer; }
};

// Display modes a window object reports to the renderer.
enum : int { kDisplayFit = 1, kDisplayFill = 2, kDisplayStretch = 3 };

// The window object a renderer draws for: one X11 window, self-drawn, fitted unless told
// otherwise. It carries the data members the renderer touches when it installs its redraw
// pointer (the mutex, the event, the busy byte). The event is set whenever the window is not
// inside a redraw request of its own, so installing a pointer never waits needlessly.
class CEngineVideoWindow final : public Orvane::EngineVideoWindow {
public:
    explicit CEngineVideoWindow(OvHwnd window, int displayMode = kDisplayFit);
    ~CEngineVideoWindow();
    CEngineVideoWindow(const CEngineVideoWindow&) = delete;
    CEngineVideoWindow& operator=(const CEngineVideoWindow&) = delete;

    void OnConvertedFrame(const Orvane::CapturedFrameInfo* info, const uint8_t* rgb, int length) override;
    unsigned long GetHwnd() override { return m_window; }
    bool IsSelfDrawn() override { return true; }
    int GetDisplayMode() override { return m_displayMode.load(); }

    void SetDisplayMode(int mode) { m_displayMode.store(mode); }
    // Runs one drawing pass of the installed renderer now (nothing while a renderer is
    // installing or removing its pointer, or when none is installed). True when it ran.
    bool RequestRedraw();
    // Frames handed back through OnConvertedFrame (none for a self-drawn window).
    uint64_t ConvertedFrames() const { return m_converted.load(); }

private:
    const OvHwnd m_window;
    std::atomic<int> m_displayMode;
    std::atomic<uint64_t> m_converted{0};
};

// One renderer of the plug-in attached to one window object.
class WindowRenderer {
public:
    // Checks that the window exists, creates a renderer and attaches it. Null, with a reason,
    // when there is no plug-in, the window is 0 or unknown to the X server, or the plug-in
    // cannot make a renderer.
    static std::unique_ptr<WindowRenderer> Open(const CamPortRenderApi& api, OvHwnd window, std::string* error);
    // Detaches and destroys the renderer, then the window object (the renderer no longer
    // touches it once its destroyer has returned).
    ~WindowRenderer();
    WindowRenderer(const WindowRenderer&) = delete;
    WindowRenderer& operator=(const WindowRenderer&) = delete;

    OvHwnd Window() const { return m_window; }
    CEngineVideoWindow& WindowObject() { return *m_object; }
    // Hands over one frame in its own format; false when the renderer refused it.
    bool Render(const Orvane::CapturedFrameInfo& info, const uint8_t* data, int length);
    // Hands over an I420 picture.
    bool RenderI420(const I420Frame& picture);
    // Frames the renderer took so far.
    uint64_t FramesGiven() const { return m_given.load(); }

private:
    WindowRenderer(const CamPortRenderApi& api, OvHwnd window);

    CamPortRenderApi m_api;
    const OvHwnd m_window;
    std::unique_ptr<CEngineVideoWindow> m_object;
    Orvane::VideoRendererPlatform* m_renderer = nullptr;
    std::atomic<uint64_t> m_given{0};
};

// The preview windows of one local source: every frame of the source goes to each of them.
class PreviewWindows {
public:
    PreviewWindows() = default;
    ~PreviewWindows();
    PreviewWindows(const PreviewWindows&) = delete;
    PreviewWindows& operator=(const PreviewWindows&) = delete;

    // 0 when the window shows the source (also when it did already), -1 when no renderer
    // could be attached to it (see WindowRenderer::Open).
    int Add(const CamPortRenderApi& api, OvHwnd window, const std::string& source);
    // 0 when the window was removed, -1 when it was not a preview window of this source.
    int Remove(OvHwnd window);
    // Removes every window; the number removed.
    int RemoveAll();
    bool Empty() const { return m_count.load() == 0; }

    // A frame of the source, in any engine pixel format (called on the capturing thread).
    void Render(const Orvane::CapturedFrameInfo& info, const uint8_t* data, int length);
    void RenderI420(const I420Frame& picture);

private:
    std::mutex m_lock;  // guards m_windows; held while frames are handed over
    std::map<OvHwnd, std::unique_ptr<WindowRenderer>> m_windows;
    std::atomic<size_t> m_count{0};
};

// The frame record of an I420 picture of this size.
Orvane::CapturedFrameInfo I420FrameInfo(int width, int height);

}  // namespace mediatap
