// The launcher program and its Linux backend against real processes.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>

#include "launcher_flow.h"
#include "support/process.h"

namespace launcher {
namespace {

using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::RunCapture;
using testsupport::TempDir;
using testsupport::WaitUntil;

// bin/nw for the tests: writes "PID|DIR|LAUNCH_MARK" into the file "started" of the current
// directory (renamed into place, so it is whole when seen), then keeps running.
const char kProgramBody[] =
    "printf '%s|%s|%s' \"$$\" \"$PWD\" \"$LAUNCH_MARK\" > started.tmp && mv started.tmp started\n"
    "exec sleep 60\n";

void WriteProgram(const std::string& folder, bool withInterpreterLine) {
    mkdir((folder + "/bin").c_str(), 0755);
    const std::string path = folder + "/bin/nw";
    std::ofstream(path) << (withInterpreterLine ? "#!/bin/sh\n" : "") << kProgramBody;
    chmod(path.c_str(), 0755);
}

struct Started {
    pid_t pid = -1;
    std::string directory, mark;
};

Started ReadStarted(const std::string& file) {
    Started s;
    const std::string text = ReadFile(file);
    const auto a = text.find('|'), b = text.rfind('|');
    if (a == std::string::npos || a == b) return s;
    s.pid = static_cast<pid_t>(std::stol(text.substr(0, a)));
    s.directory = text.substr(a + 1, b - a - 1);
    s.mark = text.substr(b + 1);
    return s;
}

// True when pid ignores SIGTERM (from /proc/PID/status).
bool IgnoresTerm(pid_t pid) {
    const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    const auto at = status.find("SigIgn:");
    if (at == std::string::npos) return false;
    const unsigned long long mask = std::stoull(status.substr(at + 7), nullptr, 16);
    return (mask >> (SIGTERM - 1)) & 1;
}

// Runs the launcher in folder with standard output and error captured together, from a
// shell that ignores SIGTERM (which the started program must not inherit).
std::string RunLauncherIn(const std::string& folder, int* status, double* seconds) {
    const auto t0 = std::chrono::steady_clock::now();
    const std::string out = RunCapture({"sh", "-c", "trap '' TERM; cd \"$1\" && exec \"$2\" 2>&1", "sh", folder, LAUNCHER_PROGRAM},
                                       30000, status, {{"LAUNCH_MARK", "from-the-launcher"}});
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return out;
}

class LauncherProgram : public ::testing::Test {
protected:
    // Programs whose launcher has exited become children of this process, so the tests can
    // see them run, stop them and reap them.
    static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

    void TearDown() override {
        for (pid_t pid : m_programs) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        // Shells that found nothing to start and exited.
        WaitUntil([] { return waitpid(-1, nullptr, WNOHANG) <= 0; }, 5000);
    }

    // Waits for the marker of a started program and takes charge of stopping it.
    Started WaitForProgram(const std::string& folder) {
        const std::string marker = folder + "/started";
        if (!WaitUntil([&] { return FileExists(marker); }, 20000)) return Started();
        Started s = ReadStarted(marker);
        if (s.pid > 0) m_programs.push_back(s.pid);
        return s;
    }

