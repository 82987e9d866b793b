// What the launcher needs from the operating system: the version probe, two ways of starting
// a program, and a message to the user. One backend per system (MakeSystemPlatform) and a
// test double in the tests.
//
// Threads: the launcher is single-threaded; every member is called on its main thread.
#pragma once

#include <memory>
#include <string>

#include "version_code.h"

namespace launcher {

class ILauncherPlatform {
public:
    virtual ~ILauncherPlatform() = default;

    // The version records the system answers (none at all on a system without them).
    virtual VersionRecords ProbeVersion() = 0;
    // Starts the program of commandLine (a quoted file name, no parameters) with the
    // launcher's environment and current directory, without waiting for it. True when it
    // was started.
    virtual bool StartProcess(const std::string& commandLine) = 0;
    // The second way to start a program: through the system shell, in directory (the
    // current directory when empty), without waiting. True when it was started.
    virtual bool ShellStart(const std::string& file, const std::string& directory) = 0;
    // Shows title and text to the user and returns once the user has seen it.
    virtual void ShowMessage(const std::string& title, const std::string& text) = 0;
};

// The backend of the system the launcher was built for.
std::unique_ptr<ILauncherPlatform> MakeSystemPlatform();

}  // namespace launcher
