// The launcher's backend for Windows: the version records (with the true version from
// RtlGetVersion, which compatibility shims do not change), CreateProcessW then
// ShellExecuteExW, and a message box.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "launcher_platform.h"

namespace launcher {

namespace {

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

// The record RtlGetVersion fills (RTL_OSVERSIONINFOEXW, 284 bytes).
struct TrueVersionRecord {
    ULONG size;
    ULONG major;
    ULONG minor;
    ULONG build;
    ULONG platformId;
    WCHAR servicePack[128];
    USHORT servicePackMajor;
    USHORT servicePackMinor;
    USHORT suiteMask;
    UCHAR productType;
    UCHAR reserved;
};
static_assert(sizeof(TrueVersionRecord) == 284, "RTL_OSVERSIONINFOEXW is 284 bytes");
using RtlGetVersionFunction = LONG(WINAPI*)(TrueVersionRecord*);

class Win32LauncherPlatform final : public ILauncherPlatform {
public:
    VersionRecords ProbeVersion() override {
        VersionRecords records;
        OSVERSIONINFOA basic = {};
        basic.dwOSVersionInfoSize = sizeof basic;  // the short record, 148 bytes
        if (!GetVersionExA(&basic)) return records;
        records.basicAnswered = true;
        records.basic.platformId = basic.dwPlatformId;
        records.basic.major = basic.dwMajorVersion;
        records.basic.minor = basic.dwMinorVersion;

        if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
            const RtlGetVersionFunction rtlGetVersion = reinterpret_cast<RtlGetVersionFunction>(
                reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
            TrueVersionRecord real = {};
            real.size = sizeof real;
            if (rtlGetVersion && rtlGetVersion(&real) == 0) {
                records.trueAnswered = true;
                records.trueVersion.platformId = real.platformId;
                records.trueVersion.major = real.major;
                records.trueVersion.minor = real.minor;
                records.trueVersion.productType = real.productType;
            }
        }

        OSVERSIONINFOEXA extended = {};
        extended.dwOSVersionInfoSize = sizeof extended;  // the extended record, 156 bytes
        if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&extended))) {
            records.extendedAnswered = true;
            records.extended.platformId = extended.dwPlatformId;
            records.extended.major = extended.dwMajorVersion;
            records.extended.minor = extended.dwMinorVersion;
            records.extended.productType = extended.wProductType;
        }
        return records;
    }

    bool StartProcess(const std::string& commandLine) override {
        // CreateProcessW may write into the command line, so it gets a copy of its own.
        std::wstring line = Widen(commandLine);
        if (line.empty()) return false;
        std::vector<wchar_t> buffer(line.begin(), line.end());
        buffer.push_back(L'\0');
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_SHOWNORMAL;
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                            &startup, &process))
            return false;
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return true;
    }

    bool ShellStart(const std::string& file, const std::string& directory) override {
        const std::wstring wideFile = Widen(file);
        const std::wstring wideDirectory = Widen(directory);
        if (wideFile.empty()) return false;
        SHELLEXECUTEINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_DDEWAIT | SEE_MASK_FLAG_NO_UI;
        info.lpFile = wideFile.c_str();
        info.lpParameters = L"";
        info.lpDirectory = wideDirectory.empty() ? nullptr : wideDirectory.c_str();
        info.nShow = SW_SHOWNORMAL;
        if (!ShellExecuteExW(&info)) return false;
        if (info.hProcess) CloseHandle(info.hProcess);
        return true;
    }

    void ShowMessage(const std::string& title, const std::string& text) override {
        MessageBoxW(nullptr, Widen(text).c_str(), Widen(title).c_str(), MB_OK);
    }
};

}  // namespace

std::unique_ptr<ILauncherPlatform> MakeSystemPlatform() {
    return std::unique_ptr<ILauncherPlatform>(new Win32LauncherPlatform());
}

}  // namespace launcher
