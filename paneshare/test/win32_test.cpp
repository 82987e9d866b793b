// The window list and services of PaneShare over Win32, against windows made by a helper
// process (run under wine on the build machine; where wine lacks a part of Windows, the test
// says so and checks what wine offers).
#include <windows.h>
#include <dwmapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "paneshare/IPaneShareMgr.h"

namespace {

const std::string kTestWin = TESTWIN_PATH;

bool RunningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

template <class Cond>
bool WaitUntil(Cond cond, int timeoutMs = 10000) {
    for (DWORD start = GetTickCount(); !cond(); Sleep(20)) {
        if (GetTickCount() - start > static_cast<DWORD>(timeoutMs)) return false;
    }
    return true;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

HWND ToHwnd(OvHwnd w) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(w)); }
OvHwnd FromHwnd(HWND w) { return static_cast<OvHwnd>(reinterpret_cast<uintptr_t>(w)); }

const WindowProcessInfo* Find(std::vector<WindowProcessInfo*>* list, OvHwnd window) {
    for (WindowProcessInfo* info : *list)
        if (info->window == window) return info;
    return nullptr;
}

int IndexOf(std::vector<WindowProcessInfo*>* list, OvHwnd window) {
    for (size_t i = 0; i < list->size(); ++i)
        if ((*list)[i]->window == window) return static_cast<int>(i);
    return -1;
}

std::string TempFolder(const std::string& name) {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string path = std::string(temp) + name + "-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
}

// The helper program in a process of its own; its windows by name.
class Helper {
public:
    ~Helper() {
        if (m_stdin) CloseHandle(m_stdin);  // the helper ends when its input does
        if (m_process) {
            if (WaitForSingleObject(m_process, 5000) != WAIT_OBJECT_0) TerminateProcess(m_process, 1);
            CloseHandle(m_process);
        }
    }

    bool Start(const std::vector<std::string>& specs, const std::string& program = kTestWin) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE outRead, outWrite, inRead;
        if (!CreatePipe(&outRead, &outWrite, &inherit, 0) || !CreatePipe(&inRead, &m_stdin, &inherit, 0)) return false;
        SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(m_stdin, HANDLE_FLAG_INHERIT, 0);
        std::string command = "\"" + program + "\"";
        for (const std::string& s : specs) command += " \"" + s + "\"";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = inRead;
        startup.hStdOutput = outWrite;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION process = {};
        const BOOL started =
            CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
        CloseHandle(outWrite);
        CloseHandle(inRead);
        if (!started) {
            CloseHandle(outRead);
            return false;
        }
        CloseHandle(process.hThread);
        m_process = process.hProcess;
        m_pid = process.dwProcessId;

        // Lines until "ready" (the pipe ends early when the helper fails). Meanwhile this
        // thread's own windows keep answering: showing the helper's windows talks to them.
        std::string text;
        char buffer[512];
        for (DWORD start = GetTickCount(); text.find("ready\n") == std::string::npos;) {
            DWORD available = 0, n = 0;
            if (!PeekNamedPipe(outRead, nullptr, 0, nullptr, &available, nullptr)) break;
            if (available > 0) {
                if (!ReadFile(outRead, buffer, sizeof buffer, &n, nullptr) || n == 0) break;
                for (DWORD i = 0; i < n; ++i)
                    if (buffer[i] != '\r') text += buffer[i];  // text-mode output ends lines with CR LF
                continue;
            }
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
            if (GetTickCount() - start > 20000) break;
            Sleep(10);
        }
        CloseHandle(outRead);
        size_t start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            const std::string line = text.substr(start, end - start);
            const size_t space = line.find(' ');
            if (space != std::string::npos) m_windows[line.substr(0, space)] = std::stoul(line.substr(space + 1), nullptr, 16);
        }
        if (text.find("ready\n") != std::string::npos) return true;
        std::fprintf(stderr, "the helper did not get ready; it said: %s\n", text.c_str());
        return false;
    }

    OvHwnd operator[](const std::string& name) { return m_windows[name]; }
    DWORD pid() const { return m_pid; }

private:
    HANDLE m_process = nullptr;
    HANDLE m_stdin = nullptr;
    DWORD m_pid = 0;
    std::map<std::string, OvHwnd> m_windows;
};

// A window of the test process itself, with a procedure that answers 77 to WM_USER + 5.
LRESULT CALLBACK OwnProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_USER + 5) return 77;
    return DefWindowProcW(w, message, wParam, lParam);
}

