// X11 backend of IWindowGrabber.
//
// A window is read through the Composite extension where the server has it: the window is
// redirected (automatic mode, so the screen still shows it as before) and its own pixmap is
// read, which gives its content even when other windows cover it. The desktop is read from
// the root window. Pixels are fetched with MIT-SHM (XShmGetImage into a shared segment)
// where the server offers it and the segment can be attached, else with XGetImage.
// Resizes, maps, unmaps and the window's end arrive as StructureNotify events.
//
// Between two grabs only what changed is read again: the rows the server saw drawn (DAMAGE),
// and, with the pointer drawn in, the rows it left and entered. A direct read of a window
// (no Composite) shows whatever covers it, which the window's own damage does not tell, so
// that case reads everything each time, as does every grab after a resize, a remap or a
// failed read. A full read now and then bounds how long drawing that the server did not
// account for (direct rendering) could stay unseen.
//
// The connection is opened through the process's X error trap: when the server goes away the
// requests fail at once, the grabber answers kLost from then on, and the process goes on.
#include "window_grabber.h"
#include "x11_changes.h"
#include "x11_support.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xfixes.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdio>
#include <vector>

namespace mediatap {
namespace {

// Grabs between two full reads.
constexpr int kFullReadEvery = 30;

class X11WindowGrabber final : public IWindowGrabber {
public:
    X11WindowGrabber(Display* display, Window window) : m_display(display), m_window(window) {}

    ~X11WindowGrabber() override {
        m_damage.reset();
        m_pointer.reset();
        ReleaseImage();
        // What the server kept for us went with a lost connection.
        if (m_pixmap && !DisplayLost(m_display)) {
            ErrorTrap trap(m_display);
            XFreePixmap(m_display, m_pixmap);
            trap.Sync();
        }
        if (m_composite && !m_gone && !DisplayLost(m_display)) {
            ErrorTrap trap(m_display);
            XCompositeUnredirectWindow(m_display, m_window, CompositeRedirectAutomatic);
            trap.Sync();
        }
        CloseDisplay(m_display);
    }

    bool Init(bool withCursor, std::string* error) {
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
        if (m_composite || m_isRoot) m_damage = X11DamageWatch::Create(m_display, m_window);
        if (withCursor) m_pointer = X11PointerWatch::Create(m_display);
        return true;
    }

    GrabResult Grab(const Rect& rect, GrabbedImage* image) override {
        if (m_lost) return GrabResult::kLost;
        if (m_gone) return GrabResult::kGone;
        // The round trips first: the events they bring in are handled right after.
        const bool drawnKnown = m_damage && m_damage->Fetch();
        if (m_pointer) m_pointer->Query(m_window);
        HandleEvents();
        if (CheckLost()) return GrabResult::kLost;
        if (m_gone) return GrabResult::kGone;
        Rect r = ClipCaptureRect(rect, m_width, m_height);
        if (r.Empty() || !m_mapped) {
            m_fullRead = true;
            return GrabResult::kUnreadable;
        }

        Drawable source = m_window;
        if (m_composite) {
            if (m_pixmapStale) {
                if (!NamePixmap()) return ReadFailed();
                m_fullRead = true;
            }
            source = m_pixmap;
        }
        if (!EnsureImage(r.w, r.h)) return GrabResult::kUnreadable;
        if (!(r == m_lastRect) || !drawnKnown || ++m_sinceFullRead >= kFullReadEvery) m_fullRead = true;
        RowSpan rows = m_fullRead ? RowSpan{0, r.h} : m_damage->Rows(r);
        Rect spot;  // the pointer's image in picture coordinates
        if (m_pointer) {
            bool shapeChanged = false;
            Rect where = m_pointer->Spot(&shapeChanged);
            spot = Intersect(Rect{where.x - r.x, where.y - r.y, where.w, where.h}, Rect{0, 0, r.w, r.h});
            rows = RowsWithPointer(rows, m_pointerDrawn, spot, shapeChanged, r.h);
        }
        if (!rows.Empty() && !Read(source, r, rows)) return ReadFailed();
        XImage* img = m_shmImage ? m_shmImage : m_plainImage;
        image->bgra = reinterpret_cast<const uint8_t*>(img->data);
        image->stride = img->bytes_per_line;
        image->width = r.w;
        image->height = r.h;
        image->changed = rows;
        if (rows.Empty()) return GrabResult::kSame;
        if (m_fullRead) m_sinceFullRead = 0;
        m_fullRead = false;
        m_lastRect = r;
        // Every row under the pointer was read afresh, or none was (see RowsWithPointer).
        if (m_pointer && rows.Meets(RowsOf(spot)))
            m_pointer->Draw(reinterpret_cast<uint8_t*>(img->data), img->bytes_per_line, r.w, r.h, r.x, r.y);
        m_pointerDrawn = spot;
        return GrabResult::kOk;
    }

