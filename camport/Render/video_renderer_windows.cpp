#include "Render/video_renderer_windows.h"

#include "Render/draw_layer_x11.h"
#include "common/slogger.h"

#include <libyuv.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace Orvane {

using render::DrawResult;
using render::Rect;

namespace {

// DirectDraw-style retry of an operation that answers "still drawing"; bounded so that a
// layer that keeps answering it cannot hang a pass.
constexpr int kMaxStillDrawingTries = 100;

template <typename F>
DrawResult Retry(F op) {
    DrawResult r = DrawResult::kStillDrawing;
    for (int i = 0; i < kMaxStillDrawingTries && r == DrawResult::kStillDrawing; ++i) r = op();
    return r;
}

// Frame sides are 16-bit fields read as signed values.
int FrameWidth(const CapturedFrameInfo& info) { return static_cast<int16_t>(info.width); }
int FrameHeight(const CapturedFrameInfo& info) { return static_cast<int16_t>(info.height); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// VideoRendererDDrawWindows

VideoRendererDDrawWindows::VideoRendererDDrawWindows(CRendererDrawCapsWindows& caps)
    : m_caps(caps), m_pConverter(CreateVideoConvert()) {}

VideoRendererDDrawWindows::~VideoRendererDDrawWindows() {
    DetachWindow();
    {
        Poco::Mutex::ScopedLock lock(m_convertMutex);
        if (m_pConverter) DestoryVideoConvert(m_pConverter);
        m_pConverter = nullptr;
    }
}

void VideoRendererDDrawWindows::InstallRedraw(EngineVideoWindow* window, RenderRedraw* redraw) {
    window->m_busy = 1;
    window->m_event.tryWait(1000);
    {
        Poco::Mutex::ScopedLock lock(window->m_mutex);
        window->m_pRedraw = redraw;
    }
    window->m_busy = 0;
}

bool VideoRendererDDrawWindows::AttachWindow(EngineVideoWindow* window) {
    if (!window) return false;
    // The window mutex is never taken under the state mutex: a window may hold its mutex
    // while it asks for a redraw.
    EngineVideoWindow* previous = m_pRedrawWindow.exchange(window);
    if (previous && previous != window) InstallRedraw(previous, nullptr);
    InstallRedraw(window, this);
    const unsigned long handle = window->GetHwnd();

    Poco::Mutex::ScopedLock lock(m_stateMutex);
    if (handle == m_hWnd.load()) {
        // The same window, attached or kept by a detach: the state stays as it is, but a kept
        // object is replaced by the one given now, which is alive (the engine may have made a
        // new object for the same window).
        Poco::Mutex::ScopedLock frame(m_frameMutex);
        if (m_pWindow.load()) m_pWindow = window;
        return true;
    }
    DetachLocked();
    {
        Poco::Mutex::ScopedLock frame(m_frameMutex);
        m_pWindow = window;
        m_hWnd = handle;
        m_bAttached = true;
    }
    // No frame size is known after the detach, so nothing is made until the next frame.
    ReleaseSurfaces();
    OV_LOG("renderer %p attached to window 0x%lx", static_cast<void*>(this), handle);
    return true;
}

void VideoRendererDDrawWindows::DetachLocked() {
    // m_bAttached is written under both mutexes, so the state mutex alone suffices to read it.
    if (m_bAttached) ReleaseSurfaces();
    Poco::Mutex::ScopedLock frame(m_frameMutex);
    if (m_bAttached) {
        std::memset(&m_record, 0, sizeof(m_record));
        m_bNewFrame = false;
        m_bRecordPresent = false;
        m_bCopyContent = false;
        m_bRecreateRequested = false;
        m_pending.Clear();
        m_render.Clear();
        m_bAttached = false;
        // The window object and its handle are kept: attaching the same window again leaves
        // the renderer detached, and a window that draws by itself still gets its frames.
    } else {
        m_hWnd = 0;
        m_pWindow = nullptr;
    }
}

void VideoRendererDDrawWindows::DetachWindow() {
    {
        Poco::Mutex::ScopedLock lock(m_stateMutex);
        DetachLocked();
    }
    // The window object must not keep a pointer to a renderer that may be freed next.
    EngineVideoWindow* window = m_pRedrawWindow.exchange(nullptr);
    if (window) InstallRedraw(window, nullptr);
}

void VideoRendererDDrawWindows::SetLabelText(const char* text) {
    Poco::Mutex::ScopedLock frame(m_frameMutex);
    std::strncpy(m_label, text ? text : "", sizeof(m_label) - 1);
    m_label[sizeof(m_label) - 1] = '\0';
    m_bLabelSet = true;
}

void VideoRendererDDrawWindows::SetLabelValue(int value) {
    Poco::Mutex::ScopedLock frame(m_frameMutex);
    m_labelValue = value;
    m_bLabelValueSet = true;
}

bool VideoRendererDDrawWindows::RenderFrame(const CapturedFrameInfo* info, const uint8_t* data, int length) {
    if (!info) return false;
    EngineVideoWindow* window = m_pWindow.load();
    if (window && !window->IsSelfDrawn()) {
        // The window draws by itself: hand it the frame as RGB24.
        const unsigned long handle = m_hWnd.load();
        if (handle && data && length > 0 && m_caps.Layer().QueryWindow(handle).visible) {
            Poco::Mutex::ScopedLock lock(m_convertMutex);
            const int w = FrameWidth(*info), h = FrameHeight(*info);
            uint8_t* out = nullptr;
            int outLength = 0;
            if (m_pConverter && m_pConverter->Init(w, h, info->format, w, h, kEnginePixelRGB24) &&
                m_pConverter->Convert(data, length, &out, &outLength)) {
                CapturedFrameInfo converted = *info;
                converted.format = kEnginePixelRGB24;
                window->OnConvertedFrame(&converted, out, outLength);
            }
        }
        return true;
    }
    Poco::Mutex::ScopedLock frame(m_frameMutex);
    if (!m_bAttached) return false;
    // A frame without data empties the pending packet: the next pass has nothing new to show.
    if (!data || length <= 0 || !m_pending.Set(data, length)) m_pending.Clear();
    m_bNewFrame = true;
    if (info->width != m_record.width || info->height != m_record.height) {
        m_record = *info;
        m_bRecordPresent = true;
    }
    return true;
}

bool VideoRendererDDrawWindows::IsPreferredFormat(int format) {
    m_caps.EnsureProbed();
    return format == m_caps.PreferredFormat();
}

void VideoRendererDDrawWindows::Redraw() {
    Poco::Mutex::ScopedLock lock(m_stateMutex);
    {
        // A detached renderer draws nothing and leaves the window object it kept alone: the
        // engine may already have freed it.
        Poco::Mutex::ScopedLock frame(m_frameMutex);
        if (!m_bAttached) return;
    }
    EngineVideoWindow* window = m_pWindow.load();
    if (window && !window->IsSelfDrawn()) return;
    if (!m_caps.EnsureProbed()) return;
    if (m_caps.DisplayChangePending()) return;
    {
        Poco::Mutex::ScopedLock frame(m_frameMutex);
        if (!m_bAttached || (m_pending.Length() <= 0 && m_render.Length() <= 0)) return;
    }
    if (m_bRecreateRequested.exchange(false)) ReleaseSurfaces();
    if (m_caps.DisplayChangePending()) {
        ReleaseSurfaces();
        return;
    }
    CapturedFrameInfo info;
    bool recordPresent;
    {
        Poco::Mutex::ScopedLock frame(m_frameMutex);
        info = m_record;
        recordPresent = m_bRecordPresent;
        if (m_bNewFrame) {
            m_render.SwitchBuffer(m_pending);
            m_pending.Clear();
            m_bNewFrame = false;
            m_bCopyContent = true;
        }
    }
    if (!MakeSurfaces(info, recordPresent) || !m_offscreen) return;

    render::LockedSurface locked;
    const DrawResult lockResult = m_offscreen->Lock(&locked);
    if (lockResult == DrawResult::kLost) {
        m_caps.SetDisplayChangePending();
        return;
    }
    if (lockResult != DrawResult::kOk) return;
    if (m_bCopyContent) {
        const CopyResult copied = CopyContent(info, locked);
        if (copied != CopyResult::kOk) {
            m_offscreen->Unlock();
            if (copied == CopyResult::kWrongSurface) ReleaseSurfaces();
            return;
        }
        m_bCopyContent = false;
        ++m_framesShown;
    }
    m_offscreen->Unlock();
    DrawToWindow(info);
}

VideoRendererDDrawWindows::CopyResult VideoRendererDDrawWindows::CopyContent(const CapturedFrameInfo& info,
                                                                              const render::LockedSurface& surface) {
    const int w = FrameWidth(info), signedH = FrameHeight(info), h = std::abs(signedH);
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    const uint8_t* src = m_render.Data();
    int64_t length = m_render.Length();
    Poco::Mutex::ScopedLock lock(m_convertMutex);
    if (info.format != kEnginePixelI420) {
        uint8_t* out = nullptr;
        int outLength = 0;
        if (!m_pConverter || !m_pConverter->Init(w, signedH, info.format, w, h, kEnginePixelI420) ||
            !m_pConverter->Convert(src, static_cast<int>(length), &out, &outLength))
            return CopyResult::kFailed;
        src = out;
        length = outLength;
    }
    // Odd sides have chroma planes of the rounded-up half size.
    const int64_t ySize = static_cast<int64_t>(w) * h, cSize = static_cast<int64_t>(cw) * ch;
    if (!src || length < ySize + 2 * cSize) return CopyResult::kFailed;
    if (surface.width < w || surface.height < h) return CopyResult::kWrongSurface;
    const uint8_t* srcY = src;
    const uint8_t* srcU = src + ySize;
    const uint8_t* srcV = srcU + cSize;
    if (m_bYv12) {
        if ((surface.width + 1) / 2 != cw) return CopyResult::kWrongSurface;
        const int pitch = surface.pitch, cpitch = surface.pitch / 2;
        uint8_t* dstY = surface.bits;
        uint8_t* dstV = dstY + static_cast<int64_t>(pitch) * surface.height;
        uint8_t* dstU = dstV + static_cast<int64_t>(cpitch) * ((surface.height + 1) / 2);
        libyuv::CopyPlane(srcY, w, dstY, pitch, w, h);
        libyuv::CopyPlane(srcV, cw, dstV, cpitch, cw, ch);
        libyuv::CopyPlane(srcU, cw, dstU, cpitch, cw, ch);
    } else {
        // The surface is 32-bit RGB: the frame goes in converted rather than leaving it black.
        libyuv::I420ToARGB(srcY, w, srcU, cw, srcV, cw, surface.bits, surface.pitch, w, h);
    }
    return CopyResult::kOk;
}

void VideoRendererDDrawWindows::DrawToWindow(const CapturedFrameInfo& info) {
    const render::WindowInfo win = m_caps.Layer().QueryWindow(m_hWnd.load());
    if (!win.visible) return;
    EngineVideoWindow* window = m_pWindow.load();
    const int w = FrameWidth(info), h = FrameHeight(info);
    const int mode = render::EffectiveDisplayMode(window != nullptr, window ? window->GetDisplayMode() : 0, w, h);
    const render::Layout layout = render::ComputeLayout(mode, win.width, win.height, w, h);
    const DrawResult r = Retry([&] {
        DrawResult res = m_device->Blit(*m_offscreen, layout.picture);
        if (res == DrawResult::kOk && layout.bars && !layout.bar1.Empty()) res = m_device->Blit(*m_black1, layout.bar1);
        if (res == DrawResult::kOk && layout.bars && !layout.bar2.Empty()) res = m_device->Blit(*m_black2, layout.bar2);
        return res;
    });
    if (r == DrawResult::kLost) m_caps.SetDisplayChangePending();
}

bool VideoRendererDDrawWindows::MakeSurfaces(const CapturedFrameInfo& info, bool recordPresent) {
    if (!recordPresent) return false;
    if (m_caps.DisplayChangePending()) return true;
    const int w = FrameWidth(info), h = std::abs(FrameHeight(info));
    if (m_offscreen && w == m_surfaceWidth && h == m_surfaceHeight) return true;

    m_bCopyContent = true;
    if (w <= 0 || h <= 0) return false;
    m_bYv12 = m_caps.PreferredFormat() == kEnginePixelI420;
    const unsigned long handle = m_hWnd.load();
    const render::WindowInfo win = m_caps.Layer().QueryWindow(handle);
    if (!win.exists || win.width <= 0 || win.height <= 0) return false;

    ReleaseSurfaces();
    auto fail = [this] {
        ReleaseSurfaces();
        return false;
    };
    m_device = m_caps.Layer().CreateDevice();
    if (!m_device) return false;
    if (m_device->CreatePrimary(handle, m_caps.PrimaryMemory()) != DrawResult::kOk) return fail();
    const uint32_t memory = m_caps.OffscreenMemory();
    DrawResult r = m_device->CreateOffscreen(
        w, h, m_bYv12 ? render::SurfaceFormat::kYV12 : render::SurfaceFormat::kRGB32, memory, &m_offscreen);
    if (m_bYv12 && (r == DrawResult::kInvalidPixelFormat || r == DrawResult::kOutOfVideoMemory)) {
        m_bYv12 = false;
        r = m_device->CreateOffscreen(w, h, render::SurfaceFormat::kRGB32, memory, &m_offscreen);
    }
    if (r != DrawResult::kOk) return fail();
    if (m_device->CreateOffscreen(4, 4, render::SurfaceFormat::kRGB32, memory, &m_black1) != DrawResult::kOk ||
        m_device->CreateOffscreen(4, 4, render::SurfaceFormat::kRGB32, memory, &m_black2) != DrawResult::kOk)
        return fail();

    const Rect client{0, 0, win.width, win.height};
    if (Retry([&] { return m_device->ColorFill(client, 0); }) == DrawResult::kLost) return fail();
    if (m_offscreen->FillBlack(m_bYv12) == DrawResult::kLost || m_black1->FillBlack(false) == DrawResult::kLost ||
        m_black2->FillBlack(false) == DrawResult::kLost)
        return fail();
    if (win.visible) {
        Retry([&] { return m_device->Blit(*m_offscreen, client); });
        m_device->PostPaint();
    }
    m_surfaceWidth = w;
    m_surfaceHeight = h;
    OV_LOG("renderer %p: surfaces %dx%d %s for window 0x%lx", static_cast<void*>(this), w, h,
           m_bYv12 ? "YV12" : "RGB32", handle);
    return true;
}

void VideoRendererDDrawWindows::ReleaseSurfaces() {
    m_offscreen.reset();
    m_black1.reset();
    m_black2.reset();
    m_device.reset();
    m_surfaceWidth = 0;
    m_surfaceHeight = 0;
}

bool VideoRendererDDrawWindows::IsAttached() {
    Poco::Mutex::ScopedLock frame(m_frameMutex);
    return m_bAttached;
}

bool VideoRendererDDrawWindows::HasSurfaces() {
    Poco::Mutex::ScopedLock lock(m_stateMutex);
    return m_offscreen != nullptr;
}

int VideoRendererDDrawWindows::SurfaceWidth() {
    Poco::Mutex::ScopedLock lock(m_stateMutex);
    return m_surfaceWidth;
}

int VideoRendererDDrawWindows::SurfaceHeight() {
    Poco::Mutex::ScopedLock lock(m_stateMutex);
    return m_surfaceHeight;
}

bool VideoRendererDDrawWindows::Yv12Mode() {
    Poco::Mutex::ScopedLock lock(m_stateMutex);
    return m_bYv12;
}

unsigned long VideoRendererDDrawWindows::WindowHandleKept() { return m_hWnd.load(); }

}  // namespace Orvane
