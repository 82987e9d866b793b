#include "DesktopWindow.h"

#include <X11/Xlib.h>

namespace streamaddon {

uint64_t DesktopWindowId() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return 0;
    const uint64_t root = static_cast<uint64_t>(DefaultRootWindow(display));
    XCloseDisplay(display);
    return root;
}

}  // namespace streamaddon
