// Small pieces shared by the engine's X11 backends: Xlib's thread set-up and a scoped trap
// for the protocol errors of one display.
// Threads: an ErrorTrap lives on one thread and covers the requests that thread makes.
#pragma once

#include <X11/Xlib.h>

namespace mediatap {

// Calls XInitThreads once per process, before the first connection is opened.
void InitXlib();

// Catches the errors of the requests made while it lives (on this thread, for one display).
// Errors of other displays and threads go to the handler that was installed before, so the
// host's own handling stays as it was.
class ErrorTrap {
public:
    explicit ErrorTrap(Display* display);
    ~ErrorTrap();
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;
    // Waits until the server has handled every request so far; the first error code or 0.
    int Sync();
    // The first error code seen so far, or 0.
    int Error() const;

private:
    Display* m_display;
};

}  // namespace mediatap
