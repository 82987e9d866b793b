// Clock and text helpers of the support library.
#pragma once

#include <cstdint>
#include <string>

namespace Orvane {
namespace Common {

// Milliseconds of a monotonic clock (CLOCK_MONOTONIC). Never goes backwards.
uint64_t ovGetTickCount();

// Microseconds of the same clock, signed so that differences may be negative. The clock is
// the one std::chrono::steady_clock reads, so the two can be mixed in deadlines.
int64_t ovMonotonicUs();

// Narrow text (UTF-8, the narrow code page here) to wide text. Each invalid or truncated
// byte sequence becomes one U+FFFD; surrogates and overlong forms count as invalid.
std::wstring s2ws(const std::string& text);

// ASCII letters upper-cased; every other byte unchanged (UTF-8 stays valid).
std::string upperCase(std::string text);

}  // namespace Common
}  // namespace Orvane
