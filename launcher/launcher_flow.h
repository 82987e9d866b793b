// The launcher's main flow and its fixed texts, independent of the system it runs on.
//
// Threads: single-threaded; called on the main thread.
#pragma once

#include <string>
#include <vector>

#include "launcher_platform.h"

namespace launcher {

// The program to start, relative to the current directory ("bin/nw.exe" on Windows).
extern const char* const kProgramPath;
// Title and text of the message shown on a system older than Windows 7 (UTF-8).
extern const char* const kMessageTitle;
extern const char* const kMessageText;

// The command line for file: the name in double quotes, unchanged when it already starts
// with one. No parameters are added.
std::string CommandLineFor(const std::string& file);
// The words of a command line: blank-separated, double quotes group and are removed.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);
// The part of file before its last backslash ("" when it has none).
std::string ShellDirectoryOf(const std::string& file);

// Starts file: first as a process, then through the shell. False when both failed.
bool StartProgram(ILauncherPlatform& platform, const std::string& file);

// The whole run: version code, then start the program (code above 79) or show the message.
// Returns the exit code, which is always 0.
int RunLauncher(ILauncherPlatform& platform);

}  // namespace launcher
