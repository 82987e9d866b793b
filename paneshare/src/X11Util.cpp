#include "X11Util.h"

#include <X11/Xatom.h>

#include <errno.h>
#include <sys/socket.h>

#include <map>
#include <mutex>

namespace paneshare {

namespace {

// First error code seen on each of our connections. Errors on connections that are not ours
// go to whatever handler the host had installed.
std::mutex g_errorMutex;
std::map<Display*, int>* g_errors = nullptr;
std::map<Display*, bool>* g_lost = nullptr;
XErrorHandler g_previousHandler = nullptr;
XIOErrorHandler g_previousIOHandler = nullptr;
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

// A broken connection of ours is only recorded (Xlib's default handler would end the
// process); one of the host's goes to the handler the host had.
int OnXIOError(Display* display) {
    XIOErrorHandler previous;
    {
        std::lock_guard<std::mutex> lock(g_errorMutex);
        if (g_lost != nullptr) {
            auto it = g_lost->find(display);
            if (it != g_lost->end()) {
                it->second = true;
                return 0;
            }
        }
        previous = g_previousIOHandler;
    }
    return previous != nullptr ? previous(display) : 0;
}

// Called instead of exit() when one of our connections breaks.
void OnIOErrorExit(Display* display, void*) {
    std::lock_guard<std::mutex> lock(g_errorMutex);
    if (g_lost != nullptr) (*g_lost)[display] = true;
}

}  // namespace

Display* OpenTrappedDisplay(const char* displayName) {
    Display* display = XOpenDisplay(displayName);
    if (display == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(g_errorMutex);
    if (g_errors == nullptr) g_errors = new std::map<Display*, int>;
    if (g_lost == nullptr) g_lost = new std::map<Display*, bool>;
    (*g_errors)[display] = 0;
    (*g_lost)[display] = false;
    XSetIOErrorExitHandler(display, OnIOErrorExit, nullptr);
    if (!g_installed) {
        g_installed = true;
        g_previousHandler = XSetErrorHandler(OnXError);
        g_previousIOHandler = XSetIOErrorHandler(OnXIOError);
    }
    return display;
}

void CloseTrappedDisplay(Display* display) {
    if (display == nullptr) return;
    // A lost connection is never touched again: Xlib may hold its lock for good after the
    // loss (seen here: the next call from another thread waited forever). It stays in the
    // lost map, a small allocation kept for the life of the process.
    if (DisplayLost(display)) return;
    XCloseDisplay(display);
    std::lock_guard<std::mutex> lock(g_errorMutex);
    // The handler stays installed: the host may have chained another one onto it since.
    if (g_errors != nullptr) g_errors->erase(display);
    if (g_lost != nullptr) g_lost->erase(display);
}

bool DisplayLost(Display* display) {
    std::lock_guard<std::mutex> lock(g_errorMutex);
    if (g_lost == nullptr) return false;
    auto it = g_lost->find(display);
    return it != g_lost->end() && it->second;
}

bool CheckConnection(Display* display) {
    if (DisplayLost(display)) return false;
    char byte;
    const ssize_t n = recv(ConnectionNumber(display), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    const bool alive = n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
    if (!alive) {
        std::lock_guard<std::mutex> lock(g_errorMutex);
        if (g_lost != nullptr && g_lost->count(display)) (*g_lost)[display] = true;
    }
    return alive;
}

int TakeXError(Display* display) {
    if (DisplayLost(display)) return BadImplementation;
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
