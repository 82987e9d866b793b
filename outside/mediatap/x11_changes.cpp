#include "x11_changes.h"

#include "x11_support.h"

#include <X11/extensions/Xdamage.h>

namespace mediatap {

std::unique_ptr<X11DamageWatch> X11DamageWatch::Create(Display* display, Window window) {
    int eventBase, errorBase, major = 0, minor = 0;
    if (!XDamageQueryExtension(display, &eventBase, &errorBase) || !XDamageQueryVersion(display, &major, &minor) ||
        !XFixesQueryExtension(display, &eventBase, &errorBase) || !XFixesQueryVersion(display, &major, &minor) ||
        major < 2)
        return nullptr;
    ErrorTrap trap(display);
    // One event when the window goes from clean to drawn; the drawn parts are asked for at
    // each grab, so events only need draining.
    Damage damage = XDamageCreate(display, window, XDamageReportNonEmpty);
    XserverRegion parts = XFixesCreateRegion(display, nullptr, 0);
    if (trap.Sync()) {
        if (parts) XFixesDestroyRegion(display, parts);
        trap.Sync();
        return nullptr;
    }
    return std::unique_ptr<X11DamageWatch>(new X11DamageWatch(display, damage, parts));
}

X11DamageWatch::~X11DamageWatch() {
    ErrorTrap trap(m_display);
    // The damage object ends with its window; destroying it again then is a harmless error.
    XDamageDestroy(m_display, m_damage);
    XFixesDestroyRegion(m_display, m_parts);
    trap.Sync();
}

bool X11DamageWatch::Fetch() {
    m_rects.clear();
    ErrorTrap trap(m_display);
    XDamageSubtract(m_display, m_damage, None, m_parts);
    int count = 0;
    XRectangle* drawn = XFixesFetchRegion(m_display, m_parts, &count);
    if (trap.Error() || !drawn) {
        if (drawn) XFree(drawn);
        return false;
    }
    m_rects.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) m_rects[i] = Rect{drawn[i].x, drawn[i].y, drawn[i].width, drawn[i].height};
    XFree(drawn);
    return true;
}

RowSpan X11DamageWatch::Rows(const Rect& capture) const {
    return DamagedRows(m_rects.data(), static_cast<int>(m_rects.size()), capture);
}

std::unique_ptr<X11PointerWatch> X11PointerWatch::Create(Display* display) {
    int eventBase, errorBase, major = 0, minor = 0;
    if (!XFixesQueryExtension(display, &eventBase, &errorBase) || !XFixesQueryVersion(display, &major, &minor))
        return nullptr;
    // Shape changes arrive as events; the position is asked for at each grab.
    XFixesSelectCursorInput(display, DefaultRootWindow(display), XFixesDisplayCursorNotifyMask);
    return std::unique_ptr<X11PointerWatch>(new X11PointerWatch(display, eventBase));
}

bool X11PointerWatch::HandleEvent(const XEvent& event) {
    if (event.type != m_fixesEvent + XFixesCursorNotify) return false;
    m_shapeStale = true;
    return true;
}

void X11PointerWatch::Query(Window window) {
    ErrorTrap trap(m_display);
    Window root, child;
    int rootX, rootY;
    unsigned mask;
    m_onScreen = XQueryPointer(m_display, window, &root, &child, &rootX, &rootY, &m_x, &m_y, &mask) &&
                 !trap.Error();
}

bool X11PointerWatch::FetchImage() {
    ErrorTrap trap(m_display);
    XFixesCursorImage* cursor = XFixesGetCursorImage(m_display);
    if (!cursor) return false;
    size_t count = static_cast<size_t>(cursor->width) * cursor->height;
    m_pixels.resize(count);
    // Xlib hands the 32-bit pixels over in longs.
    for (size_t i = 0; i < count; ++i) m_pixels[i] = static_cast<uint32_t>(cursor->pixels[i]);
    m_imageW = cursor->width;
    m_imageH = cursor->height;
    m_hotX = cursor->xhot;
    m_hotY = cursor->yhot;
    XFree(cursor);
    return true;
}

Rect X11PointerWatch::Spot(bool* shapeChanged) {
    *shapeChanged = m_shapeStale;
    if (m_shapeStale && FetchImage()) m_shapeStale = false;
    if (!m_onScreen || m_pixels.empty()) return Rect{};
    return Rect{m_x - m_hotX, m_y - m_hotY, m_imageW, m_imageH};
}

void X11PointerWatch::Draw(uint8_t* bgra, int stride, int width, int height, int originX, int originY) const {
    if (!m_onScreen || m_pixels.empty()) return;
    BlendCursor(bgra, stride, width, height, m_pixels.data(), m_imageW, m_imageH, m_x - m_hotX - originX,
                m_y - m_hotY - originY);
}

}  // namespace mediatap
