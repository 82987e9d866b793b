// The window-system services the sharing rules run on. One backend per platform (X11 here)
// and a test double; every decision stays in PaneShareMgr.
//
// Threads: all members are called on the manager's thread. The event callback given to Hook
// is called on the backend's own event thread.
#pragma once

#include "common/ovtypes.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace paneshare {

// The system version as the exception rules see it.
struct SystemVersion {
    int major = 0;
    int minor = 0;
    int servicePack = 0;
};

// (major, minor, service pack) at least the given one, compared in that order.
bool VersionAtLeast(const SystemVersion& v, int major, int minor, int servicePack = 0);

// Cuts UTF-8 text to at most maxBytes bytes without splitting a character.
std::string CutUtf8(const std::string& text, size_t maxBytes);

// The file name of an executable path: the text after the last '/' (or '\\').
std::string ExecutableFileName(const std::string& path);

using WindowEventCallback = std::function<void(OvHwnd window, unsigned int message, uintptr_t wParam, intptr_t lParam)>;

class IWindowSystem {
public:
    virtual ~IWindowSystem() = default;

    // The desktop (the root window on X11).
    virtual OvHwnd DesktopWindow() = 0;
    // Top-level windows in Z order, topmost first.
    virtual std::vector<OvHwnd> TopLevelWindows() = 0;
    virtual bool IsVisible(OvHwnd window) = 0;
    virtual bool IsMinimised(OvHwnd window) = 0;
    // The window carries the child-window style.
    virtual bool HasChildStyle(OvHwnd window) = 0;
    // The window is a tool window (palette, toolbar, menu, splash).
    virtual bool HasToolWindowStyle(OvHwnd window) = 0;
    // The shell's own windows (panels, the desktop), looked up now.
    virtual std::vector<OvHwnd> ShellWindows() = 0;
    // The window is of a shell kind (panel or desktop) whenever it was made.
    virtual bool IsShellWindow(OvHwnd window) = 0;
    // The owning process; 0 when unknown.
    virtual int ProcessId(OvHwnd window) = 0;
    virtual int CurrentProcessId() = 0;
    // The owner (or parent) window; 0 or DesktopWindow() when there is none.
    virtual OvHwnd Owner(OvHwnd window) = 0;
    // Full title and class name (cutting is the caller's business).
    virtual std::string Title(OvHwnd window) = 0;
    virtual std::string ClassName(OvHwnd window) = 0;
    // Full path of the process's executable; "" when it cannot be read.
    virtual std::string ExecutablePath(int processId) = 0;
    // Direct child windows.
    virtual std::vector<OvHwnd> ChildWindows(OvHwnd window) = 0;

    virtual SystemVersion GetSystemVersion() = 0;
    // Major version registered for a COM ProgID; -1 when unknown.
    virtual int ProgIdVersion(const std::string& progId) = 0;

    // Un-minimises without activating. True when the request was taken.
    virtual bool RestoreNoActivate(OvHwnd window) = 0;
    // Raises to the top of the stacking order. True when the request was taken.
    virtual bool Raise(OvHwnd window) = 0;

    // A live scaled copy of source inside destination; null when it cannot be made.
    virtual void* RegisterThumbnail(OvHwnd source, OvHwnd destination) = 0;
    // Unknown or already ended handles are ignored.
    virtual void UnregisterThumbnail(void* thumbnail) = 0;

    // Starts delivering the window's events to callback (on the event thread).
    // 0 on success, else an error code of the window system.
    virtual int Hook(OvHwnd window, WindowEventCallback callback) = 0;
    virtual void Unhook(OvHwnd window) = 0;
};

}  // namespace paneshare
