#include "common/win32.h"

#include <windows.h>

namespace Orvane {
namespace Common {

namespace {

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

}  // namespace

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

bool GetTrueWindowsVersion(TrueWindowsVersion* version) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const RtlGetVersionFunction rtlGetVersion =
        ntdll ? reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
              : nullptr;
    TrueVersionRecord record = {};
    record.size = sizeof record;
    if (!rtlGetVersion || rtlGetVersion(&record) != 0) return false;
    version->platformId = record.platformId;
    version->major = record.major;
    version->minor = record.minor;
    version->servicePackMajor = record.servicePackMajor;
    version->productType = record.productType;
    return true;
}

}  // namespace Common
}  // namespace Orvane
