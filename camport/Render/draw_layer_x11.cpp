#include "Render/draw_layer_x11.h"

#include "x11trap/x11_trap.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <libyuv.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace Orvane {
namespace render {

namespace {

bool UsableVisual(Display* display) {
    const int screen = DefaultScreen(display);
    Visual* visual = DefaultVisual(display, screen);
    if (DefaultDepth(display, screen) != 24 || visual->c_class != TrueColor) return false;
    if (visual->red_mask != 0xff0000 || visual->green_mask != 0xff00 || visual->blue_mask != 0xff) return false;
    if (ImageByteOrder(display) != LSBFirst) return false;
    int count = 0;
    XPixmapFormatValues* formats = XListPixmapFormats(display, &count);
    bool ok = false;
    for (int i = 0; i < count; ++i)
        if (formats[i].depth == 24) ok = formats[i].bits_per_pixel == 32;
    if (formats) XFree(formats);
    return ok;
}

// True when the server attaches a shared segment of this process (local server with MIT-SHM).
bool SharedMemoryWorks(Display* display) {
    if (!XShmQueryExtension(display)) return false;
    XShmSegmentInfo info{};
    info.shmid = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
    if (info.shmid < 0) return false;
    info.shmaddr = static_cast<char*>(shmat(info.shmid, nullptr, 0));
    shmctl(info.shmid, IPC_RMID, nullptr);
    if (info.shmaddr == reinterpret_cast<char*>(-1)) return false;
    info.readOnly = False;
    x11trap::TakeError(display);
    bool ok = XShmAttach(display, &info);
    XSync(display, False);
    if (x11trap::TakeError(display) != 0) ok = false;
    if (ok) {
        XShmDetach(display, &info);
        XSync(display, False);
    }
    shmdt(info.shmaddr);
    return ok;
}

uint64_t NextGeneration() {
    static std::atomic<uint64_t> counter{0};
    return ++counter;
}

bool LostError(int code) {
    return code == BadWindow || code == BadDrawable || code == BadGC || code == x11trap::kConnectionLost;
}

// ---------------------------------------------------------------------------------------------

class X11Device;

class X11Surface : public IDrawSurface {
public:
    X11Surface(X11Device& device, int width, int height, SurfaceFormat format)
        : m_device(device), m_width(width), m_height(height), m_format(format) {
        if (format == SurfaceFormat::kYV12) {
            m_pitch = (width + 15) & ~15;  // even, and half of it holds the rounded-up chroma width
            const size_t y = static_cast<size_t>(m_pitch) * height;
            m_bits.resize(y + 2 * static_cast<size_t>(m_pitch / 2) * ((height + 1) / 2));
        } else {
            m_pitch = width * 4;
            m_bits.resize(static_cast<size_t>(m_pitch) * height);
        }
    }
    SurfaceFormat Format() const override { return m_format; }
    int Width() const override { return m_width; }
    int Height() const override { return m_height; }
    // Lost together with the device's window.
    DrawResult Lock(LockedSurface* out) override;
    void Unlock() override {}
    // Changes whenever the content may have changed (locked for writing, filled); unique
    // across surfaces, so a copy made from one surface is never taken for another's.
    uint64_t Generation() const { return m_generation; }
    void Touch() { m_generation = NextGeneration(); }
    void Bits(LockedSurface* out) {
        out->bits = m_bits.data();
        out->pitch = m_pitch;
        out->width = m_width;
        out->height = m_height;
    }
    DrawResult FillBlack(bool fillYuvBlack) override {
        Touch();
        if (m_format == SurfaceFormat::kYV12 && fillYuvBlack) {
            const size_t y = static_cast<size_t>(m_pitch) * m_height;
            std::fill(m_bits.begin(), m_bits.begin() + y, 0);
            std::fill(m_bits.begin() + y, m_bits.end(), 128);
        } else {
            std::fill(m_bits.begin(), m_bits.end(), 0);
        }
        return DrawResult::kOk;
    }

