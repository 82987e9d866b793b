// Window sharing: the list of application windows a user may share, with the programs that are
// marked as exceptions, and small window services around sharing (live thumbnails, bringing a
// window to the top, finding a process's window, watching one window's events).
//
// Binary contract: slots are only ever appended, never reordered or changed, and callbacks
// into a host are opt-in (made only through interfaces the host registered).
//
// Threads: create, use and destroy a manager on one thread (the caller's). The sink's
// OnWindowMessage is called on the library's own event thread (see IPaneShareMgrSink).
#pragma once

#include "common/ovtypes.h"

#include <cstdint>
#include <string>
#include <vector>

#if defined(_WIN32) && defined(PANESHARE_BUILD)
#define PANESHARE_API __declspec(dllexport)
#elif defined(_WIN32)
#define PANESHARE_API __declspec(dllimport)
#else
#define PANESHARE_API __attribute__((visibility("default")))
#endif

// One shareable window. Allocated and owned by the manager.
struct WindowProcessInfo {
    OvHwnd window = 0;
    // The window's title (UTF-8); for a window without one, the file name of its executable.
    std::string title;
    // Full path of the owning executable; "unknown" when it cannot be found.
    std::string filePath;
    // The window's class (the class part of WM_CLASS), at most 254 bytes.
    std::string className;
    // The owning program is on an exception list.
    bool exception = false;
};

// Receives the events of the window hooked with IPaneShareMgr::AddWindow.
//
// On Windows, message, wParam and lParam are the window message as the window procedure
// gets it, on the thread that owns the window (only windows of the calling process can be
// hooked there). On X11, message is the core event type (ConfigureNotify 22, DestroyNotify 17, UnmapNotify 18,
// MapNotify 19, PropertyNotify 28, FocusIn 9, FocusOut 10, VisibilityNotify 15, Expose 12).
// wParam and lParam carry the event's values:
//   ConfigureNotify   wParam = x | y << 16 (16 bits each, two's complement), lParam = width | height << 16
//   PropertyNotify    wParam = the property atom, lParam = the state (0 new value, 1 deleted)
//   VisibilityNotify  wParam = the state (0 unobscured, 1 partly, 2 fully obscured)
//   FocusIn/FocusOut  wParam = the mode, lParam = the detail
//   Expose            wParam = x | y << 16, lParam = width | height << 16
//   others            0, 0
// Called on the library's event thread, never on the caller's; it must not call back into
// the manager and should return quickly.
class PANESHARE_API IPaneShareMgrSink {
public:
    virtual void OnWindowMessage(OvHwnd window, unsigned int message, uintptr_t wParam, intptr_t lParam) = 0;
};

class PANESHARE_API IPaneShareMgr {
public:
    // Rebuilds the list: the desktop entry first (window = the root, "desktop" in all three
    // texts), then every shareable top-level window, topmost first. The vector and its entries
    // stay valid until the next call or the manager's destruction.
    virtual std::vector<WindowProcessInfo*>* RefreshWindowList() = 0;
    // Un-minimises the window without activating it and raises it. True when it worked.
    virtual bool ShowWindowToTop(OvHwnd window) = 0;
    // The topmost visible top-level window of the process; 0 when it has none.
    virtual OvHwnd GetWindowsHandleByProcessid(int processId) = 0;
    // Adds a program (executable file name, any letter case) to the exception list that applies
    // on current systems. A name already there is left as it is. Null is ignored.
    virtual void AddExceptionExeName(const char* exeName) = 0;
    // Adds a program to the exception list that applies on every system. Null is ignored.
    virtual void AddExceptionExeNameForAllOs(const char* exeName) = 0;
    // Shows a live copy of source's content in destination, scaled to fit it (aspect kept,
    // at the top left corner), until unregistered. Null when it cannot be done (no window, no
    // Composite or Render on the server).
    virtual void* RegisterAppThumbnail(OvHwnd source, OvHwnd destination) = 0;
    // Ends a thumbnail; null is ignored.
    virtual void UnregisterAppThumbnail(void* thumbnail) = 0;
    // Starts delivering the window's events to the sink given to CreatePaneShareMgr. One window
    // at a time: hooking another window first unhooks the previous one.
    virtual void AddWindow(OvHwnd window) = 0;
    // Stops delivering the window's events, if it is the hooked one.
    virtual void RemoveWindow(OvHwnd window) = 0;
};

extern "C" {
// A new manager (not a single instance). sink (may be null) replaces the library's sink slot
// that receives the hooked window's events. Null when the manager cannot be made.
PANESHARE_API IPaneShareMgr* CreatePaneShareMgr(IPaneShareMgrSink* sink);
// Destroys a manager made by CreatePaneShareMgr; null is ignored.
PANESHARE_API void DestroyPaneShareMgr(IPaneShareMgr* mgr);
}
