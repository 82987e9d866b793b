// The Win32 backend of the window-system services: windows in Z order with their styles,
// owners, classes and processes, the shell's windows, the registry's ProgIDs, Desktop Window
// Manager thumbnails, and window-procedure subclassing for the hooked window.
//
// Threads: every member on the manager's thread; the hook callback on the thread that owns
// the hooked window (subclassing works only for windows of the calling process).
#pragma once

#include "WindowSystem.h"

#include <memory>

namespace paneshare {

std::unique_ptr<IWindowSystem> CreateWin32WindowSystem();

}  // namespace paneshare
