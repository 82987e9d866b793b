#include <gtest/gtest.h>

#include <string.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include "mtp/logging.h"

namespace {

using mtp::LogMessage;

TEST(LogMessage, InfoIsTheBareMessageAndWarningsCarryPrefixAndLocation) {
    testing::internal::CaptureStderr();
    MTP_LOG(LS_INFO) << "Thread " << "worker" << " Id = " << 42 << " begin.";
    const int warning_line = __LINE__; MTP_LOG(LS_WARNING) << "id: " << 7;
    { LogMessage("C:\\src\\mtp\\mtp_thread.cc", 99, mtp::LS_ERROR).stream() << "bad"; }
    const std::string out = testing::internal::GetCapturedStderr();

    const std::string expected = "Thread worker Id = 42 begin.\n"
                                 "***** Warning *****(logging_test.cc:" +
                                 std::to_string(warning_line) +
                                 "): id: 7\n"
                                 "***** Error *****(mtp_thread.cc:99): bad\n";
    EXPECT_EQ(out, expected);
}

TEST(LogMessage, LinesBelowInfoAreBuiltButNotWritten) {
    testing::internal::CaptureStderr();
    MTP_LOG(LS_DEBUG) << "debug";
    MTP_LOG(LS_SENSITIVE) << "secret";
    MTP_LOG(LS_VERBOSE) << "chatty";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    LogMessage line(__FILE__, 1, mtp::LS_VERBOSE);
    line.stream() << "kept";
    EXPECT_EQ(line.Line(), "kept\n");
}

TEST(LogMessage, SystemErrorTextFollowsTheMessage) {
#ifdef _WIN32
    // ERROR_ACCESS_DENIED, in the system's own words.
    const std::string text = LogMessage::ErrorText(5);
    ASSERT_EQ(text.rfind("[0x00000005] ", 0), 0u) << text;
    EXPECT_GT(text.size(), 13u) << "no system message for code 5";
    EXPECT_NE(text.back(), '\n');
#else
    const std::string text = std::string("[0x00000005] ") + strerror(5);
    EXPECT_EQ(LogMessage::ErrorText(5), text);
#endif

    testing::internal::CaptureStderr();
    MTP_LOG_ERR(LS_INFO, 5) << "Unable to get handle to thread.";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unable to get handle to thread. : " + text + "\n");

    // A code far outside errno's range still gets its hexadecimal form.
    EXPECT_EQ(LogMessage::ErrorText(0x7FFFFFF0).rfind("[0x7FFFFFF0]", 0), 0u);
}

TEST(LogMessage, ConsoleAttributesMapToAnsiColours) {
    EXPECT_EQ(LogMessage::ColourAttribute(mtp::LS_INFO), 7);
    EXPECT_EQ(LogMessage::ColourAttribute(mtp::LS_WARNING), 14);
    EXPECT_EQ(LogMessage::ColourAttribute(mtp::LS_ERROR), 12);
    EXPECT_EQ(LogMessage::AnsiForAttribute(7), "");
    EXPECT_EQ(LogMessage::AnsiForAttribute(14), "\x1b[93m");  // bright yellow
    EXPECT_EQ(LogMessage::AnsiForAttribute(12), "\x1b[91m");  // bright red
    EXPECT_EQ(LogMessage::AnsiForAttribute(1), "\x1b[34m");   // blue
}

#ifdef _WIN32
// On a console a warning is written in yellow, and the console's own colour is put back.
TEST(LogMessage, WarningIsYellowOnAConsoleAndTheColourIsRestored) {
    FreeConsole();
    if (!AllocConsole()) GTEST_SKIP() << "no console can be made here";
    HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(console, INVALID_HANDLE_VALUE);
    const HANDLE saved = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, console);
    SetConsoleTextAttribute(console, 0x1F);  // white on blue, so that "normal" is not assumed
    CONSOLE_SCREEN_BUFFER_INFO before = {};
    GetConsoleScreenBufferInfo(console, &before);
    MTP_LOG(LS_WARNING) << "careful";
    MTP_LOG(LS_INFO) << "plain";
    CONSOLE_SCREEN_BUFFER_INFO after = {};
    GetConsoleScreenBufferInfo(console, &after);

    WORD warning = 0, info = 0;
    DWORD n = 0;
    ReadConsoleOutputAttribute(console, &warning, 1, before.dwCursorPosition, &n);
    const COORD next = {0, static_cast<SHORT>(before.dwCursorPosition.Y + 1)};
    ReadConsoleOutputAttribute(console, &info, 1, next, &n);
    SetStdHandle(STD_ERROR_HANDLE, saved);
    CloseHandle(console);
    FreeConsole();

    EXPECT_EQ(warning, 14);
    EXPECT_EQ(info, 7);  // an info line has its own colour, normal
    EXPECT_EQ(after.wAttributes, 0x1F);
}
#endif

}  // namespace
