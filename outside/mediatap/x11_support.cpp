#include "x11_support.h"

#include <atomic>
#include <mutex>

namespace mediatap {
namespace {

// Xlib reports protocol errors to one process-wide handler. Ours records an error for the
// display that the current thread is trapping and passes every other error on.
typedef int (*XErrorHandlerFn)(Display*, XErrorEvent*);
std::mutex g_handlerLock;
std::atomic<XErrorHandlerFn> g_previousHandler{nullptr};
thread_local Display* t_trapDisplay = nullptr;
thread_local int t_trapError = 0;

int TrapHandler(Display* display, XErrorEvent* event) {
    if (display == t_trapDisplay) {
        if (!t_trapError) t_trapError = event->error_code;
        return 0;
    }
    XErrorHandlerFn previous = g_previousHandler.load();
    return previous ? previous(display, event) : 0;
}

}  // namespace

void InitXlib() {
    static std::once_flag once;
    std::call_once(once, [] { XInitThreads(); });
}

ErrorTrap::ErrorTrap(Display* display) : m_display(display) {
    {
        std::lock_guard<std::mutex> lock(g_handlerLock);
        // Re-installed every time, in case the host set a handler of its own meanwhile.
        XErrorHandlerFn previous = XSetErrorHandler(TrapHandler);
        if (previous != TrapHandler) g_previousHandler.store(previous);
    }
    t_trapDisplay = display;
    t_trapError = 0;
}

ErrorTrap::~ErrorTrap() { t_trapDisplay = nullptr; }

int ErrorTrap::Sync() {
    XSync(m_display, False);
    return t_trapError;
}

int ErrorTrap::Error() const { return t_trapError; }

}  // namespace mediatap