HWND MakeOwnWindow(const wchar_t* title) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = OwnProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"PaneShareOwnTestWindow";
    RegisterClassW(&wc);
    HWND w = CreateWindowExW(0, wc.lpszClassName, title, WS_OVERLAPPEDWINDOW, 600, 50, 200, 150, nullptr, nullptr,
                             wc.hInstance, nullptr);
    ShowWindow(w, SW_SHOWNORMAL);
    return w;
}

class PaneShareWindows : public ::testing::Test {
protected:
    void SetUp() override { m_mgr = CreatePaneShareMgr(nullptr); ASSERT_NE(m_mgr, nullptr); }
    void TearDown() override { DestroyPaneShareMgr(m_mgr); }
    IPaneShareMgr* m_mgr = nullptr;
};

TEST_F(PaneShareWindows, ListShowsApplicationWindowsOnly) {
    const HWND own = MakeOwnWindow(L"Our own window");
    Helper h;
    ASSERT_TRUE(h.Start({
        "A:title=Alpha;class=AlphaClass",
        "B:title=Beta \xc3\xa9t\xc3\xa9;class=BetaClass",
        "NoTitle:class=NoTitleClass",
        "Tool:tool",
        "ToolT:tool;title=Tools",
        "Owned:owner=A;title=Dialog of Alpha",
        "Min:minimised;title=Minimised",
        "Hidden:hidden;title=Hidden",
        "Child:child;title=Child of the desktop",
    }));

    std::vector<WindowProcessInfo*>* list = m_mgr->RefreshWindowList();
    const WindowProcessInfo& desk = *(*list)[0];
    EXPECT_EQ(desk.window, FromHwnd(GetDesktopWindow()));
    EXPECT_EQ(desk.title, "desktop");
    EXPECT_EQ(desk.filePath, "desktop");
    EXPECT_EQ(desk.className, "desktop");
    EXPECT_FALSE(desk.exception);

    for (const char* n : {"A", "B", "NoTitle", "ToolT", "Min"}) {
        const WindowProcessInfo* info = Find(list, h[n]);
        ASSERT_NE(info, nullptr) << n << " is not listed";
        EXPECT_TRUE(EndsWith(info->filePath, "\\paneshare_testwin.exe")) << info->filePath;
        EXPECT_FALSE(info->exception) << n;
    }
    for (const char* n : {"Tool", "Owned", "Hidden", "Child"}) EXPECT_EQ(Find(list, h[n]), nullptr) << n;
    // The shell's own windows, where this system has them.
    for (const wchar_t* cls : {L"Shell_TrayWnd", L"Progman", L"DV2ControlHost", L"Desktop User Picture"}) {
        if (HWND shell = FindWindowW(cls, nullptr)) {
            EXPECT_EQ(Find(list, FromHwnd(shell)), nullptr);
        }
    }
    EXPECT_EQ(Find(list, FromHwnd(own)), nullptr);

    EXPECT_EQ(Find(list, h["A"])->title, "Alpha");
    EXPECT_EQ(Find(list, h["A"])->className, "AlphaClass");
    EXPECT_EQ(Find(list, h["B"])->title, "Beta \xc3\xa9t\xc3\xa9");
    EXPECT_EQ(Find(list, h["NoTitle"])->title, "paneshare_testwin.exe");
    EXPECT_EQ(Find(list, h["ToolT"])->title, "Tools");
    // Topmost first: each window came up above the one before.
    EXPECT_LT(IndexOf(list, h["B"]), IndexOf(list, h["A"]));
    EXPECT_LT(IndexOf(list, h["NoTitle"]), IndexOf(list, h["B"]));

    // The window of a process: its topmost visible one; none for a process without windows.
    const OvHwnd first = m_mgr->GetWindowsHandleByProcessid(static_cast<int>(h.pid()));
    DWORD owner = 0;
    GetWindowThreadProcessId(ToHwnd(first), &owner);
    EXPECT_EQ(owner, h.pid());
    Helper hidden;
    ASSERT_TRUE(hidden.Start({"Only:hidden;title=nothing shown"}));
    EXPECT_EQ(m_mgr->GetWindowsHandleByProcessid(static_cast<int>(hidden.pid())), 0u);

    // Exceptions for every system apply to the upper-cased file name.
    m_mgr->AddExceptionExeNameForAllOs("PaneShare_TestWin.exe");
    EXPECT_TRUE(Find(m_mgr->RefreshWindowList(), h["A"])->exception);
    DestroyWindow(own);
}

