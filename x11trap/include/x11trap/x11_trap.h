// The one X error trap of the process. Xlib reports protocol errors and broken connections to
// process-wide handlers, so every library of ours that talks to an X server opens its
// connections here: this shared library installs the handlers once for all of them.
//
// - A protocol error on a connection opened here is kept for the code that made the request
//   (TakeError); nothing is printed and the process goes on (Xlib's default handler exits).
// - A broken connection (the server went away) is marked lost instead of ending the process
//   (Xlib's default). Xlib makes no more I/O on it: requests are dropped and round trips fail
//   at once, on any thread, so a user notices the loss by its failed calls or by Lost() and
//   stops its work. A lost connection is still closed with Close, which frees it.
// - Errors and losses of connections not opened here go to the handlers that were installed
//   before, so a host's own handling of its connections stays as it was.
//
// Threads: every function may be called from any thread. Close must be a connection's last
// use: no other thread may be inside Xlib with it then.
#pragma once

// Xlib's connection type, declared as Xlib.h does, so that this header does not bring in
// Xlib's macros.
struct _XDisplay;
typedef struct _XDisplay Display;

#if defined(X11TRAP_BUILD)
#define X11TRAP_API __attribute__((visibility("default")))
#else
#define X11TRAP_API
#endif

namespace x11trap {

// What TakeError reports for a lost connection (every X protocol error code fits in a byte).
constexpr int kConnectionLost = 1000;

// Opens a trapped connection to the named display (null or empty: $DISPLAY); null when the
// display cannot be opened.
X11TRAP_API Display* Open(const char* displayName);
// Closes a trapped connection, lost or not, and forgets it. Null is ignored.
X11TRAP_API void Close(Display* display);

// True once the connection broke (Xlib met the end of it, or Check found it closed).
X11TRAP_API bool Lost(Display* display);
// Looks at the connection's socket without going through Xlib: when the server has closed it,
// marks the connection lost and returns false. Lets an idle user find a lost server at the
// cost of one non-blocking peek.
X11TRAP_API bool Check(Display* display);

// The first protocol error code on the connection since the last take (0: none), cleared;
// kConnectionLost once the connection is lost (that one stays). Makes no request: errors of
// requests the server has not answered yet come later.
X11TRAP_API int TakeError(Display* display);
// Waits until the server has handled every request so far (nothing to wait for on a lost
// connection), then TakeError.
X11TRAP_API int SyncError(Display* display);

}  // namespace x11trap
