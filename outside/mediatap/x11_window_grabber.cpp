// X11 backend of IWindowGrabber.
//
// A window is read through the Composite extension where the server has it: the window is
// redirected (automatic mode, so the screen still shows it as before) and its own pixmap is
// read, which gives its content even when other windows cover it. The desktop is read from
// the root window. Pixels are fetched with MIT-SHM (XShmGetImage into a shared segment)
// where the server offers it and the segment can be attached, else with XGetImage.
// Resizes, maps, unmaps and the window's end arrive as StructureNotify events.
#include "window_grabber.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xfixes.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

namespace mediatap {
namespace {

// Xlib reports protocol errors to one process-wide handler. Ours records an error for the
// display that the current thread is trapping and passes every other error on to the
// handler that was installed before it, so the host's own handling stays as it was.
typedef int (*XErrorHandlerFn)(Display*, XErrorEvent*);
std::mutex g_handlerLock;
std::atomic<XErrorHandlerFn> g_previousHandler{nullptr};
thread_local Display* t_trapDisplay = nullptr;
thread_local int t_trapError = 0;

int TrapHandler(Display* display, XErrorEvent* event) {
    if (display == t_trapDisplay) {
        if (!t_trapError) t_trapError = event->error_code;
        return 0;
    }
    XErrorHandlerFn previous = g_previousHandler.load();
    return previous ? previous(display, event) : 0;
}

void InitXlib() {
    static std::once_flag once;
    std::call_once(once, [] { XInitThreads(); });
}

// Catches the errors of the requests made while it lives (on this thread, for one display).
class ErrorTrap {
public:
    explicit ErrorTrap(Display* display) : m_display(display) {
        {
            std::lock_guard<std::mutex> lock(g_handlerLock);
            // Re-installed every time, in case the host set a handler of its own meanwhile.
            XErrorHandlerFn previous = XSetErrorHandler(TrapHandler);
            if (previous != TrapHandler) g_previousHandler.store(previous);
        }
        t_trapDisplay = display;
        t_trapError = 0;
    }
    ~ErrorTrap() { t_trapDisplay = nullptr; }
    // Waits until the server has handled every request so far; the first error code or 0.
    int Sync() {
        XSync(m_display, False);
        return t_trapError;
    }
    int Error() const { return t_trapError; }

private:
    Display* m_display;
};

class X11WindowGrabber final : public IWindowGrabber {
public:
    X11WindowGrabber(Display* display, Window window, bool withCursor)
        : m_display(display), m_window(window), m_withCursor(withCursor) {}

    ~X11WindowGrabber() override {
        ReleaseImage();
        if (m_pixmap) {
            ErrorTrap trap(m_display);
            XFreePixmap(m_display, m_pixmap);
            trap.Sync();
        }
        if (m_composite && !m_gone) {
            ErrorTrap trap(m_display);
            XCompositeUnredirectWindow(m_display, m_window, CompositeRedirectAutomatic);
            trap.Sync();
        }
        XCloseDisplay(m_display);
    }

    bool Init(std::string* error) {
        m_root = DefaultRootWindow(m_display);
        if (!m_window) m_window = m_root;
        m_isRoot = m_window == m_root;
        XWindowAttributes attrs;
        {
            ErrorTrap trap(m_display);
            Status ok = XGetWindowAttributes(m_display, m_window, &attrs);
            if (!ok || trap.Sync()) {
                *error = "no such window";
                return false;
            }
            XSelectInput(m_display, m_window, StructureNotifyMask);
            if (trap.Sync()) {
                *error = "cannot watch the window";
                return false;
            }
        }
        m_visual = attrs.visual;
        m_depth = attrs.depth;
        m_width = attrs.width;
        m_height = attrs.height;
        m_mapped = m_isRoot || attrs.map_state == IsViewable;
        XImage* probe = XCreateImage(m_display, m_visual, m_depth, ZPixmap, 0, nullptr, 1, 1, 32, 0);
        bool formatOk = probe && probe->bits_per_pixel == 32 && probe->red_mask == 0xFF0000 &&
                        probe->green_mask == 0xFF00 && probe->blue_mask == 0xFF &&
                        probe->byte_order == LSBFirst;
        if (probe) XDestroyImage(probe);
        if (!formatOk) {
            *error = "unsupported pixel format (32-bit BGRX visuals only)";
            return false;
        }
        int eventBase, errorBase, major = 0, minor = 0;
        if (!m_isRoot && XCompositeQueryExtension(m_display, &eventBase, &errorBase) &&
            XCompositeQueryVersion(m_display, &major, &minor) && (major > 0 || minor >= 2)) {
            ErrorTrap trap(m_display);
            XCompositeRedirectWindow(m_display, m_window, CompositeRedirectAutomatic);
            m_composite = trap.Sync() == 0;
        }
        m_shm = XShmQueryExtension(m_display);
        if (m_withCursor)
            m_withCursor = XFixesQueryExtension(m_display, &m_fixesEvent, &m_fixesError);
        return true;
    }