TEST_F(PaneShareWindows, ProgramsNamedInTheRulesByTheirFileName) {
    const std::string dir = TempFolder("paneshare-progs");
    auto copy = [&](const std::string& name) {
        const std::string target = dir + "\\" + name;
        CopyFileA(kTestWin.c_str(), target.c_str(), FALSE);
        return target;
    };
    Helper kavrin, edge, edgeOtherCase;
    ASSERT_TRUE(kavrin.Start({"K:title=Kavrin board;class=KavrinMain;leaf=AfxWnd100u;leaf=AfxWnd100u;"
                              "branch=AfxWnd100u;leaf=OtherClass"},
                             copy("kavrinTool.exe")));
    ASSERT_TRUE(edge.Start({"E:title=Edge"}, copy("MicrosoftEdge.exe")));
    ASSERT_TRUE(edgeOtherCase.Start({"E:title=edge"}, copy("microsoftedge2.exe")));

    std::vector<WindowProcessInfo*>* list = m_mgr->RefreshWindowList();
    EXPECT_EQ(Find(list, edge["E"]), nullptr);
    EXPECT_NE(Find(list, edgeOtherCase["E"]), nullptr);
    EXPECT_EQ(Find(list, kavrin["K"]), nullptr);
    EXPECT_EQ(Find(list, kavrin["K.branch0"]), nullptr);
    EXPECT_EQ(Find(list, kavrin["K.leaf2"]), nullptr);
    for (const char* leaf : {"K.leaf0", "K.leaf1"}) {
        const WindowProcessInfo* info = Find(list, kavrin[leaf]);
        ASSERT_NE(info, nullptr) << leaf;
        EXPECT_EQ(info->title, "Kavrin board");
        EXPECT_EQ(info->className, "KavrinMain");
        EXPECT_TRUE(EndsWith(info->filePath, "\\kavrinTool.exe")) << info->filePath;
    }
}

TEST_F(PaneShareWindows, ShowWindowToTopRestoresAndRaises) {
    Helper h;
    ASSERT_TRUE(h.Start({"Low:title=Low", "Min:minimised;title=Min", "High:title=High"}));
    ASSERT_TRUE(IsIconic(ToHwnd(h["Min"])));
    EXPECT_TRUE(m_mgr->ShowWindowToTop(h["Min"]));
    EXPECT_TRUE(WaitUntil([&] { return !IsIconic(ToHwnd(h["Min"])); })) << "still minimised";
    EXPECT_TRUE(m_mgr->ShowWindowToTop(h["Low"]));
    std::vector<WindowProcessInfo*>* list = m_mgr->RefreshWindowList();
    EXPECT_LT(IndexOf(list, h["Low"]), IndexOf(list, h["High"]));
    EXPECT_FALSE(m_mgr->ShowWindowToTop(0));
}

TEST_F(PaneShareWindows, ThumbnailsComeFromTheDesktopWindowManager) {
    Helper h;
    ASSERT_TRUE(h.Start({"Source:title=Source"}));
    const HWND own = MakeOwnWindow(L"Thumbnail target");
    BOOL composition = FALSE;
    if (FAILED(DwmIsCompositionEnabled(&composition))) composition = FALSE;
    void* thumbnail = m_mgr->RegisterAppThumbnail(h["Source"], FromHwnd(own));
    if (composition) {
        EXPECT_NE(thumbnail, nullptr);
    } else {
        // As on X11 without Composite: no thumbnail, and the caller is told so.
        std::printf("no Desktop Window Manager composition here%s: thumbnails answer null\n",
                    RunningOnWine() ? " (wine has none)" : "");
        EXPECT_EQ(thumbnail, nullptr);
    }
    m_mgr->UnregisterAppThumbnail(thumbnail);
    m_mgr->UnregisterAppThumbnail(nullptr);
    EXPECT_EQ(m_mgr->RegisterAppThumbnail(0, FromHwnd(own)), nullptr);
    DestroyWindow(own);
}

struct RecordingSink : IPaneShareMgrSink {
    void OnWindowMessage(OvHwnd window, unsigned int message, uintptr_t wParam, intptr_t lParam) override {
        if (message == WM_USER + 5) seen.push_back({window, wParam, lParam});
    }
    struct Seen {
        OvHwnd window;
        uintptr_t wParam;
        intptr_t lParam;
    };
    std::vector<Seen> seen;
};

