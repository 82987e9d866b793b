// The launcher's backend for Windows: the version records (with the true version from
// RtlGetVersion, which compatibility shims do not change), CreateProcessW then
// ShellExecuteExW, and a message box.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "common/win32.h"
#include "launcher_platform.h"

namespace launcher {

namespace {

using Orvane::Common::Widen;

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

        Orvane::Common::TrueWindowsVersion real;
        if (Orvane::Common::GetTrueWindowsVersion(&real)) {
            records.trueAnswered = true;
            records.trueVersion.platformId = real.platformId;
            records.trueVersion.major = real.major;
            records.trueVersion.minor = real.minor;
            records.trueVersion.productType = real.productType;
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
