#include "Win32WindowSystem.h"

#include "common/win32.h"

#include <windows.h>
#include <dwmapi.h>

#include <cstdlib>
#include <mutex>

namespace paneshare {

namespace {

HWND ToHwnd(OvHwnd window) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(window)); }
OvHwnd FromHwnd(HWND window) { return static_cast<OvHwnd>(reinterpret_cast<uintptr_t>(window)); }

std::string Narrow(const wchar_t* text, int length) {
    if (length <= 0) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], n, nullptr, nullptr);
    return out;
}

using Orvane::Common::Widen;

// The hooked window: one at a time, as the manager allows. Its callback runs on the window's
// own thread, so the slot is guarded.
std::mutex g_hookMutex;
HWND g_hHookedWindow = nullptr;
WNDPROC g_lpPreviousProc = nullptr;
WindowEventCallback g_hookCallback;

LRESULT CALLBACK HookProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WNDPROC previous;
    WindowEventCallback callback;
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        previous = g_lpPreviousProc;
        if (window == g_hHookedWindow) callback = g_hookCallback;
    }
    if (callback) callback(FromHwnd(window), message, static_cast<uintptr_t>(wParam), static_cast<intptr_t>(lParam));
    return previous ? CallWindowProcW(previous, window, message, wParam, lParam)
                    : DefWindowProcW(window, message, wParam, lParam);
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM list) {
    reinterpret_cast<std::vector<OvHwnd>*>(list)->push_back(FromHwnd(window));
    return TRUE;
}

class Win32WindowSystem : public IWindowSystem {
public:
    OvHwnd DesktopWindow() override { return FromHwnd(GetDesktopWindow()); }

