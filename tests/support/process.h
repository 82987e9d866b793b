// Test helpers: temporary folders, free loopback ports, child processes, polling.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "sc");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeTcpPort();

// True once cond() holds, polling every few milliseconds for at most timeoutMs.
bool WaitUntil(const std::function<bool()>& cond, int timeoutMs);

// A child process with its standard output and error sent to a file (or /dev/null).
// Killed (SIGTERM, then SIGKILL) and reaped on destruction.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // argv[0] is looked up in PATH. env entries are added to (or replace in) the environment.
    bool Start(const std::vector<std::string>& argv, const std::string& outputFile = "",
               const std::map<std::string, std::string>& env = {});
    bool Running();
    // Sends SIGTERM, waits up to graceMs, then SIGKILL. Returns the exit status (waitpid form).
    int Stop(int graceMs = 3000);
    // Waits up to timeoutMs for the child to exit by itself; -1 on time-out.
    int Wait(int timeoutMs);
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_status = 0;
};

// Runs a command to completion (at most timeoutMs) and returns its standard output; the exit
// status goes to *status when given (-1 on time-out).
std::string RunCapture(const std::vector<std::string>& argv, int timeoutMs = 60000, int* status = nullptr,
                       const std::map<std::string, std::string>& env = {});

// Runs this program again inside a network namespace of its own (`ip netns add`, deleted
// afterwards) with variable=1 in its environment and gtest_filter as its test filter, prints
// its output and returns its exit status (waitpid form); -2 when no namespace can be made here.
int RunSelfInNetworkNamespace(const std::string& gtestFilter, const std::string& variable, int timeoutMs);

std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace testsupport
