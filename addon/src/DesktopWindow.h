// The native window that stands for the whole desktop.
//
// Threads: any thread.
#pragma once

#include <cstdint>

namespace streamaddon {

// The root window of the default X display; 0 when no display can be opened (the capture
// engine reads 0 as the desktop as well).
uint64_t DesktopWindowId();

}  // namespace streamaddon