    std::vector<pid_t> m_programs;
};

TEST_F(LauncherProgram, StartsTheProgramAndExitsAtOnceLeavingItRunning) {
    TempDir dir("launcher");
    WriteProgram(dir.path(), true);
    int status = -1;
    double seconds = 0;
    const std::string out = RunLauncherIn(dir.path(), &status, &seconds);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(out, "");
    // The program runs for a minute; the launcher did not wait for it.
    EXPECT_LT(seconds, 20.0);

    const Started s = WaitForProgram(dir.path());
    ASSERT_GT(s.pid, 0);
    EXPECT_EQ(s.directory, dir.path());        // the launcher's current directory
    EXPECT_EQ(s.mark, "from-the-launcher");    // and its environment
    // Still running after the launcher has gone, and in a session of its own.
    EXPECT_EQ(waitpid(s.pid, nullptr, WNOHANG), 0);
    EXPECT_EQ(kill(s.pid, 0), 0);
    EXPECT_EQ(getsid(s.pid), s.pid);
    EXPECT_FALSE(IgnoresTerm(s.pid));
}

TEST_F(LauncherProgram, MissingProgramExitsQuietly) {
    TempDir dir("launcher");
    int status = -1;
    double seconds = 0;
    EXPECT_EQ(RunLauncherIn(dir.path(), &status, &seconds), "");
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // A bin folder without the program, or a program that may not be executed: the same.
    mkdir(dir.file("bin").c_str(), 0755);
    std::ofstream(dir.file("bin/nw")) << "#!/bin/sh\ntouch started\n";
    chmod(dir.file("bin/nw").c_str(), 0644);
    EXPECT_EQ(RunLauncherIn(dir.path(), &status, &seconds), "");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    usleep(200 * 1000);
    EXPECT_FALSE(FileExists(dir.file("started")));
}

TEST_F(LauncherProgram, ShellStartsWhatTheDirectStartCannot) {
    // A script without an interpreter line cannot be executed directly; the shell runs it.
    TempDir dir("launcher");
    WriteProgram(dir.path(), false);
    std::unique_ptr<ILauncherPlatform> platform = MakeSystemPlatform();
    ASSERT_FALSE(platform->StartProcess(CommandLineFor(dir.file("bin/nw"))));
    EXPECT_FALSE(platform->ShellStart(dir.file("bin/missing"), ""));
    EXPECT_FALSE(platform->ShellStart(dir.file("bin/nw"), dir.file("no-such-folder")));
    EXPECT_FALSE(FileExists(dir.file("started")));

    // Started in the given directory.
    ASSERT_TRUE(platform->ShellStart(dir.file("bin/nw"), dir.path()));
    const Started direct = WaitForProgram(dir.path());
    ASSERT_GT(direct.pid, 0);
    EXPECT_EQ(direct.directory, dir.path());
    unlink(dir.file("started").c_str());

    // The whole launcher takes the same way.
    int status = -1;
    double seconds = 0;
    EXPECT_EQ(RunLauncherIn(dir.path(), &status, &seconds), "");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(seconds, 20.0);
    const Started viaLauncher = WaitForProgram(dir.path());
    ASSERT_GT(viaLauncher.pid, 0);
    EXPECT_EQ(viaLauncher.mark, "from-the-launcher");
    EXPECT_FALSE(IgnoresTerm(viaLauncher.pid));
    EXPECT_EQ(waitpid(viaLauncher.pid, nullptr, WNOHANG), 0);
}

// The Linux backend with the version records of an older system injected.
class OlderSystem : public ILauncherPlatform {
public:
    explicit OlderSystem(ILauncherPlatform& real) : m_real(real) {}
    VersionRecords ProbeVersion() override {
        VersionRecords v;
        v.basicAnswered = v.trueAnswered = true;
        v.basic.platformId = v.trueVersion.platformId = 2;
        v.trueVersion.major = 6;  // Server 2008, code 75
        return v;
    }
    bool StartProcess(const std::string& c) override { ++starts; return m_real.StartProcess(c); }
    bool ShellStart(const std::string& f, const std::string& d) override { ++starts; return m_real.ShellStart(f, d); }
    void ShowMessage(const std::string& t, const std::string& m) override { m_real.ShowMessage(t, m); }
    int starts = 0;

private:
    ILauncherPlatform& m_real;
};

TEST_F(LauncherProgram, OlderSystemWritesTheMessageToStandardError) {
    TempDir dir("launcher");
    const std::string errFile = dir.file("stderr");
    std::unique_ptr<ILauncherPlatform> real = MakeSystemPlatform();
    OlderSystem older(*real);

    fflush(stderr);
    const int saved = dup(2);
    const int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    dup2(fd, 2);
    close(fd);
    const int code = RunLauncher(older);
    fflush(stderr);
    dup2(saved, 2);
    close(saved);

    EXPECT_EQ(code, 0);
    EXPECT_EQ(older.starts, 0);
    EXPECT_EQ(ReadFile(errFile), "Tavric客户端\n非常抱歉，教师版暂不支持低于 Windows 7 的操作系统！\n");
}

}  // namespace
}  // namespace launcher