    std::vector<OvHwnd> TopLevelWindows() override {
        std::vector<OvHwnd> windows;
        EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&windows));
        return windows;
    }

    bool IsVisible(OvHwnd window) override { return IsWindowVisible(ToHwnd(window)) != FALSE; }
    bool IsMinimised(OvHwnd window) override { return IsIconic(ToHwnd(window)) != FALSE; }
    bool HasChildStyle(OvHwnd window) override { return (GetWindowLongW(ToHwnd(window), GWL_STYLE) & WS_CHILD) != 0; }
    bool HasToolWindowStyle(OvHwnd window) override {
        return (GetWindowLongW(ToHwnd(window), GWL_EXSTYLE) & WS_EX_TOOLWINDOW) != 0;
    }

    std::vector<OvHwnd> ShellWindows() override {
        const HWND taskbar = FindWindowW(L"Shell_TrayWnd", nullptr);
        // From Vista on the Start button is a top-level window of its own; before, a child of
        // the taskbar.
        const HWND start = VistaOrLater() ? FindWindowW(L"Button", nullptr) : FindWindowExW(taskbar, nullptr, L"Button", nullptr);
        std::vector<OvHwnd> shell;
        for (HWND w : {taskbar, start, FindWindowW(L"Progman", nullptr), FindWindowW(L"DV2ControlHost", nullptr),
                       FindWindowW(L"Desktop User Picture", nullptr)}) {
            if (w) shell.push_back(FromHwnd(w));
        }
        return shell;
    }

    // The five shell windows are looked up once, at construction.
    bool IsShellWindow(OvHwnd) override { return false; }

    int ProcessId(OvHwnd window) override {
        DWORD pid = 0;
        GetWindowThreadProcessId(ToHwnd(window), &pid);
        return static_cast<int>(pid);
    }
    int CurrentProcessId() override { return static_cast<int>(GetCurrentProcessId()); }

    // GetParent: the parent of a child window, the owner of a pop-up; none for an owned
    // overlapped window.
    OvHwnd Owner(OvHwnd window) override { return FromHwnd(GetParent(ToHwnd(window))); }

    std::string Title(OvHwnd window) override {
        const int length = GetWindowTextLengthW(ToHwnd(window));
        if (length <= 0) return std::string();
        std::wstring text(static_cast<size_t>(length) + 1, L'\0');
        const int n = GetWindowTextW(ToHwnd(window), &text[0], length + 1);
        return Narrow(text.data(), n);
    }

    std::string ClassName(OvHwnd window) override {
        wchar_t name[256];
        const int n = GetClassNameW(ToHwnd(window), name, 256);
        return Narrow(name, n);
    }

    std::string ExecutablePath(int processId) override {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(processId));
        if (!process) return std::string();
        wchar_t path[MAX_PATH];
        DWORD size = MAX_PATH;
        std::string result;
        if (QueryFullProcessImageNameW(process, 0, path, &size)) result = Narrow(path, static_cast<int>(size));
        CloseHandle(process);
        return result;
    }

    std::vector<OvHwnd> ChildWindows(OvHwnd window) override {
        std::vector<OvHwnd> children;
        for (HWND child = GetWindow(ToHwnd(window), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
            children.push_back(FromHwnd(child));
        return children;
    }

    SystemVersion GetSystemVersion() override {
        SystemVersion version;
        Orvane::Common::TrueWindowsVersion record;
        if (Orvane::Common::GetTrueWindowsVersion(&record)) {
            version.major = static_cast<int>(record.major);
            version.minor = static_cast<int>(record.minor);
            version.servicePack = record.servicePackMajor;
        }
        return version;
    }

    int ProgIdVersion(const std::string& progId) override {
        // Reading is all that is needed, and all that a user without administrator rights may
        // do under HKEY_CLASSES_ROOT.
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, Widen(progId).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
        HKEY curVer = nullptr;
        const LONG opened = RegOpenKeyExW(key, L"CurVer", 0, KEY_READ, &curVer);
        RegCloseKey(key);
        if (opened != ERROR_SUCCESS) return -1;
        wchar_t value[256] = L"";
        DWORD size = sizeof value - sizeof(wchar_t);
        DWORD type = 0;
        const LONG read = RegQueryValueExW(curVer, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
        RegCloseKey(curVer);
        if (read != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return -1;
        value[size / sizeof(wchar_t)] = L'\0';
        const std::string text = Narrow(value, static_cast<int>(wcslen(value)));
        const size_t dot = text.rfind('.');
        return std::atoi(text.c_str() + (dot == std::string::npos ? 0 : dot + 1));
    }

    bool RestoreNoActivate(OvHwnd window) override {
        ShowWindow(ToHwnd(window), SW_SHOWNOACTIVATE);
        return true;
    }
    bool Raise(OvHwnd window) override { return BringWindowToTop(ToHwnd(window)) != FALSE; }

    void* RegisterThumbnail(OvHwnd source, OvHwnd destination) override {
        HTHUMBNAIL thumbnail = nullptr;
        if (FAILED(DwmRegisterThumbnail(ToHwnd(destination), ToHwnd(source), &thumbnail)) || !thumbnail) return nullptr;
        RECT client = {};
        GetClientRect(ToHwnd(source), &client);
        DWM_THUMBNAIL_PROPERTIES properties = {};
        properties.dwFlags = DWM_TNP_RECTDESTINATION | DWM_TNP_OPACITY | DWM_TNP_VISIBLE | DWM_TNP_SOURCECLIENTAREAONLY;
        properties.rcDestination = {0, 0, client.right - client.left, client.bottom - client.top};
        properties.opacity = 255;
        properties.fVisible = TRUE;
        properties.fSourceClientAreaOnly = TRUE;
        DwmUpdateThumbnailProperties(thumbnail, &properties);
        return reinterpret_cast<void*>(thumbnail);
    }

    void UnregisterThumbnail(void* thumbnail) override {
        DwmUnregisterThumbnail(reinterpret_cast<HTHUMBNAIL>(thumbnail));
    }

    int Hook(OvHwnd window, WindowEventCallback callback) override {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        g_hookCallback = std::move(callback);
        g_hHookedWindow = ToHwnd(window);
        SetLastError(0);
        const LONG_PTR previous = SetWindowLongPtrW(ToHwnd(window), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&HookProc));
        if (previous == 0) {
            const DWORD error = GetLastError();
            g_hHookedWindow = nullptr;
            g_hookCallback = nullptr;
            return error != 0 ? static_cast<int>(error) : -1;
        }
        g_lpPreviousProc = reinterpret_cast<WNDPROC>(previous);
        return 0;
    }

    void Unhook(OvHwnd window) override {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        if (ToHwnd(window) != g_hHookedWindow || !g_lpPreviousProc) return;
        SetWindowLongPtrW(ToHwnd(window), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_lpPreviousProc));
        g_hHookedWindow = nullptr;
        g_hookCallback = nullptr;
        // The previous procedure stays in the slot: a message already inside HookProc on the
        // window's thread still passes it on.
    }

private:
    bool VistaOrLater() {
        const SystemVersion v = GetSystemVersion();
        return VersionAtLeast(v, 6, 0);
    }
};

}  // namespace

std::unique_ptr<IWindowSystem> CreateWin32WindowSystem() { return std::unique_ptr<IWindowSystem>(new Win32WindowSystem()); }

}  // namespace paneshare
