// The PulseAudio streams behind ICaptureStream and IPlaybackStream, and the main-loop lock
// they and the server take. A stream is opened with the main-loop lock held; its callbacks run
// on the main loop's thread with that lock held.
#pragma once

#include "sound_server.h"

#include <pulse/pulseaudio.h>

#include <memory>
#include <string>

namespace mediatap {
namespace audio {

// Holds the main-loop lock for a scope.
class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : m_loop(loop) { pa_threaded_mainloop_lock(m_loop); }
    ~LoopLock() { pa_threaded_mainloop_unlock(m_loop); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* m_loop;
};

// A capture stream on source in the given format delivering fragments of fragmentMs, or null
// when it cannot be connected. Main-loop lock held.
std::unique_ptr<ICaptureStream> OpenPulseCapture(pa_threaded_mainloop* loop, pa_context* context,
                                                 const std::string& source, const pa_sample_spec& format,
                                                 int fragmentMs, CaptureCallback callback);
// A playback stream to sink ("" for the server's default) with bufferMs of target buffer, or
// null. Main-loop lock held.
std::unique_ptr<IPlaybackStream> OpenPulsePlayback(pa_threaded_mainloop* loop, pa_context* context,
                                                   const std::string& sink, const pa_sample_spec& format, int bufferMs);

}  // namespace audio
}  // namespace mediatap
