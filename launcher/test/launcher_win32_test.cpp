// The launcher program and its Windows backend, run for real (under wine on the build
// machine): the version probe, starting bin/nw.exe, a missing program, and the message box
// of an older system.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "launcher_flow.h"
#include "version_code.h"

namespace launcher {
namespace {

// Wine's ntdll exports its version; Windows' does not.
bool RunningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

template <class Cond>
bool WaitUntil(Cond cond, int timeoutMs) {
    for (DWORD start = GetTickCount(); !cond(); Sleep(20)) {
        if (GetTickCount() - start > static_cast<DWORD>(timeoutMs)) return false;
    }
    return true;
}

// A fresh folder under the temporary folder with bin/nw.exe (the test program) in it, or
// without when program is false. Removed with what the test left in it.
class LauncherFolder {
public:
    explicit LauncherFolder(bool program) {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        m_path = std::string(temp) + "launcher-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                 std::to_string(s_count++);
        CreateDirectoryA(m_path.c_str(), nullptr);
        if (program) {
            CreateDirectoryA((m_path + "\\bin").c_str(), nullptr);
            m_copied = CopyFileA(NW_PROGRAM, (m_path + "\\bin\\nw.exe").c_str(), FALSE) != 0;
        }
    }
    ~LauncherFolder() {
        for (const char* f : {"\\bin\\nw.exe", "\\started", "\\started.tmp"}) DeleteFileA((m_path + f).c_str());
        RemoveDirectoryA((m_path + "\\bin").c_str());
        RemoveDirectoryA(m_path.c_str());
    }
    const std::string& path() const { return m_path; }
    std::string file(const char* name) const { return m_path + "\\" + name; }
    bool copied() const { return m_copied; }

private:
    static int s_count;
    std::string m_path;
    bool m_copied = false;
};
int LauncherFolder::s_count = 0;

// Starts the launcher in folder with LAUNCH_MARK in its environment. The process handle is
// the caller's to close.
HANDLE StartLauncher(const std::string& folder) {
    SetEnvironmentVariableA("LAUNCH_MARK", "from-the-launcher");
    std::string command = std::string("\"") + LAUNCHER_PROGRAM + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    const BOOL ok = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                                   &process);
    SetEnvironmentVariableA("LAUNCH_MARK", nullptr);
    if (!ok) {
        ADD_FAILURE() << "cannot start the launcher, error " << GetLastError();
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Waits for the launcher to end; its exit code, or -1 when it did not end in time.
long WaitForExit(HANDLE process, int timeoutMs = 30000) {
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process, 99);
        CloseHandle(process);
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return static_cast<long>(code);
}

void EndProcess(DWORD pid) {
    if (HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid)) {
        TerminateProcess(p, 0);
        WaitForSingleObject(p, 10000);
        CloseHandle(p);
    }
}

TEST(LauncherWindows, VersionProbeAnswersAndAllowsTheStart) {
    const VersionRecords v = MakeSystemPlatform()->ProbeVersion();
    ASSERT_TRUE(v.basicAnswered);
    EXPECT_EQ(v.basic.platformId, 2u);
    EXPECT_TRUE(v.trueAnswered) << "RtlGetVersion did not answer";
    EXPECT_TRUE(v.extendedAnswered);
    const int code = VersionCode(v);
    std::printf("system %u.%u product type %u: version code %d%s\n", v.trueVersion.major, v.trueVersion.minor,
                v.trueVersion.productType, code, RunningOnWine() ? " (wine's configured version)" : "");
    EXPECT_GT(code, kLastUnsupportedCode);
}

TEST(LauncherWindows, ManifestAsksForAdministratorAndTheIconHasEightSizes) {
    HMODULE module = LoadLibraryExA(LAUNCHER_PROGRAM, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    HRSRC manifest = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    ASSERT_NE(manifest, nullptr);
    const std::string xml(static_cast<const char*>(LockResource(LoadResource(module, manifest))),
                          SizeofResource(module, manifest));
    EXPECT_NE(xml.find("level=\"requireAdministrator\" uiAccess=\"false\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos) << xml;
    HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
    ASSERT_NE(group, nullptr);
    const WORD* directory = static_cast<const WORD*>(LockResource(LoadResource(module, group)));
    EXPECT_EQ(directory[2], 8);  // reserved, type, number of images
    FreeLibrary(module);
}

TEST(LauncherWindows, StartsTheProgramAndExitsAtOnceLeavingItRunning) {
    LauncherFolder folder(true);
    ASSERT_TRUE(folder.copied());
    EXPECT_EQ(WaitForExit(StartLauncher(folder.path())), 0);

    ASSERT_TRUE(WaitUntil([&] { return FileExists(folder.file("started")); }, 20000)) << "bin\\nw.exe did not run";
    const std::string text = ReadFile(folder.file("started"));
    const size_t a = text.find('|'), b = text.rfind('|');
    ASSERT_TRUE(a != std::string::npos && b != a) << text;
    const DWORD pid = std::stoul(text.substr(0, a));
    EXPECT_EQ(lstrcmpiA(text.substr(a + 1, b - a - 1).c_str(), folder.path().c_str()), 0) << text;  // its directory
    EXPECT_EQ(text.substr(b + 1), "from-the-launcher");                                           // its environment
    // Still running after the launcher has gone: the launcher did not wait for it.
    HANDLE program = OpenProcess(SYNCHRONIZE, FALSE, pid);
    ASSERT_NE(program, nullptr);
    EXPECT_EQ(WaitForSingleObject(program, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(program);
    EndProcess(pid);
}

TEST(LauncherWindows, MissingProgramExitsQuietly) {
    LauncherFolder folder(false);
    EXPECT_EQ(WaitForExit(StartLauncher(folder.path())), 0);
    // No window was left behind by the shell's second try either.
    EXPECT_EQ(FindWindowW(L"#32770", nullptr), nullptr);

    std::unique_ptr<ILauncherPlatform> platform = MakeSystemPlatform();
    EXPECT_FALSE(platform->StartProcess(CommandLineFor(folder.file("bin\\nw.exe"))));
    EXPECT_FALSE(platform->ShellStart(folder.file("bin\\nw.exe"), folder.path()));
}

// Wine reports the version configured for a program (AppDefaults) through RtlGetVersion too,
// so there the launcher can be shown an older system; Windows gives the true version.
TEST(LauncherWindows, OlderSystemShowsTheMessageBoxAndStartsNothing) {
    if (!RunningOnWine()) GTEST_SKIP() << "needs wine's per-program version setting";
    const char* key = "Software\\Wine\\AppDefaults\\launcher.exe";
    HKEY hkey = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkey, nullptr), ERROR_SUCCESS);
    RegSetValueExA(hkey, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>("vista"), 6);
    RegCloseKey(hkey);

    LauncherFolder folder(true);
    HANDLE launcher = StartLauncher(folder.path());
    ASSERT_NE(launcher, nullptr);
    HWND box = nullptr;
    const bool shown = WaitUntil([&] { return (box = FindWindowW(nullptr, L"Tavric客户端")) != nullptr; }, 20000);
    wchar_t text[256] = L"";
    if (shown) {
        GetDlgItemTextW(box, 0xFFFF, text, 256);  // the message box's text control
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    const long code = WaitForExit(launcher);
    RegDeleteKeyA(HKEY_CURRENT_USER, key);

    ASSERT_TRUE(shown) << "no message box";
    EXPECT_EQ(std::wstring(text), L"非常抱歉，教师版暂不支持低于 Windows 7 的操作系统！");
    EXPECT_EQ(code, 0);
    Sleep(300);
    EXPECT_FALSE(FileExists(folder.file("started")));
}

}  // namespace
}  // namespace launcher
