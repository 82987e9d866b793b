#include "X11Util.h"

#include <X11/Xatom.h>

#include <map>
#include <mutex>

namespace paneshare {

namespace {

// First error code seen on each of our connections. Errors on connections that are not ours
// go to whatever handler the host had installed.
std::mutex g_errorMutex;
std::map<Display*, int>* g_errors = nullptr;
XErrorHandler g_previousHandler = nullptr;
bool g_installed = false;

int OnXError(Display* display, XErrorEvent* event) {
    XErrorHandler previous;
    {
        std::lock_guard<std::mutex> lock(g_errorMutex);
        if (g_errors != nullptr) {
            auto it = g_errors->find(display);
            if (it != g_errors->end()) {
                if (it->second == 0) it->second = event->error_code;
                return 0;
            }
        }
        previous = g_previousHandler;
    }
    return previous != nullptr ? previous(display, event) : 0;
}

}  // namespace

Display* OpenTrappedDisplay(const char* displayName) {
    Display* display = XOpenDisplay(displayName);
    if (display == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(g_errorMutex);
    if (g_errors == nullptr) g_errors = new std::map<Display*, int>;
    (*g_errors)[display] = 0;
    if (!g_installed) {
        g_installed = true;
        g_previousHandler = XSetErrorHandler(OnXError);
    }
    return display;
}

void CloseTrappedDisplay(Display* display) {
    if (display == nullptr) return;
    XCloseDisplay(display);
    std::lock_guard<std::mutex> lock(g_errorMutex);
    // The handler stays installed: the host may have chained another one onto it since.
    if (g_errors != nullptr) g_errors->erase(display);
}

int TakeXError(Display* display) {
    XSync(display, False);
    std::lock_guard<std::mutex> lock(g_errorMutex);
    if (g_errors == nullptr) return 0;
    auto it = g_errors->find(display);
    if (it == g_errors->end()) return 0;
    const int code = it->second;
    it->second = 0;
    return code;
}

bool GetProperty8(Display* display, Window window, Atom property, std::string* value, Atom* type, long maxBytes) {
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