    GrabResult Grab(const Rect& rect, GrabbedImage* image) override {
        if (m_gone) return GrabResult::kGone;
        HandleEvents();
        if (m_gone) return GrabResult::kGone;
        Rect r = ClipCaptureRect(rect, m_width, m_height);
        if (r.Empty() || !m_mapped) return GrabResult::kUnchanged;

        Drawable source = m_window;
        if (m_composite) {
            if (m_pixmapStale && !NamePixmap()) return CheckGone();
            source = m_pixmap;
        }
        if (!EnsureImage(r.w, r.h)) return GrabResult::kUnchanged;
        {
            ErrorTrap trap(m_display);
            bool ok;
            if (m_shmImage) {
                ok = XShmGetImage(m_display, source, m_shmImage, r.x, r.y, AllPlanes) && !trap.Error();
            } else {
                if (m_plainImage) XDestroyImage(m_plainImage);
                m_plainImage = XGetImage(m_display, source, r.x, r.y, r.w, r.h, AllPlanes, ZPixmap);
                ok = m_plainImage && !trap.Error();
            }
            if (!ok) {
                m_pixmapStale = true;
                return CheckGone();
            }
        }
        XImage* img = m_shmImage ? m_shmImage : m_plainImage;
        image->bgra = reinterpret_cast<const uint8_t*>(img->data);
        image->stride = img->bytes_per_line;
        image->width = r.w;
        image->height = r.h;
        if (m_withCursor) DrawCursor(img, r);
        return GrabResult::kOk;
    }

    void Size(int* width, int* height) const override {
        *width = m_width;
        *height = m_height;
    }

    std::string Describe() const override {
        char text[160];
        std::snprintf(text, sizeof text, "window 0x%lx%s (%s, %s)", static_cast<unsigned long>(m_window),
                      m_isRoot ? " (desktop)" : "", m_composite ? "composite" : "direct",
                      m_shm ? "MIT-SHM" : "XGetImage");
        return text;
    }

private:
    void HandleEvents() {
        while (XPending(m_display)) {
            XEvent ev;
            XNextEvent(m_display, &ev);
            switch (ev.type) {
                case ConfigureNotify:
                    if (ev.xconfigure.window == m_window &&
                        (ev.xconfigure.width != m_width || ev.xconfigure.height != m_height)) {
                        m_width = ev.xconfigure.width;
                        m_height = ev.xconfigure.height;
                        m_pixmapStale = true;
                    }
                    break;
                case MapNotify:
                    if (ev.xmap.window == m_window) {
                        m_mapped = true;
                        m_pixmapStale = true;
                    }
                    break;
                case UnmapNotify:
                    if (ev.xunmap.window == m_window && !m_isRoot) m_mapped = false;
                    break;
                case ReparentNotify:
                    m_pixmapStale = true;
                    break;
                case DestroyNotify:
                    if (ev.xdestroywindow.window == m_window) m_gone = true;
                    break;
                default:
                    break;
            }
        }
    }

    // After a failed read: the window may have ended (its DestroyNotify may still be on its
    // way), or it was just not readable this time.
    GrabResult CheckGone() {
        ErrorTrap trap(m_display);
        XWindowAttributes attrs;
        Status ok = XGetWindowAttributes(m_display, m_window, &attrs);
        if (!ok || trap.Sync()) {
            m_gone = true;
            return GrabResult::kGone;
        }
        return GrabResult::kUnchanged;
    }

    bool NamePixmap() {
        ErrorTrap trap(m_display);
        if (m_pixmap) XFreePixmap(m_display, m_pixmap);
        m_pixmap = XCompositeNameWindowPixmap(m_display, m_window);
        if (trap.Sync()) {
            m_pixmap = 0;  // the server did not create it
            return false;
        }
        m_pixmapStale = false;
        return true;
    }