TEST(PaneShareWindowsHook, HookedWindowMessagesReachTheSinkAndTheWindow) {
    RecordingSink sink;
    IPaneShareMgr* mgr = CreatePaneShareMgr(&sink);
    const HWND own = MakeOwnWindow(L"Hooked");
    mgr->AddWindow(FromHwnd(own));
    EXPECT_EQ(SendMessageW(own, WM_USER + 5, 11, 22), 77);  // the window's own procedure still answers
    ASSERT_EQ(sink.seen.size(), 1u);
    EXPECT_EQ(sink.seen[0].window, FromHwnd(own));
    EXPECT_EQ(sink.seen[0].wParam, 11u);
    EXPECT_EQ(sink.seen[0].lParam, 22);

    mgr->RemoveWindow(FromHwnd(own));
    EXPECT_EQ(SendMessageW(own, WM_USER + 5, 1, 2), 77);
    EXPECT_EQ(sink.seen.size(), 1u);
    DestroyWindow(own);
    DestroyPaneShareMgr(mgr);
}

// The Office rule reads HKEY_CLASSES_ROOT\<ProgID>\CurVer on Windows 8 and later. Under wine
// (which reports Windows 7 unless told otherwise) a copy of this program runs as Windows 10
// through wine's per-program version setting.
TEST_F(PaneShareWindows, OfficeExceptionsFollowTheRegisteredVersionOnWindows8) {
    OSVERSIONINFOA v = {};
    v.dwOSVersionInfoSize = sizeof v;
    GetVersionExA(&v);
    if (v.dwMajorVersion < 6 || (v.dwMajorVersion == 6 && v.dwMinorVersion < 2)) {
        if (!RunningOnWine()) GTEST_SKIP() << "needs Windows 8 or later";
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, sizeof self);
        // Next to this program, where the libraries it needs are.
        std::string copy = self;
        copy = copy.substr(0, copy.find_last_of("\\/") + 1) + "paneshare_win8_check.exe";
        ASSERT_TRUE(CopyFileA(self, copy.c_str(), FALSE));
        HKEY key;
        const char* appKey = "Software\\Wine\\AppDefaults\\paneshare_win8_check.exe";
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, appKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>("win10"), 6);
        RegCloseKey(key);
        std::string command = "\"" + copy + "\" --gtest_filter=PaneShareWindows.OfficeExceptions*";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
        DWORD code = 99;
        if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        RegDeleteKeyA(HKEY_CURRENT_USER, appKey);
        DeleteFileA(copy.c_str());
        EXPECT_EQ(code, 0u) << "the Windows 10 run failed";
        return;
    }

    const std::string dir = TempFolder("paneshare-office");
    auto start = [&](Helper& h, const char* exe) {
        const std::string target = dir + "\\" + exe;
        CopyFileA(kTestWin.c_str(), target.c_str(), FALSE);
        return h.Start({"W:title=Document"}, target);
    };
    auto setCurVer = [](const char* value) {
        HKEY key;
        RegCreateKeyExA(HKEY_CLASSES_ROOT, "Word.Application\\CurVer", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), static_cast<DWORD>(strlen(value) + 1));
        RegCloseKey(key);
    };
    Helper word, chrome, qq, other;
    ASSERT_TRUE(start(word, "WINWORD.EXE"));
    ASSERT_TRUE(start(chrome, "chrome.exe"));
    ASSERT_TRUE(start(qq, "QQ.exe"));
    ASSERT_TRUE(start(other, "notes.exe"));
    DestroyPaneShareMgr(m_mgr);
    m_mgr = CreatePaneShareMgr(nullptr);  // made on this system version

    setCurVer("Word.Application.16");
    std::vector<WindowProcessInfo*>* list = m_mgr->RefreshWindowList();
    EXPECT_TRUE(Find(list, word["W"])->exception);
    EXPECT_TRUE(Find(list, chrome["W"])->exception);
    EXPECT_TRUE(Find(list, qq["W"])->exception);
    EXPECT_FALSE(Find(list, other["W"])->exception);

    setCurVer("Word.Application.14");  // Office 2010 captures cleanly
    EXPECT_FALSE(Find(m_mgr->RefreshWindowList(), word["W"])->exception);
    RegDeleteKeyA(HKEY_CLASSES_ROOT, "Word.Application\\CurVer");
    RegDeleteKeyA(HKEY_CLASSES_ROOT, "Word.Application");
    EXPECT_TRUE(Find(m_mgr->RefreshWindowList(), word["W"])->exception);  // unknown version

    m_mgr->AddExceptionExeName("notes.exe");
    m_mgr->AddExceptionExeName("notes.exe");
    EXPECT_TRUE(Find(m_mgr->RefreshWindowList(), other["W"])->exception);
}

}  // namespace
