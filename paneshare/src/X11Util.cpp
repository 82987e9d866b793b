#include "X11Util.h"

#include "x11trap/x11_trap.h"

#include <X11/Xatom.h>

namespace paneshare {

// The connections and their errors are kept by the process's X error trap, which every X
// user of the process shares.

Display* OpenTrappedDisplay(const char* displayName) { return x11trap::Open(displayName); }

void CloseTrappedDisplay(Display* display) { x11trap::Close(display); }

bool DisplayLost(Display* display) { return x11trap::Lost(display); }

bool CheckConnection(Display* display) { return x11trap::Check(display); }

int TakeXError(Display* display) {
    const int code = x11trap::SyncError(display);
    return code == x11trap::kConnectionLost ? BadImplementation : code;
}

bool GetProperty8(Display* display, Window window, Atom property, std::string* value, Atom* type, long maxBytes) {
    if (DisplayLost(display)) return false;
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const long longs = (maxBytes + 3) / 4;
    if (XGetWindowProperty(display, window, property, 0, longs, False, AnyPropertyType, &actualType, &format, &count,
                           &after, &data) != Success)
        return false;
    const bool ok = actualType != None && format == 8;
    if (ok) value->assign(reinterpret_cast<const char*>(data), count);
    if (type != nullptr) *type = actualType;
    if (data != nullptr) XFree(data);
    return ok;
}

bool GetProperty32(Display* display, Window window, Atom property, std::vector<unsigned long>* value, long maxItems) {
    if (DisplayLost(display)) return false;
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, property, 0, maxItems, False, AnyPropertyType, &actualType, &format,
                           &count, &after, &data) != Success)
        return false;
    const bool ok = actualType != None && format == 32;
    if (ok) {
        // Xlib hands 32-bit items out as longs.
        const unsigned long* items = reinterpret_cast<const unsigned long*>(data);
        value->assign(items, items + count);
    }
    if (data != nullptr) XFree(data);
    return ok;
}

std::string Latin1ToUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace paneshare
