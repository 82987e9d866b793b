#include "PaneShareMgr.h"

#include "common/slogger.h"
#include "common/util.h"

#include <algorithm>
#include <atomic>

namespace paneshare {

namespace {

std::atomic<IPaneShareMgrSink*> g_lpSink{nullptr};

const char kDesktop[] = "desktop";
const char kUnknown[] = "unknown";
// The program whose windows are never listed (exact letter case).
const char kSkippedExe[] = "MicrosoftEdge.exe";
// The program whose shareable surfaces are its leaf child windows of one class.
const char kChildListedExe[] = "kavrinTool.exe";
const char kChildListedClass[] = "AfxWnd100u";
// ProgID versions up to this one (Office 2010) are not exceptions.
const int kLastCapturableOfficeVersion = 14;

}  // namespace

void SetGlobalSink(IPaneShareMgrSink* sink) { g_lpSink.store(sink); }
IPaneShareMgrSink* GetGlobalSink() { return g_lpSink.load(); }

PaneShareMgr::PaneShareMgr(std::unique_ptr<IWindowSystem> windowSystem)
    : m_lpWindowSystem(std::move(windowSystem)) {
    GetTaskManAndStartMenuHandle();

    m_mapWin8Exception = {
        {"WINWORD.EXE", "Word.Application"},
        {"EXCEL.EXE", "Excel.Application"},
        {"POWERPNT.EXE", "PowerPoint.Application"},
        {"VPREVIEW.EXE", "Visio.Application"},
        {"MSACCESS.EXE", "Access.Application"},
        {"MSPUB.EXE", "Publisher.Application"},
        {"OUTLOOK.EXE", "Outlook.Application"},
        {"APPLICATIONFRAMEHOST.EXE", ""},
        {"CHROME.EXE", ""},
        {"QQBROWSER.EXE", ""},
    };
    m_mapAllOsException = {{"QQ.EXE", ""}};

    m_version = m_lpWindowSystem->GetSystemVersion();
    m_bWindows8OrGreater = VersionAtLeast(m_version, 6, 2, 0);
    OV_LOG(m_bWindows8OrGreater ? "os IsWindows8OrGreater" : "os not IsWindows8OrGreater");
}

PaneShareMgr::~PaneShareMgr() {
    if (m_hHookedWindow != 0) m_lpWindowSystem->Unhook(m_hHookedWindow);
    RomeveAllWindowProcessInfo();
    // The backend ends its thumbnails and its event thread when it goes.
    m_lpWindowSystem.reset();
}

void PaneShareMgr::GetTaskManAndStartMenuHandle() { m_vecShellWindows = m_lpWindowSystem->ShellWindows(); }

bool PaneShareMgr::IsExcludeHwnd(OvHwnd window) {
    if (std::find(m_vecShellWindows.begin(), m_vecShellWindows.end(), window) != m_vecShellWindows.end())
        return true;
    // A panel started after construction is still the shell's.
    return m_lpWindowSystem->IsShellWindow(window);
}

void PaneShareMgr::RomeveAllWindowProcessInfo() {
    for (WindowProcessInfo* info : m_vecWindowList) delete info;
    m_vecWindowList.clear();
}

bool PaneShareMgr::IsSkippedToolWindow(OvHwnd window, const std::string& title) {
    // A tool window with a title is listed, one without is not.
    return m_lpWindowSystem->HasToolWindowStyle(window) && title.empty();
}

std::vector<WindowProcessInfo*>* PaneShareMgr::RefreshWindowList() {
    RomeveAllWindowProcessInfo();

    IWindowSystem& ws = *m_lpWindowSystem;
    const OvHwnd desktop = ws.DesktopWindow();
    WindowProcessInfo* desk = new WindowProcessInfo;
    desk->window = desktop;
    desk->title = desk->filePath = desk->className = kDesktop;
    desk->exception = false;
    m_vecWindowList.push_back(desk);

    const int ownProcess = ws.CurrentProcessId();
    for (OvHwnd window : ws.TopLevelWindows()) {
        if (!ws.IsVisible(window)) continue;
        if (IsExcludeHwnd(window)) continue;
        if (ws.HasChildStyle(window)) continue;
        std::string title = CutUtf8(ws.Title(window), kTitleBufferSize - 1);
        if (IsSkippedToolWindow(window, title)) continue;
        const int pid = ws.ProcessId(window);
        if (pid != 0 && pid == ownProcess) continue;
        const OvHwnd owner = ws.Owner(window);
        if (owner != 0 && owner != desktop) continue;

        std::string path = pid != 0 ? ws.ExecutablePath(pid) : std::string();
        if (path.empty()) path = kUnknown;
        const std::string exe = ExecutableFileName(path);
        if (exe == kSkippedExe) continue;
        if (title.empty()) title = exe;
        const bool exception = HasException(Orvane::Common::upperCase(exe));

        if (exe == kChildListedExe) {
            const std::string parentClass = CutUtf8(ws.ClassName(window), kClassBufferSize - 1);
            for (OvHwnd child : ws.ChildWindows(window)) {
                if (ws.ClassName(child) != kChildListedClass) continue;
                if (!ws.ChildWindows(child).empty()) continue;
                WindowProcessInfo* info = new WindowProcessInfo;
                info->window = child;
                info->title = title;
                info->filePath = path;
                info->className = parentClass;
                info->exception = exception;
                m_vecWindowList.push_back(info);
            }
            continue;
        }

        WindowProcessInfo* info = new WindowProcessInfo;
        info->window = window;
        info->title = std::move(title);
        info->filePath = std::move(path);
        info->className = CutUtf8(ws.ClassName(window), kClassBufferSize - 1);
        info->exception = exception;
        m_vecWindowList.push_back(info);
    }
    return &m_vecWindowList;
}

bool PaneShareMgr::HasException(const std::string& upperExeName) {
    // On XP no window can be captured cleanly: all are exceptions.
    if (VersionAtLeast(m_version, 5, 1) && !VersionAtLeast(m_version, 6, 0)) return true;
    if (m_mapAllOsException.count(upperExeName)) return true;
    if (!m_bWindows8OrGreater) return false;
    const auto it = m_mapWin8Exception.find(upperExeName);
    if (it == m_mapWin8Exception.end()) return false;
    if (it->second.empty()) return true;
    const int version = GetVersion(it->second);
    return version > kLastCapturableOfficeVersion || version == -1;
}

int PaneShareMgr::GetVersion(const std::string& progId) {
    const int version = m_lpWindowSystem->ProgIdVersion(progId);
    if (version != -1) OV_LOG("exe = %s version = %d", progId.c_str(), version);
    return version;
}

bool PaneShareMgr::ShowWindowToTop(OvHwnd window) {
    if (window == 0 || window == m_lpWindowSystem->DesktopWindow()) return false;
    if (m_lpWindowSystem->IsMinimised(window)) m_lpWindowSystem->RestoreNoActivate(window);
    return m_lpWindowSystem->Raise(window);
}

OvHwnd PaneShareMgr::GetWindowsHandleByProcessid(int processId) {
    // A window whose owner is unknown belongs to no process.
    if (processId <= 0) return 0;
    for (OvHwnd window : m_lpWindowSystem->TopLevelWindows()) {
        if (m_lpWindowSystem->IsVisible(window) && m_lpWindowSystem->ProcessId(window) == processId)
            return window;
    }
    return 0;
}

void PaneShareMgr::AddExceptionExeName(const char* exeName) {
    if (exeName == nullptr) return;
    m_mapWin8Exception.emplace(Orvane::Common::upperCase(exeName), std::string());
}

void PaneShareMgr::AddExceptionExeNameForAllOs(const char* exeName) {
    if (exeName == nullptr) return;
    m_mapAllOsException.emplace(Orvane::Common::upperCase(exeName), std::string());
}

void* PaneShareMgr::RegisterAppThumbnail(OvHwnd source, OvHwnd destination) {
    if (source == 0 || destination == 0) return nullptr;
    return m_lpWindowSystem->RegisterThumbnail(source, destination);
}

void PaneShareMgr::UnregisterAppThumbnail(void* thumbnail) {
    if (thumbnail != nullptr) m_lpWindowSystem->UnregisterThumbnail(thumbnail);
}

void PaneShareMgr::AddWindow(OvHwnd window) {
    // One hooked window at a time: hooking the same window again changes nothing, hooking
    // another one lets go of the first.
    if (window == m_hHookedWindow && window != 0) return;
    if (m_hHookedWindow != 0) {
        m_lpWindowSystem->Unhook(m_hHookedWindow);
        m_hHookedWindow = 0;
    }
    const int error = m_lpWindowSystem->Hook(window, [](OvHwnd w, unsigned int message, uintptr_t wParam, intptr_t lParam) {
        if (IPaneShareMgrSink* sink = GetGlobalSink()) sink->OnWindowMessage(w, message, wParam, lParam);
    });
    if (error != 0) {
        OV_LOG("AddWindow Error = %d", error);
        return;
    }
    m_hHookedWindow = window;
}

void PaneShareMgr::RemoveWindow(OvHwnd window) {
    if (window == 0 || window != m_hHookedWindow) return;
    m_lpWindowSystem->Unhook(window);
    m_hHookedWindow = 0;
}

}  // namespace paneshare