    bool EnsureImage(int w, int h) {
        if (m_imageW == w && m_imageH == h && (m_shmImage || !m_shm)) return true;
        ReleaseImage();
        m_imageW = w;
        m_imageH = h;
        if (!m_shm) return true;
        m_shmImage = XShmCreateImage(m_display, m_visual, m_depth, ZPixmap, nullptr, &m_segment, w, h);
        if (!m_shmImage) return FallBackToPlain();
        m_segment.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(m_shmImage->bytes_per_line) * h, IPC_CREAT | 0600);
        if (m_segment.shmid < 0) return FallBackToPlain();
        m_segment.shmaddr = m_shmImage->data = static_cast<char*>(shmat(m_segment.shmid, nullptr, 0));
        if (m_segment.shmaddr == reinterpret_cast<char*>(-1)) {
            shmctl(m_segment.shmid, IPC_RMID, nullptr);
            m_segment.shmaddr = nullptr;
            return FallBackToPlain();
        }
        m_segment.readOnly = False;
        ErrorTrap trap(m_display);
        Status attached = XShmAttach(m_display, &m_segment);
        int err = trap.Sync();
        // Marked for removal now: it goes away once both sides have detached.
        shmctl(m_segment.shmid, IPC_RMID, nullptr);
        if (!attached || err) {
            shmdt(m_segment.shmaddr);
            m_segment.shmaddr = nullptr;
            return FallBackToPlain();
        }
        m_attached = true;
        return true;
    }

    // The server cannot share memory with us (a remote display): plain requests from now on.
    bool FallBackToPlain() {
        if (m_shmImage) {
            m_shmImage->data = nullptr;
            XDestroyImage(m_shmImage);
            m_shmImage = nullptr;
        }
        m_shm = false;
        return true;
    }

    void ReleaseImage() {
        if (m_shmImage) {
            if (m_attached) {
                ErrorTrap trap(m_display);
                XShmDetach(m_display, &m_segment);
                trap.Sync();
                m_attached = false;
            }
            m_shmImage->data = nullptr;
            XDestroyImage(m_shmImage);
            m_shmImage = nullptr;
            if (m_segment.shmaddr) shmdt(m_segment.shmaddr);
            m_segment.shmaddr = nullptr;
        }
        if (m_plainImage) {
            XDestroyImage(m_plainImage);
            m_plainImage = nullptr;
        }
        m_imageW = m_imageH = 0;
    }

    void DrawCursor(XImage* img, const Rect& r) {
        ErrorTrap trap(m_display);
        int wx = 0, wy = 0;
        Window child;
        if (!m_isRoot && !XTranslateCoordinates(m_display, m_window, m_root, 0, 0, &wx, &wy, &child)) return;
        XFixesCursorImage* cursor = XFixesGetCursorImage(m_display);
        if (!cursor) return;
        size_t count = static_cast<size_t>(cursor->width) * cursor->height;
        m_cursorPixels.resize(count);
        // Xlib hands the 32-bit pixels over in longs.
        for (size_t i = 0; i < count; ++i) m_cursorPixels[i] = static_cast<uint32_t>(cursor->pixels[i]);
        int cx = cursor->x - cursor->xhot - wx - r.x;
        int cy = cursor->y - cursor->yhot - wy - r.y;
        BlendCursor(reinterpret_cast<uint8_t*>(img->data), img->bytes_per_line, r.w, r.h,
                    m_cursorPixels.data(), cursor->width, cursor->height, cx, cy);
        XFree(cursor);
    }

    Display* m_display;
    Window m_window;
    Window m_root = 0;
    bool m_isRoot = false;
    bool m_withCursor;
    int m_fixesEvent = 0, m_fixesError = 0;
    Visual* m_visual = nullptr;
    int m_depth = 0;
    int m_width = 0, m_height = 0;
    bool m_mapped = false;
    bool m_gone = false;
    bool m_composite = false;
    Pixmap m_pixmap = 0;
    bool m_pixmapStale = true;
    bool m_shm = false;
    bool m_attached = false;
    XShmSegmentInfo m_segment{};
    XImage* m_shmImage = nullptr;
    XImage* m_plainImage = nullptr;
    int m_imageW = 0, m_imageH = 0;
    std::vector<uint32_t> m_cursorPixels;
};

}  // namespace

std::unique_ptr<IWindowGrabber> CreateX11WindowGrabber(OvHwnd window, bool withCursor, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    InitXlib();
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        *error = "cannot open the X display";
        return nullptr;
    }
    auto grabber = std::make_unique<X11WindowGrabber>(display, static_cast<Window>(window), withCursor);
    if (!grabber->Init(error)) return nullptr;
    return grabber;
}

bool X11WindowExists(OvHwnd window) {
    if (!window) return false;
    InitXlib();
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    bool exists;
    {
        ErrorTrap trap(display);
        XWindowAttributes attributes;
        exists = XGetWindowAttributes(display, static_cast<Window>(window), &attributes) != 0;
        exists = trap.Sync() == 0 && exists;
    }
    XCloseDisplay(display);
    return exists;
}

}  // namespace mediatap
