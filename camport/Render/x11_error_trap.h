// The X error trap of the drawing layer: Xlib reports errors to one process-wide handler, so
// the first error on each of our connections is kept for the code that caused it, and a
// broken connection of ours is marked lost instead of ending the host process (Xlib's default).
// Connections of others go to the handlers that were set before ours.
// Threads: any; the trap's table has its own lock.
#pragma once

#include <X11/Xlib.h>

namespace Orvane {
namespace render {

// Kept as the error of a connection the server has closed (or that broke).
constexpr int kConnectionLost = 1000;

// Installs the handlers once per process.
void InstallTrap();
// A new connection to the default display, trapped; null when there is none.
Display* OpenTrapped();
// Closes a trapped connection (a lost one is only forgotten) and forgets it.
void CloseTrapped(Display* display);
// The first error code since the last take (0 for none); kConnectionLost stays once set.
int TakeError(Display* display);
bool ConnectionLost(Display* display);

}  // namespace render
}  // namespace Orvane
