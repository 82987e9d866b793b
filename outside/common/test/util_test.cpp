#include "common/util.h"

#include <gtest/gtest.h>

#include <thread>

using namespace Orvane::Common;

TEST(Util, TickCountIsMonotonicMilliseconds) {
    const uint64_t a = ovGetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint64_t b = ovGetTickCount();
    EXPECT_GE(b - a, 19u);
    EXPECT_LT(b - a, 5000u);
    // Microseconds of the same clock as the milliseconds and as std::chrono::steady_clock.
    const int64_t before = std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::steady_clock::now().time_since_epoch()).count();
    const int64_t us = ovMonotonicUs();
    const uint64_t ms = ovGetTickCount();
    EXPECT_LE(before, us);
    EXPECT_LE(static_cast<uint64_t>(us / 1000), ms);
}

TEST(Util, S2wsDecodesUtf8AndReplacesBadBytes) {
    EXPECT_EQ(s2ws("abc"), L"abc");
    EXPECT_EQ(s2ws(""), L"");
    EXPECT_EQ(s2ws("\xC3\xA9t\xC3\xA9"), L"\u00E9t\u00E9");
    EXPECT_EQ(s2ws("\xE4\xB8\xAD"), L"\u4E2D");
    EXPECT_EQ(s2ws("\xF0\x9F\x98\x80"), std::wstring(1, static_cast<wchar_t>(0x1F600)));
    const std::wstring bad(1, static_cast<wchar_t>(0xFFFD));
    EXPECT_EQ(s2ws("\xFF"), bad);
    EXPECT_EQ(s2ws("a\xC3"), L"a" + bad);                // truncated at the end
    EXPECT_EQ(s2ws("\xC0\xAF"), bad + bad);              // overlong '/'
    EXPECT_EQ(s2ws("\xED\xA0\x80"), bad + bad + bad);    // a surrogate
    EXPECT_EQ(s2ws("\xE4\xB8" "x"), bad + bad + L"x");   // cut short by an ASCII byte
    EXPECT_EQ(s2ws(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(Util, UpperCaseTouchesOnlyAsciiLetters) {
    EXPECT_EQ(upperCase("MicrosoftEdge.exe"), "MICROSOFTEDGE.EXE");
    EXPECT_EQ(upperCase("\xC3\xA9z1_"), "\xC3\xA9Z1_");
}
