#include "x11trap/x11_trap.h"

#include "common/thread_annotations.h"

#include <X11/Xlib.h>
#include <errno.h>
#include <sys/socket.h>

#include <cstdint>
#include <map>

// Leaves a connection that Xlib found broken usable for failing calls (lost_display.c).
extern "C" void x11trap_settle_lost_display(Display* display);

namespace x11trap {
namespace {

struct Connection {
    uint64_t serial = 0;  // tells a connection from a later one that Xlib put at the same address
    int error = 0;        // the first protocol error since the last take
    bool lost = false;
};

Orvane::Common::Mutex g_lock;
// Never freed: Xlib may still call the handlers while the process exits.
std::map<Display*, Connection>* const g_connections OV_PT_GUARDED_BY(g_lock) = new std::map<Display*, Connection>;
uint64_t g_nextSerial OV_GUARDED_BY(g_lock) = 0;
XErrorHandler g_previousError OV_GUARDED_BY(g_lock) = nullptr;
XIOErrorHandler g_previousIOError OV_GUARDED_BY(g_lock) = nullptr;
// Set while a handler of another connection runs: one that hands back to ours is not called
// in a circle.
thread_local bool t_forwarding = false;

int OnError(Display* display, XErrorEvent* event) {
    XErrorHandler previous;
    {
        Orvane::Common::MutexLock lock(g_lock);
        auto it = g_connections->find(display);
        if (it != g_connections->end()) {
            if (it->second.error == 0) it->second.error = event->error_code;
            return 0;
        }
        previous = g_previousError;
    }
    if (previous == nullptr || t_forwarding) return 0;
    t_forwarding = true;
    const int result = previous(display, event);
    t_forwarding = false;
    return result;
}

void MarkLost(Display* display) {
    Orvane::Common::MutexLock lock(g_lock);
    auto it = g_connections->find(display);
    if (it != g_connections->end()) it->second.lost = true;
}

int OnIOError(Display* display) {
    XIOErrorHandler previous;
    {
        Orvane::Common::MutexLock lock(g_lock);
        auto it = g_connections->find(display);
        if (it != g_connections->end()) {
            it->second.lost = true;
            return 0;  // the connection's exit handler below returns too
        }
        previous = g_previousIOError;
    }
    if (previous == nullptr || t_forwarding) return 0;
    t_forwarding = true;
    const int result = previous(display);
    t_forwarding = false;
    return result;
}

// Called in place of exit() when one of our connections breaks.
void OnConnectionLost(Display* display, void*) {
    MarkLost(display);
    x11trap_settle_lost_display(display);
}

// The handlers go in after Xlib has put its defaults in place (on its first connection), so
// that the defaults are what other connections are handed to. They go in again whenever
// someone replaced them since; the one found is then what other connections are handed to.
void InstallHandlers() OV_REQUIRES(g_lock) {
    const XErrorHandler error = XSetErrorHandler(OnError);
    if (error != OnError) g_previousError = error;
    const XIOErrorHandler ioError = XSetIOErrorHandler(OnIOError);
    if (ioError != OnIOError) g_previousIOError = ioError;
}

}  // namespace

Display* Open(const char* displayName) {
    Display* display = XOpenDisplay(displayName != nullptr && *displayName ? displayName : nullptr);
    if (display == nullptr) return nullptr;
    {
        Orvane::Common::MutexLock lock(g_lock);
        InstallHandlers();
        Connection& connection = (*g_connections)[display];
        connection = Connection{};
        connection.serial = ++g_nextSerial;
    }
    XSetIOErrorExitHandler(display, OnConnectionLost, nullptr);
    return display;
}

void Close(Display* display) {
    if (display == nullptr) return;
    uint64_t serial = 0;
    {
        Orvane::Common::MutexLock lock(g_lock);
        auto it = g_connections->find(display);
        if (it != g_connections->end()) serial = it->second.serial;
    }
    // Still trapped while it closes: closing waits for the errors of requests still on their way.
    XCloseDisplay(display);
    Orvane::Common::MutexLock lock(g_lock);
    auto it = g_connections->find(display);
    if (it != g_connections->end() && it->second.serial == serial) g_connections->erase(it);
}

bool Lost(Display* display) {
    Orvane::Common::MutexLock lock(g_lock);
    auto it = g_connections->find(display);
    return it != g_connections->end() && it->second.lost;
}

bool Check(Display* display) {
    if (display == nullptr || Lost(display)) return false;
    char byte;
    const ssize_t n = recv(ConnectionNumber(display), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    const bool alive = n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
    if (!alive) MarkLost(display);
    return alive;
}

int TakeError(Display* display) {
    Orvane::Common::MutexLock lock(g_lock);
    auto it = g_connections->find(display);
    if (it == g_connections->end()) return 0;
    if (it->second.lost) return kConnectionLost;
    const int code = it->second.error;
    it->second.error = 0;
    return code;
}

int SyncError(Display* display) {
    if (display == nullptr) return 0;
    if (!Lost(display)) XSync(display, False);
    return TakeError(display);
}

}  // namespace x11trap
