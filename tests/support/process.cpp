#include "support/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace testsupport {

namespace {

void RemoveTree(const std::string& path) {
    if (path.empty()) return;
    // Folders made by the tests hold only plain files and folders.
    std::vector<std::string> argv = {"rm", "-rf", path};
    RunCapture(argv, 60000);
}

std::vector<std::string> MergedEnv(const std::map<std::string, std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string kv(*e);
        const std::string key = kv.substr(0, kv.find('='));
        if (!extra.count(key)) env.push_back(kv);
    }
    for (const auto& kv : extra) env.push_back(kv.first + "=" + kv.second);
    return env;
}

std::vector<char*> CArray(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(&s[0]);
    out.push_back(nullptr);
    return out;
}

// Starts argv with standard output on outFd, and standard error too when errorsToo is set.
pid_t Spawn(const std::vector<std::string>& argv, int outFd, bool errorsToo,
            const std::map<std::string, std::string>& env) {
    std::vector<std::string> args = argv;
    std::vector<std::string> envs = MergedEnv(env);
    std::vector<char*> cargs = CArray(args), cenv = CArray(envs);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
        if (errorsToo) posix_spawn_file_actions_adddup2(&actions, outFd, 2);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The child starts with default signal handling, whatever the test process blocked.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    if (posix_spawnp(&pid, cargs[0], &actions, &attr, cargs.data(), cenv.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return pid;
}

}  // namespace

TempDir::TempDir(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + "_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) m_path = buf.data();
}

TempDir::~TempDir() { RemoveTree(m_path); }

int FreeTcpPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    int port = -1;
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

ChildProcess::~ChildProcess() { Stop(1000); }

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& outputFile,
                         const std::map<std::string, std::string>& env) {
    if (m_pid > 0 || argv.empty()) return false;
    int fd = open(outputFile.empty() ? "/dev/null" : outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    m_pid = Spawn(argv, fd, true, env);
    if (fd >= 0) close(fd);
    return m_pid > 0;
}

bool ChildProcess::Running() {
    if (m_pid <= 0) return false;
    int status = 0;
    pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_status = status;
        m_pid = -1;
        return false;
    }
    return r == 0;
}

int ChildProcess::Wait(int timeoutMs) {
    if (!WaitUntil([&] { return !Running(); }, timeoutMs)) return -1;
    return m_status;
}

int ChildProcess::Stop(int graceMs) {
    if (!Running()) return m_status;
    kill(m_pid, SIGTERM);
    if (Wait(graceMs) != -1) return m_status;
    kill(m_pid, SIGKILL);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    m_status = status;
    return status;
}

std::string RunCapture(const std::vector<std::string>& argv, int timeoutMs, int* status,
                       const std::map<std::string, std::string>& env) {
    char name[] = "/tmp/sc_capture_XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) {
        if (status) *status = -1;
        return "";
    }
    // Standard output only, so that error lines stay out of the result.
    const pid_t pid = Spawn(argv, fd, false, env);
    close(fd);
    int st = -1;
    if (pid > 0) {
        const bool done = WaitUntil([&] { return waitpid(pid, &st, WNOHANG) == pid; }, timeoutMs);
        if (!done) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            st = -1;
        }
    }
    if (status) *status = st;
    std::string out = ReadFile(name);
    unlink(name);
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int RunSelfInNetworkNamespace(const std::string& gtestFilter, const std::string& variable, int timeoutMs) {
    const std::string ns = "sctest" + std::to_string(getpid());
    int status = -1;
    RunCapture({"ip", "netns", "add", ns}, 10000, &status);
    if (status != 0) return -2;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    self[n > 0 ? n : 0] = '\0';
    const std::string out = RunCapture(
        {"sh", "-c", "exec ip netns exec \"$0\" \"$1\" --gtest_filter=\"$2\" 2>&1", ns, self, gtestFilter},
        timeoutMs, &status, {{variable, "1"}});
    RunCapture({"ip", "netns", "del", ns}, 10000);
    std::printf("%s", out.c_str());
    return status;
}

}  // namespace testsupport
