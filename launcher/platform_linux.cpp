// The launcher's backend for Linux: no Windows version records, posix_spawn to start the
// program, a double fork through the shell's exec as the second way, standard error in place
// of a message box.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "launcher_flow.h"
#include "launcher_platform.h"

extern char** environ;

namespace launcher {

namespace {

// How long the launcher waits at most for the shell to say whether it found the program.
const int kShellAnswerMs = 10000;

// The shell checks the program before its exec so that a missing one fails quietly (and is
// reported through descriptor 3); a started program does not keep descriptor 3.
const char kShellScript[] =
    "case $1 in */*) [ -f \"$1\" ] && [ -x \"$1\" ] ;; *) command -v -- \"$1\" >/dev/null 2>&1 ;; esac"
    " || { printf n >&3; exit 127; }; exec \"$1\" 3>&-";

void WriteByte(int fd, char c) {
    ssize_t r;
    do r = write(fd, &c, 1); while (r < 0 && errno == EINTR);
}

class LinuxLauncherPlatform final : public ILauncherPlatform {
public:
    VersionRecords ProbeVersion() override { return VersionRecords(); }

    bool StartProcess(const std::string& commandLine) override {
        std::vector<std::string> words = SplitCommandLine(commandLine);
        if (words.empty() || words[0].empty()) return false;
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(&w[0]);
        argv.push_back(nullptr);

        posix_spawnattr_t attr;
        if (posix_spawnattr_init(&attr) != 0) return false;
        // The program runs in a session of its own, with default signal handling and no
        // blocked signals, so it owes nothing to the launcher or its terminal.
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, argv[0], nullptr, &attr, argv.data(), environ);
        posix_spawnattr_destroy(&attr);
        return rc == 0;
    }

    bool ShellStart(const std::string& file, const std::string& directory) override {
        if (file.empty()) return false;
        int answer[2];
        if (pipe2(answer, O_CLOEXEC) != 0) return false;
        const pid_t middle = fork();
        if (middle < 0) {
            close(answer[0]);
            close(answer[1]);
            return false;
        }
        if (middle == 0) {
            // The middle process only forks the shell and exits, so the program is no child
            // of the launcher.
            close(answer[0]);
            setsid();
            const pid_t shell = fork();
            if (shell != 0) {
                if (shell < 0) WriteByte(answer[1], 'f');
                _exit(0);
            }
            if (!directory.empty() && chdir(directory.c_str()) != 0) {
                WriteByte(answer[1], 'd');
                _exit(127);
            }
            // As with the direct start: default signal handling, nothing blocked.
            struct sigaction dfl;
            std::memset(&dfl, 0, sizeof dfl);
            dfl.sa_handler = SIG_DFL;
            for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            // The shell gets the answer pipe as descriptor 3 (without close-on-exec).
            if (answer[1] == 3)
                fcntl(3, F_SETFD, 0);
            else if (dup2(answer[1], 3) < 0)
                _exit(127);
            execle("/bin/sh", "sh", "-c", kShellScript, "sh", file.c_str(), static_cast<char*>(nullptr), environ);
            WriteByte(3, 'e');
            _exit(127);
        }
        close(answer[1]);
        int status = 0;
        while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
        }
        // End of file without a byte: the shell has handed over to the program.
        bool started = true;
        pollfd pfd = {answer[0], POLLIN, 0};
        int r;
        do r = poll(&pfd, 1, kShellAnswerMs); while (r < 0 && errno == EINTR);
        if (r > 0) {
            char c;
            ssize_t n;
            do n = read(answer[0], &c, 1); while (n < 0 && errno == EINTR);
            started = n == 0;
        }
        close(answer[0]);
        return started;
    }

    void ShowMessage(const std::string& title, const std::string& text) override {
        // There is no message box here: the title and the text go to standard error.
        std::fprintf(stderr, "%s\n%s\n", title.c_str(), text.c_str());
        std::fflush(stderr);
    }
};

}  // namespace

std::unique_ptr<ILauncherPlatform> MakeSystemPlatform() {
    return std::unique_ptr<ILauncherPlatform>(new LinuxLauncherPlatform());
}

}  // namespace launcher
