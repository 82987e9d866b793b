#include "support/x11_window.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>

namespace testsupport {

double MeanAbsDiff(const Rgb& a, const Rgb& b) {
    if (a.w != b.w || a.h != b.h || a.px.empty()) return 255;
    double sum = 0;
    for (size_t i = 0; i < a.px.size(); ++i)
        for (int shift = 0; shift <= 16; shift += 8)
            sum += std::abs(static_cast<int>((a.px[i] >> shift) & 0xff) - static_cast<int>((b.px[i] >> shift) & 0xff));
    return sum / (3.0 * a.px.size());
}

double ShareOf(const Rgb& p, uint32_t colour) {
    if (p.px.empty()) return 0;
    size_t n = 0;
    for (uint32_t c : p.px) n += c == colour;
    return 100.0 * n / p.px.size();
}

Rgb RgbFromRgb24(const std::string& bytes, int w, int h) {
    Rgb p;
    if (w <= 0 || h <= 0 || bytes.size() != static_cast<size_t>(w) * h * 3) return p;
    p.w = w;
    p.h = h;
    p.px.reserve(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < bytes.size(); i += 3)
        p.px.push_back((uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8) |
                       uint8_t(bytes[i + 2]));
    return p;
}

void DumpPpm(const Rgb& p, const char* dirVariable, const std::string& name) {
    const char* dir = std::getenv(dirVariable);
    if (!dir) return;
    if (FILE* f = std::fopen((std::string(dir) + "/" + name + ".ppm").c_str(), "wb")) {
        std::fprintf(f, "P6\n%d %d\n255\n", p.w, p.h);
        for (uint32_t c : p.px) {
            const unsigned char rgb[3] = {static_cast<unsigned char>(c >> 16), static_cast<unsigned char>(c >> 8),
                                          static_cast<unsigned char>(c)};
            std::fwrite(rgb, 1, 3, f);
        }
        std::fclose(f);
    }
}

XWindow::XWindow(int x, int y, int w, int h, uint32_t background) {
    m_display = XOpenDisplay(nullptr);
    if (!m_display) return;
    m_window = XCreateSimpleWindow(m_display, DefaultRootWindow(m_display), x, y, w, h, 0, 0, background);
    XSelectInput(m_display, m_window, StructureNotifyMask);
    XMapWindow(m_display, m_window);
    for (XEvent e;;) {
        XNextEvent(m_display, &e);
        if (e.type == MapNotify) break;
    }
    XSync(m_display, False);
}

XWindow::~XWindow() {
    if (!m_display) return;
    if (m_gc) XFreeGC(m_display, m_gc);
    if (m_window) XDestroyWindow(m_display, m_window);
    XCloseDisplay(m_display);
}

void XWindow::Fill(uint32_t colour) {
    if (!m_gc) m_gc = XCreateGC(m_display, m_window, 0, nullptr);
    XSetForeground(m_display, m_gc, colour);
    XWindowAttributes attr;
    XGetWindowAttributes(m_display, m_window, &attr);
    XFillRectangle(m_display, m_window, m_gc, 0, 0, attr.width, attr.height);
    XSync(m_display, False);
}

void XWindow::Resize(int w, int h) {
    XResizeWindow(m_display, m_window, w, h);
    XSync(m_display, False);
}

void XWindow::Destroy() {
    XDestroyWindow(m_display, m_window);
    XSync(m_display, False);
    m_window = 0;
}

Rgb XWindow::Read() {
    Rgb p;
    XWindowAttributes attr;
    XGetWindowAttributes(m_display, m_window, &attr);
    XImage* image = XGetImage(m_display, m_window, 0, 0, attr.width, attr.height, AllPlanes, ZPixmap);
    if (!image) return p;
    p.w = attr.width;
    p.h = attr.height;
    p.px.resize(static_cast<size_t>(p.w) * p.h);
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) p.px[static_cast<size_t>(y) * p.w + x] = XGetPixel(image, x, y) & 0xffffff;
    XDestroyImage(image);
    return p;
}

}  // namespace testsupport
