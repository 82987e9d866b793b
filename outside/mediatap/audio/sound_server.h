// The sound server as the audio half sees it: devices, their volume and mute, and capture and
// playback streams. One Linux backend (PulseAudio, CreatePulseSoundServer) and test doubles.
//
// Samples are 32-bit float, interleaved, -1 to 1.
//
// Threads: every member may be called from any thread. Capture callbacks run on the backend's
// own thread, one call at a time per stream, and never after the stream object is destroyed.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mediatap {
namespace audio {

struct SoundDevice {
    std::string name;         // the server's name; what the engine hands out as uniName
    std::string description;  // for people
};

struct SampleFormat {
    int rate = 0;
    int channels = 0;
};

// A running capture. Destroying it stops the callbacks (the destructor waits for a running one).
class ICaptureStream {
public:
    virtual ~ICaptureStream() = default;
    // False once the server dropped the stream (device gone, server gone).
    virtual bool Alive() = 0;
};

// frames: samples per channel in `samples`; the format is the one OpenCapture reported.
using CaptureCallback = std::function<void(const float* samples, int frames)>;

// A running playback. Destroying it stops playback at once.
class IPlaybackStream {
public:
    virtual ~IPlaybackStream() = default;
    // Frames that may be written now without blocking; -1 once the stream has failed.
    virtual int WritableFrames() = 0;
    // Writes at most WritableFrames() frames; false on failure.
    virtual bool Write(const float* samples, int frames) = 0;
};

class ISoundServer {
public:
    virtual ~ISoundServer() = default;

    // True when a server answers (a failed connection is retried at most every few seconds).
    virtual bool Connected() = 0;
    // Capture devices without the monitors of sinks, and playback devices, in server order.
    virtual std::vector<SoundDevice> Sources() = 0;
    virtual std::vector<SoundDevice> Sinks() = 0;
    // "" when there is none (or no server).
    virtual std::string DefaultSource() = 0;
    virtual std::string DefaultSink() = 0;
    // The monitor source of a sink ("" when unknown).
    virtual std::string MonitorOf(const std::string& sink) = 0;

    // Volume in percent of the device's normal volume (0 to 100, the mean over its channels).
    virtual bool SetSourceVolume(const std::string& source, int percent) = 0;
    virtual bool GetSourceVolume(const std::string& source, int* percent) = 0;
    virtual bool SetSinkVolume(const std::string& sink, int percent) = 0;
    virtual bool GetSinkVolume(const std::string& sink, int* percent) = 0;
    virtual bool SetSourceMute(const std::string& source, bool mute) = 0;
    virtual bool GetSourceMute(const std::string& source, bool* mute) = 0;

    // Captures a source in its own rate and channel count (reported through *format).
    // Null on failure.
    virtual std::unique_ptr<ICaptureStream> OpenCapture(const std::string& source, SampleFormat* format,
                                                        CaptureCallback callback) = 0;
    // Plays to a sink ("" = the default sink) in the given format. Null on failure.
    virtual std::unique_ptr<IPlaybackStream> OpenPlayback(const std::string& sink, SampleFormat format) = 0;
};

// A client of the PulseAudio server the environment names (PULSE_SERVER, or the user's
// default), never spawning one. When no server answers, lists are empty, calls fail and one log
// line says why. No call waits more than 2 s for the server: a connected server that leaves a
// request unanswered that long is treated as absent (calls fail at once, one log line) until it
// answers again; open streams stay and carry on then.
std::unique_ptr<ISoundServer> CreatePulseSoundServer(const std::string& clientName);
// An owner's handle on a connection shared with others (the audio half and the remote audio
// playout use one connection, so one client thread serves both). Null for null.
std::unique_ptr<ISoundServer> ShareSoundServer(std::shared_ptr<ISoundServer> server);

}  // namespace audio
}  // namespace mediatap
