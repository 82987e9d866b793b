// Small pieces shared by the engine's X11 backends: Xlib's thread set-up, connections opened
// through the process's X error trap, and a scoped view of one connection's protocol errors.
// Threads: a connection and an ErrorTrap on it are used by one thread at a time.
#pragma once

#include <X11/Xlib.h>

namespace mediatap {

// Calls XInitThreads once per process, before the first connection is opened.
void InitXlib();

// A connection to $DISPLAY whose errors are trapped and whose loss does not end the process
// (see x11trap); null when the display cannot be opened. Closed with CloseDisplay.
Display* OpenDisplay();
void CloseDisplay(Display* display);
// True once the connection to the server broke: Xlib calls on it fail at once from then on.
bool DisplayLost(Display* display);

// The errors of the requests made on a connection while it lives. Errors that came in before
// are forgotten; a lost connection reports x11trap::kConnectionLost.
class ErrorTrap {
public:
    explicit ErrorTrap(Display* display);
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;
    // Waits until the server has handled every request so far; the first error code or 0.
    int Sync();
    // The first error code seen so far, or 0.
    int Error() const;

private:
    Display* m_display;
    mutable int m_error = 0;
};

}  // namespace mediatap
