// What changed on an X display between two grabs: the parts of a window the server saw drawn
// (the DAMAGE extension) and where the pointer is and what it looks like (XFIXES).
// Both ride on the grabber's own connection; events for them come through the grabber's
// event loop, which hands each one to HandleEvent.
// Threads: the thread that uses the grabber.
#pragma once

#include "frame_geometry.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace mediatap {

class X11DamageWatch {
public:
    // Null when the server lacks DAMAGE (or XFIXES, which carries its regions) or the
    // window cannot be watched.
    static std::unique_ptr<X11DamageWatch> Create(Display* display, Window window);
    ~X11DamageWatch();
    X11DamageWatch(const X11DamageWatch&) = delete;
    X11DamageWatch& operator=(const X11DamageWatch&) = delete;

    // Asks the server what was drawn since the previous call and forgets it there (one round
    // trip, so the answer holds everything drawn before, whether or not its event has reached
    // us yet). False when the server could not say (the window went away): treat everything
    // as changed then.
    bool Fetch();
    // The rows of capture (a rectangle in window coordinates; rows counted from its top) that
    // the last Fetch found drawn.
    RowSpan Rows(const Rect& capture) const;

private:
    X11DamageWatch(Display* display, unsigned long damage, XserverRegion parts)
        : m_display(display), m_damage(damage), m_parts(parts) {}
    Display* m_display;
    unsigned long m_damage;
    XserverRegion m_parts;
    std::vector<Rect> m_rects;
};

// The pointer as drawn into captured pictures.
class X11PointerWatch {
public:
    // Null without XFIXES.
    static std::unique_ptr<X11PointerWatch> Create(Display* display);
    X11PointerWatch(const X11PointerWatch&) = delete;
    X11PointerWatch& operator=(const X11PointerWatch&) = delete;

    // True when the event was the pointer's (its shape changed).
    bool HandleEvent(const XEvent& event);
    // Asks the server where the pointer is relative to window (one round trip). Call before
    // the grabber's events are handled, so a shape change made before it is seen too.
    void Query(Window window);
    // Where the pointer's image lies, in window coordinates (empty when the pointer is on
    // another screen or has no image), fetching the image when its shape changed; shapeChanged
    // tells whether it did since the previous call.
    Rect Spot(bool* shapeChanged);
    // Draws the image at its spot, shifted by (-originX, -originY), into a BGRA picture.
    void Draw(uint8_t* bgra, int stride, int width, int height, int originX, int originY) const;

private:
    X11PointerWatch(Display* display, int fixesEvent) : m_display(display), m_fixesEvent(fixesEvent) {}
    bool FetchImage();

    Display* m_display;
    int m_fixesEvent;
    bool m_shapeStale = true;
    bool m_onScreen = false;
    int m_x = 0, m_y = 0;  // pointer position in window coordinates
    int m_hotX = 0, m_hotY = 0;
    int m_imageW = 0, m_imageH = 0;
    std::vector<uint32_t> m_pixels;
};

}  // namespace mediatap
