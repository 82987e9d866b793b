// Clock and text helpers of the support library.
#pragma once

#include <cstdint>
#include <string>

namespace Orvane {
namespace Common {

// Milliseconds of a monotonic clock (CLOCK_MONOTONIC). Never goes backwards.
uint64_t ovGetTickCount();

// Narrow text (UTF-8, the narrow code page here) to wide text. Each invalid or truncated
// byte sequence becomes one U+FFFD; surrogates and overlong forms count as invalid.
std::wstring s2ws(const std::string& text);

// ASCII letters upper-cased; every other byte unchanged (UTF-8 stays valid).
std::string upperCase(std::string text);

}  // namespace Common
}  // namespace Orvane