    const uint8_t* Y() const { return m_bits.data(); }
    const uint8_t* V() const { return m_bits.data() + static_cast<size_t>(m_pitch) * m_height; }
    const uint8_t* U() const { return V() + static_cast<size_t>(m_pitch / 2) * ((m_height + 1) / 2); }
    int Pitch() const { return m_pitch; }

private:
    X11Device& m_device;  // outlives its surfaces
    int m_width, m_height;
    SurfaceFormat m_format;
    int m_pitch = 0;
    std::vector<uint8_t> m_bits;
    uint64_t m_generation = NextGeneration();
};

class X11Device : public IDrawDevice {
public:
    explicit X11Device(Display* display) : m_display(display) {}
    ~X11Device() override {
        ReleaseImage();
        if (m_gc) XFreeGC(m_display, m_gc);
        x11trap::Close(m_display);
    }

    Display* display() const { return m_display; }

    // Reads the events of the window and the root; true once the surfaces are lost.
    bool CheckLost() {
        if (m_bLost) return true;
        if (LostError(x11trap::TakeError(m_display))) m_bLost = true;
        while (!m_bLost && XPending(m_display) > 0) {
            XEvent event;
            XNextEvent(m_display, &event);
            if (event.type == DestroyNotify && event.xdestroywindow.window == m_window) {
                m_bLost = true;
            } else if (event.type == ConfigureNotify && event.xconfigure.window == m_window) {
                m_winWidth = event.xconfigure.width;
                m_winHeight = event.xconfigure.height;
            } else if (event.type == ConfigureNotify && event.xconfigure.window == m_root &&
                       (event.xconfigure.width != m_rootWidth || event.xconfigure.height != m_rootHeight)) {
                m_bLost = true;  // the screen changed size
            }
        }
        return m_bLost;
    }

    DrawResult CreatePrimary(WindowHandle window, uint32_t) override {
        if (m_gc) return DrawResult::kFailed;
        m_window = window;
        m_root = DefaultRootWindow(m_display);
        x11trap::TakeError(m_display);
        XWindowAttributes attr;
        if (!XGetWindowAttributes(m_display, window, &attr) || x11trap::TakeError(m_display))
            return DrawResult::kFailed;
        m_winWidth = attr.width;
        m_winHeight = attr.height;
        m_rootWidth = DisplayWidth(m_display, DefaultScreen(m_display));
        m_rootHeight = DisplayHeight(m_display, DefaultScreen(m_display));
        XSelectInput(m_display, window, StructureNotifyMask);
        XSelectInput(m_display, m_root, StructureNotifyMask);
        m_gc = XCreateGC(m_display, window, 0, nullptr);
        XSync(m_display, False);
        if (x11trap::TakeError(m_display)) return DrawResult::kFailed;
        return DrawResult::kOk;
    }

    DrawResult CreateOffscreen(int width, int height, SurfaceFormat format, uint32_t memoryType,
                               std::unique_ptr<IDrawSurface>* out) override {
        if (width <= 0 || height <= 0 || width > 16384 || height > 16384) return DrawResult::kFailed;
        // Surfaces "in video memory" are sent to the server through shared memory.
        m_bWantShm = (memoryType & kMemVideo) != 0;
        try {
            out->reset(new X11Surface(*this, width, height, format));
        } catch (const std::bad_alloc&) {
            return DrawResult::kOutOfVideoMemory;
        }
        return DrawResult::kOk;
    }

