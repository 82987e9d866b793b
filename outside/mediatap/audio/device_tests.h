// The device tests a user runs before a lesson: the peak level of a microphone, and a file
// played to a speaker with the level being played.
//
// Threads: Start, Stop and Level from any thread, serialised by the caller (Level may run
// beside the others).
#pragma once

#include "sound_server.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace mediatap {
namespace audio {

class MicLevelTest {
public:
    explicit MicLevelTest(ISoundServer* server) : m_server(server) {}
    ~MicLevelTest() { Stop(); }
    // Captures `source`; false when it cannot be captured. Restarts a running test.
    bool Start(const std::string& source);
    void Stop();
    bool running() const { return m_stream != nullptr; }
    // Peak level 0 to 100 of the last 150 ms (0 when nothing arrives or no test runs).
    int Level();

private:
    struct Meter;
    ISoundServer* m_server;
    std::shared_ptr<Meter> m_meter;
    std::unique_ptr<ICaptureStream> m_stream;
};

class SpeakerFileTest {
public:
    explicit SpeakerFileTest(ISoundServer* server);
    ~SpeakerFileTest();
    // Plays the file (any format libavformat reads; its first audio stream) once to `sink`
    // ("" = the default sink). False with a log line when the file is missing or cannot be
    // decoded, or the sink cannot be played to. Restarts a running test.
    bool Start(const std::string& sink, const std::string& file);
    void Stop();
    // Peak level 0 to 100 of the sound being handed to the speaker (0 once the file has ended).
    int Level() const { return m_level.load(); }

private:
    struct Player;
    ISoundServer* m_server;
    std::unique_ptr<Player> m_player;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_level{0};
    std::thread m_thread;
};

}  // namespace audio
}  // namespace mediatap
