// Windows helpers of the support library shared by the launcher and window sharing: UTF-8 to
// UTF-16 text for the W functions, and the true system version.
// Threads: any; no shared state.
#pragma once

#ifdef _WIN32

#include <string>

namespace Orvane {
namespace Common {

// UTF-8 to UTF-16; empty for empty or invalid text.
std::wstring Widen(const std::string& text);

// The version RtlGetVersion reports, which compatibility shims leave true (GetVersionEx
// answers with the version a program's manifest claims).
struct TrueWindowsVersion {
    unsigned long platformId = 0;
    unsigned long major = 0;
    unsigned long minor = 0;
    unsigned short servicePackMajor = 0;
    unsigned char productType = 0;
};
// False when ntdll has no RtlGetVersion or it fails.
bool GetTrueWindowsVersion(TrueWindowsVersion* version);

}  // namespace Common
}  // namespace Orvane

#endif  // _WIN32