    DrawResult Blit(IDrawSurface& source, const Rect& dst) override {
        if (CheckLost()) return DrawResult::kLost;
        if (!m_gc || dst.Empty()) return DrawResult::kOk;
        Rect vis{std::max(dst.left, 0), std::max(dst.top, 0), std::min(dst.right, m_winWidth),
                 std::min(dst.bottom, m_winHeight)};
        if (vis.Empty()) return DrawResult::kOk;
        if (!EnsureImage(vis.Width(), vis.Height())) return DrawResult::kFailed;
        X11Surface& src = static_cast<X11Surface&>(source);
        const int dw = dst.Width(), dh = dst.Height();
        const int ox = vis.left - dst.left, oy = vis.top - dst.top;
        uint8_t* image = reinterpret_cast<uint8_t*>(m_image->data);
        const int imageStride = m_image->bytes_per_line;
        const bool scaled = dw != src.Width() || dh != src.Height();
        try {
            if (!scaled && src.Format() == SurfaceFormat::kYV12) {
                const int ys = src.Pitch(), cs = src.Pitch() / 2;
                const size_t co = static_cast<size_t>(oy / 2) * cs + ox / 2;
                libyuv::I420ToARGB(src.Y() + static_cast<size_t>(oy) * ys + ox, ys, src.U() + co, cs, src.V() + co,
                                   cs, image, imageStride, vis.Width(), vis.Height());
            } else if (!scaled) {
                LockedSurface locked;
                src.Bits(&locked);
                libyuv::ARGBCopy(locked.bits + static_cast<size_t>(oy) * locked.pitch + static_cast<size_t>(ox) * 4,
                                 locked.pitch, image, imageStride, vis.Width(), vis.Height());
            } else {
                // Only the part of the picture inside the window is scaled, straight into the
                // image: a picture far larger than the window (fill mode) costs no more than
                // the window.
                const uint8_t* pixels = nullptr;
                int stride = 0;
                if (src.Format() == SurfaceFormat::kYV12) {
                    pixels = SurfaceAsArgb(src);
                    stride = src.Width() * 4;
                } else {
                    LockedSurface locked;
                    src.Bits(&locked);
                    pixels = locked.bits;
                    stride = locked.pitch;
                }
                // The scaler takes the top left corner of the whole picture and writes only
                // the clip rectangle, which is where the image is.
                uint8_t* origin = reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(image) -
                                                             static_cast<uintptr_t>(oy) * imageStride -
                                                             static_cast<uintptr_t>(ox) * 4);
                if (libyuv::ARGBScaleClip(pixels, stride, src.Width(), src.Height(), origin, imageStride, dw, dh, ox, oy,
                                          vis.Width(), vis.Height(), libyuv::kFilterBilinear) != 0)
                    return DrawResult::kFailed;
            }
        } catch (const std::bad_alloc&) {
            return DrawResult::kFailed;
        }
        if (m_bShmImage) {
            XShmPutImage(m_display, m_window, m_gc, m_image, 0, 0, vis.left, vis.top, vis.Width(), vis.Height(),
                         False);
            XSync(m_display, False);  // the segment is reused by the next blit
        } else {
            XPutImage(m_display, m_window, m_gc, m_image, 0, 0, vis.left, vis.top, vis.Width(), vis.Height());
            XSync(m_display, False);
        }
        return CheckLost() ? DrawResult::kLost : DrawResult::kOk;
    }

    DrawResult ColorFill(const Rect& dst, uint32_t colour) override {
        if (CheckLost()) return DrawResult::kLost;
        if (!m_gc || dst.Empty()) return DrawResult::kOk;
        XSetForeground(m_display, m_gc, colour);
        XFillRectangle(m_display, m_window, m_gc, dst.left, dst.top, dst.Width(), dst.Height());
        XSync(m_display, False);
        return CheckLost() ? DrawResult::kLost : DrawResult::kOk;
    }

    void PostPaint() override {
        if (!m_window) return;
        XEvent event{};
        event.xexpose.type = Expose;
        event.xexpose.display = m_display;
        event.xexpose.window = m_window;
        event.xexpose.width = m_winWidth;
        event.xexpose.height = m_winHeight;
        XSendEvent(m_display, m_window, False, ExposureMask, &event);
        XFlush(m_display);
    }

private:
    bool EnsureImage(int width, int height) {
        if (m_image && m_image->width >= width && m_image->height >= height) return true;
        const int w = std::max(width, m_image ? m_image->width : 0);
        const int h = std::max(height, m_image ? m_image->height : 0);
        ReleaseImage();
        const int screen = DefaultScreen(m_display);
        Visual* visual = DefaultVisual(m_display, screen);
        if (m_bWantShm && XShmQueryExtension(m_display)) {
            m_image = XShmCreateImage(m_display, visual, 24, ZPixmap, nullptr, &m_shm, w, h);
            if (m_image) {
                m_shm.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(m_image->bytes_per_line) * h, IPC_CREAT | 0600);
                m_shm.shmaddr = m_shm.shmid < 0 ? reinterpret_cast<char*>(-1)
                                                : static_cast<char*>(shmat(m_shm.shmid, nullptr, 0));
                if (m_shm.shmid >= 0) shmctl(m_shm.shmid, IPC_RMID, nullptr);
                bool ok = m_shm.shmaddr != reinterpret_cast<char*>(-1);
                if (ok) {
                    m_shm.readOnly = False;
                    m_image->data = m_shm.shmaddr;
                    x11trap::TakeError(m_display);
                    ok = XShmAttach(m_display, &m_shm) &&
                         (XSync(m_display, False), x11trap::TakeError(m_display) == 0);
                    if (!ok) shmdt(m_shm.shmaddr);
                }
                if (ok) {
                    m_bShmImage = true;
                    return true;
                }
                m_image->data = nullptr;
                XDestroyImage(m_image);
                m_image = nullptr;
            }
        }
        // Plain images: the pixels travel in the request.
        const size_t stride = static_cast<size_t>(w) * 4;
        char* data = static_cast<char*>(std::malloc(stride * h));
        if (!data) return false;
        m_image = XCreateImage(m_display, visual, 24, ZPixmap, 0, data, w, h, 32, static_cast<int>(stride));
        if (!m_image) {
            std::free(data);
            return false;
        }
        m_bShmImage = false;
        return true;
    }