    GrabResult Check() override {
        if (!m_lost && !m_gone) {
            // Only reads what the server sent (no round trip); a broken connection shows there.
            HandleEvents();
            CheckLost();
        }
        return m_lost ? GrabResult::kLost : m_gone ? GrabResult::kGone : GrabResult::kOk;
    }

    void Size(int* width, int* height) const override {
        *width = m_width;
        *height = m_height;
    }

    std::string Describe() const override {
        char text[160];
        std::snprintf(text, sizeof text, "window 0x%lx%s (%s, %s, %s)", static_cast<unsigned long>(m_window),
                      m_isRoot ? " (desktop)" : "", m_composite ? "composite" : "direct",
                      m_shm ? "MIT-SHM" : "XGetImage", m_damage ? "changes only" : "every pixel");
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
                    if (m_pointer) m_pointer->HandleEvent(ev);
                    break;
            }
        }
    }

    // Reads rows of the capture rectangle r into the image, at the same rows.
    bool Read(Drawable source, const Rect& r, const RowSpan& rows) {
        ErrorTrap trap(m_display);
        const int n = rows.bottom - rows.top;
        if (m_shmImage) {
            // The server writes at the image's offset into the segment: a band of the image
            // with the same row length lands where those rows belong.
            XImage band = *m_shmImage;
            band.data += static_cast<size_t>(rows.top) * band.bytes_per_line;
            band.height = n;
            return XShmGetImage(m_display, source, &band, r.x, r.y + rows.top, AllPlanes) && !trap.Error();
        }
        if (m_plainImage && n < r.h)
            return XGetSubImage(m_display, source, r.x, r.y + rows.top, r.w, n, AllPlanes, ZPixmap, m_plainImage, 0,
                                rows.top) &&
                   !trap.Error();
        if (m_plainImage) XDestroyImage(m_plainImage);
        m_plainImage = XGetImage(m_display, source, r.x, r.y, r.w, r.h, AllPlanes, ZPixmap);
        return m_plainImage && !trap.Error();
    }

    // After a failed read: the window may have ended (its DestroyNotify may still be on its
    // way), or it was just not readable this time.
    GrabResult ReadFailed() {
        m_pixmapStale = true;
        m_fullRead = true;
        if (CheckLost()) return GrabResult::kLost;
        ErrorTrap trap(m_display);
        XWindowAttributes attrs;
        Status ok = XGetWindowAttributes(m_display, m_window, &attrs);
        if (!ok || trap.Sync()) {
            if (CheckLost()) return GrabResult::kLost;
            m_gone = true;
            return GrabResult::kGone;
        }
        return GrabResult::kUnreadable;
    }

    // True once the connection broke (the server went away); it stays so.
    bool CheckLost() {
        if (!m_lost && DisplayLost(m_display)) m_lost = true;
        return m_lost;
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
        m_fullRead = true;
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

    Display* m_display;
    Window m_window;
    Window m_root = 0;
    bool m_isRoot = false;
    Visual* m_visual = nullptr;
    int m_depth = 0;
    int m_width = 0, m_height = 0;
    bool m_mapped = false;
    bool m_gone = false;
    bool m_lost = false;  // the connection to the server broke
    bool m_composite = false;
    Pixmap m_pixmap = 0;
    bool m_pixmapStale = true;
    bool m_shm = false;
    bool m_attached = false;
    XShmSegmentInfo m_segment{};
    XImage* m_shmImage = nullptr;
    XImage* m_plainImage = nullptr;
    int m_imageW = 0, m_imageH = 0;
    std::unique_ptr<X11DamageWatch> m_damage;     // null: every grab reads everything
    std::unique_ptr<X11PointerWatch> m_pointer;   // null: no pointer drawn
    bool m_fullRead = true;                       // the next read covers the whole rectangle
    int m_sinceFullRead = 0;
    Rect m_lastRect;                              // the rectangle the image holds
    Rect m_pointerDrawn;                          // where the image shows the pointer
};

}  // namespace

std::unique_ptr<IWindowGrabber> CreateX11WindowGrabber(OvHwnd window, bool withCursor, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    Display* display = OpenDisplay();
    if (!display) {
        *error = "cannot open the X display";
        return nullptr;
    }
    auto grabber = std::make_unique<X11WindowGrabber>(display, static_cast<Window>(window));
    if (!grabber->Init(withCursor, error)) return nullptr;
    return grabber;
}

bool X11WindowExists(OvHwnd window) {
    if (!window) return false;
    Display* display = OpenDisplay();
    if (!display) return false;
    bool exists;
    {
        ErrorTrap trap(display);
        XWindowAttributes attributes;
        exists = XGetWindowAttributes(display, static_cast<Window>(window), &attributes) != 0;
        exists = trap.Sync() == 0 && exists;
    }
    CloseDisplay(display);
    return exists;
}

}  // namespace mediatap
