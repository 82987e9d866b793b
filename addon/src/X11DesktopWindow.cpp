#include "DesktopWindow.h"

#include "x11trap/x11_trap.h"

#include <X11/Xlib.h>

namespace streamaddon {

uint64_t DesktopWindowId() {
    // Through the process's X trap: a display lost in between must not end the process.
    Display* display = x11trap::Open(nullptr);
    if (display == nullptr) return 0;
    const uint64_t root = static_cast<uint64_t>(DefaultRootWindow(display));
    x11trap::Close(display);
    return root;
}

}  // namespace streamaddon