    // The YV12 surface as 32-bit RGB, converted again only when its content changed.
    const uint8_t* SurfaceAsArgb(const X11Surface& src) {
        if (m_argbGeneration != src.Generation() || m_argb.empty()) {
            m_argb.resize(static_cast<size_t>(src.Width()) * src.Height() * 4);
            libyuv::I420ToARGB(src.Y(), src.Pitch(), src.U(), src.Pitch() / 2, src.V(), src.Pitch() / 2, m_argb.data(),
                               src.Width() * 4, src.Width(), src.Height());
            m_argbGeneration = src.Generation();
        }
        return m_argb.data();
    }

    void ReleaseImage() {
        if (!m_image) return;
        if (m_bShmImage) {
            XShmDetach(m_display, &m_shm);
            XSync(m_display, False);
            shmdt(m_shm.shmaddr);
            m_image->data = nullptr;
        }
        XDestroyImage(m_image);  // frees plain image data (malloc'd) too
        m_image = nullptr;
        m_bShmImage = false;
    }

    Display* m_display;
    Window m_window = 0;
    Window m_root = 0;
    GC m_gc = nullptr;
    int m_winWidth = 0, m_winHeight = 0;
    int m_rootWidth = 0, m_rootHeight = 0;
    bool m_bLost = false;
    bool m_bWantShm = false;
    XImage* m_image = nullptr;
    bool m_bShmImage = false;
    XShmSegmentInfo m_shm{};
    std::vector<uint8_t> m_argb;     // a YV12 surface as 32-bit RGB, for scaled blits
    uint64_t m_argbGeneration = 0;   // content generation of the surface m_argb holds
};

DrawResult X11Surface::Lock(LockedSurface* out) {
    if (m_device.CheckLost()) return DrawResult::kLost;
    Touch();
    Bits(out);
    return DrawResult::kOk;
}

class X11DrawLayer : public IDrawLayer {
public:
    X11DrawLayer() { XInitThreads(); }
    ~X11DrawLayer() override { x11trap::Close(m_query); }

    std::unique_ptr<IDrawDevice> CreateDevice() override {
        Display* display = x11trap::Open(nullptr);
        if (!display) return nullptr;
        return std::unique_ptr<IDrawDevice>(new X11Device(display));
    }

    bool GetCaps(IDrawDevice& device, DeviceCaps* caps) override {
        Display* display = static_cast<X11Device&>(device).display();
        if (!UsableVisual(display)) return false;
        *caps = DeviceCaps{};
        if (SharedMemoryWorks(display))
            caps->videoStretch = true;
        else
            caps->systemToVideoStretch = true;
        caps->anyFourcc = true;
        caps->yv12 = true;
        return true;
    }

    WindowInfo QueryWindow(WindowHandle window) override {
        WindowInfo info;
        if (!window) return info;
        std::lock_guard<std::mutex> lock(m_queryMutex);
        if (m_query && x11trap::Lost(m_query)) {
            x11trap::Close(m_query);
            m_query = nullptr;
        }
        if (!m_query) m_query = x11trap::Open(nullptr);
        if (!m_query) return info;
        x11trap::TakeError(m_query);
        XWindowAttributes attr;
        if (!XGetWindowAttributes(m_query, window, &attr) || x11trap::TakeError(m_query)) return info;
        info.exists = true;
        info.visible = attr.map_state == IsViewable;
        info.width = attr.width;
        info.height = attr.height;
        return info;
    }

private:
    std::mutex m_queryMutex;
    Display* m_query = nullptr;  // for window queries from any thread
};

}  // namespace

std::shared_ptr<IDrawLayer> CreateX11DrawLayer() { return std::make_shared<X11DrawLayer>(); }

}  // namespace render
}  // namespace Orvane
