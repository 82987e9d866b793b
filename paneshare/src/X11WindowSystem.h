// The X11 backend of the window-system services.
//
// Listing runs on the caller's display connection. Thumbnails and the hooked window run on a
// second connection served by the backend's event thread, which starts on first use.
//
// Threads: every member on the manager's thread; the hook callback on the event thread.
#pragma once

#include "WindowSystem.h"

#include <memory>

namespace paneshare {

// displayName null means $DISPLAY. Never null: when the display cannot be opened the backend
// lists nothing, and the desktop is window 0.
std::unique_ptr<IWindowSystem> CreateX11WindowSystem(const char* displayName = nullptr);

}  // namespace paneshare
