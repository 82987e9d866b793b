// Small Xlib helpers of the X11 backend: error trapping per connection and property reads.
//
// Threads: a connection is used by one thread at a time; the error slots may be touched from
// any thread.
#pragma once

#include <X11/Xlib.h>

#include <string>
#include <vector>

namespace paneshare {

// Opens a connection whose protocol errors are recorded (see TakeXError) instead of ending
// the process. Null when the display cannot be opened.
Display* OpenTrappedDisplay(const char* displayName);
// Closes it, lost or not.
void CloseTrappedDisplay(Display* display);

// True once the connection to the server was lost. A lost connection does not end the
// process; Xlib calls on it fail at once, and there is no point in making them (the helpers
// here check).
bool DisplayLost(Display* display);
// Checks the connection's socket without Xlib: when the server has closed it, marks the
// connection lost and returns false. Lets an idle reader find a lost server without a request.
bool CheckConnection(Display* display);

// Waits for every request sent so far and returns the first error code recorded on the
// connection since the last call (0 when none), clearing it.
int TakeXError(Display* display);

// A property's items: 8-bit items as bytes, 32-bit items as longs. False when the window
// has no such property (or is gone).
bool GetProperty8(Display* display, Window window, Atom property, std::string* value, Atom* type = nullptr,
                  long maxBytes = 1 << 16);
bool GetProperty32(Display* display, Window window, Atom property, std::vector<unsigned long>* value,
                   long maxItems = 1 << 16);

// Latin-1 bytes as UTF-8.
std::string Latin1ToUtf8(const std::string& text);

}  // namespace paneshare
