// Small types shared by every library's public interface.
#pragma once

#include <cstdint>

// A native window handle. On X11 this is the window id (an XID, which fits in 32 bits);
// 0 means "no window", and where a call takes "the desktop" it is the root window.
typedef unsigned long OvHwnd;
