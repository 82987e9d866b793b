// A pulseaudio server for the tests, started headless in a temporary folder:
//   sink "card"     (a null sink; its monitor is the sound card the mixer records)
//   source "mic"    (a 440 Hz sine source standing in for a microphone)
//   source "mic2"   (the monitor of null sink "micsink", remapped: a second, silent microphone)
//   sink "drain"    (a null sink; a 20 ms loopback from card.monitor to it keeps the monitor
//                    delivering at once instead of 1.6 s late)
// The environment of this process is pointed at it (PULSE_SERVER, XDG_RUNTIME_DIR, HOME) so the
// code under test finds it; Stop (or the destructor) ends it with `pactl exit`.
#pragma once

#include "support/process.h"

#include <map>
#include <string>
#include <vector>

namespace audiotest {

class PulseServer {
public:
    PulseServer();
    ~PulseServer();
    // False when the server did not answer `pactl info` in time.
    bool Start();
    void Stop();
    // Stops the server process where it stands (SIGSTOP), as a hung server looks to its
    // clients, and lets it go on (SIGCONT).
    void Freeze();
    void Thaw();
    // Runs pactl against this server; its standard output.
    std::string Pactl(const std::vector<std::string>& args, int* status = nullptr);
    // Starts a program (paplay, ...) with this server's environment.
    bool Spawn(testsupport::ChildProcess* child, const std::vector<std::string>& argv);
    const std::map<std::string, std::string>& env() const { return m_env; }
    std::string file(const std::string& name) const { return m_dir.file(name); }

private:
    testsupport::TempDir m_dir;
    std::map<std::string, std::string> m_env;
    testsupport::ChildProcess m_proc;
};

}  // namespace audiotest
