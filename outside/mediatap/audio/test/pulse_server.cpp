#include "pulse_server.h"

#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

namespace audiotest {

PulseServer::PulseServer() : m_dir("pulse") {
    const std::string runtime = m_dir.file("runtime");
    const std::string home = m_dir.file("home");
    mkdir(runtime.c_str(), 0700);
    mkdir(home.c_str(), 0700);
    m_env = {{"XDG_RUNTIME_DIR", runtime},
             {"HOME", home},
             {"PULSE_SERVER", "unix:" + runtime + "/pulse/native"}};
}

PulseServer::~PulseServer() { Stop(); }

bool PulseServer::Start() {
    std::ofstream script(m_dir.file("server.pa"));
    script << "load-module module-native-protocol-unix auth-anonymous=1\n"
              "load-module module-null-sink sink_name=card rate=48000 sink_properties=device.description=SoundCard\n"
              "load-module module-null-sink sink_name=drain rate=48000\n"
              "load-module module-loopback source=card.monitor sink=drain latency_msec=20\n"
              "load-module module-sine-source source_name=mic rate=48000 frequency=440\n"
              "load-module module-null-sink sink_name=micsink rate=48000\n"
              "load-module module-remap-source source_name=mic2 master=micsink.monitor "
              "source_properties=device.description=SecondMic\n"
              "set-default-sink card\n"
              "set-default-source mic\n";
    script.close();
    for (const auto& kv : m_env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    if (!m_proc.Start({"pulseaudio", "-n", "-F", m_dir.file("server.pa"), "--exit-idle-time=-1",
                       "--daemonize=no", "--log-target=stderr"},
                      m_dir.file("pulseaudio.log"), m_env))
        return false;
    return testsupport::WaitUntil(
        [this] {
            int status = -1;
            Pactl({"info"}, &status);
            return status == 0;
        },
        15000);
}

void PulseServer::Stop() {
    if (!m_proc.Running()) return;
    Thaw();
    Pactl({"exit"});
    if (m_proc.Wait(5000) == -1) m_proc.Stop();
}

void PulseServer::Freeze() {
    if (m_proc.Running()) kill(m_proc.pid(), SIGSTOP);
}

void PulseServer::Thaw() {
    if (m_proc.Running()) kill(m_proc.pid(), SIGCONT);
}

std::string PulseServer::Pactl(const std::vector<std::string>& args, int* status) {
    std::vector<std::string> argv = {"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::RunCapture(argv, 10000, status, m_env);
}

bool PulseServer::Spawn(testsupport::ChildProcess* child, const std::vector<std::string>& argv) {
    return child->Start(argv, "", m_env);
}

}  // namespace audiotest
