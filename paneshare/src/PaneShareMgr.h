// The window-sharing manager: the shareable-window list with its exclusion and exception
// rules, over an IWindowSystem.
//
// Threads: every member on one thread (the caller's). Hooked-window events reach the sink in
// the library's sink slot on the backend's event thread.
#pragma once

#include "paneshare/IPaneShareMgr.h"
#include "WindowSystem.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace paneshare {

// The sink slot that hooked-window events go to; every CreatePaneShareMgr replaces it.
void SetGlobalSink(IPaneShareMgrSink* sink);
IPaneShareMgrSink* GetGlobalSink();

// A title is read into a buffer of this many bytes, its terminator included.
enum { kTitleBufferSize = 2600, kClassBufferSize = 255 };

class PaneShareMgr : public IPaneShareMgr {
public:
    explicit PaneShareMgr(std::unique_ptr<IWindowSystem> windowSystem);
    virtual ~PaneShareMgr();
    PaneShareMgr(const PaneShareMgr&) = delete;
    PaneShareMgr& operator=(const PaneShareMgr&) = delete;

    std::vector<WindowProcessInfo*>* RefreshWindowList() override;
    bool ShowWindowToTop(OvHwnd window) override;
    OvHwnd GetWindowsHandleByProcessid(int processId) override;
    void AddExceptionExeName(const char* exeName) override;
    void AddExceptionExeNameForAllOs(const char* exeName) override;
    void* RegisterAppThumbnail(OvHwnd source, OvHwnd destination) override;
    void UnregisterAppThumbnail(void* thumbnail) override;
    void AddWindow(OvHwnd window) override;
    void RemoveWindow(OvHwnd window) override;

protected:
    void GetTaskManAndStartMenuHandle();
    bool IsExcludeHwnd(OvHwnd window);
    // upperExeName: the executable's file name, upper-cased.
    bool HasException(const std::string& upperExeName);
    int GetVersion(const std::string& progId);
    void RomeveAllWindowProcessInfo();

    // The tool-window rule: true when a tool window is not listed.
    bool IsSkippedToolWindow(OvHwnd window, const std::string& title);

    std::unique_ptr<IWindowSystem> m_lpWindowSystem;
    std::vector<WindowProcessInfo*> m_vecWindowList;
    std::vector<OvHwnd> m_vecShellWindows;
    std::map<std::string, std::string> m_mapWin8Exception;
    std::map<std::string, std::string> m_mapAllOsException;
    SystemVersion m_version;
    bool m_bWindows8OrGreater = false;
    OvHwnd m_hHookedWindow = 0;
};

}  // namespace paneshare
