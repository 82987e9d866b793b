// The PulseAudio streams behind ICaptureStream and IPlaybackStream, the main-loop lock they
// and the server take, and the bounded wait for the server's answers. A stream is opened with
// the main-loop lock held; its callbacks run on the main loop's thread with that lock held.
#pragma once

#include "sound_server.h"

#include <pulse/pulseaudio.h>

#include <functional>
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

// Waits (main-loop lock held, released while waiting) until done() holds or timeoutMs have
// passed; done()'s last value. done() is tested after every signal of the loop; a time event of
// the context wakes the wait at the deadline when the server says nothing.
bool WaitLocked(pa_threaded_mainloop* loop, pa_context* context, int timeoutMs, const std::function<bool()>& done);

// How long a stream may take to come up, and whether it did not in that time (as opposed to
// being refused).
struct StreamWait {
    int timeoutMs;
    bool timedOut = false;
};

// A capture stream on source in the given format delivering fragments of fragmentMs, or null
// when it cannot be connected. Main-loop lock held.
std::unique_ptr<ICaptureStream> OpenPulseCapture(pa_threaded_mainloop* loop, pa_context* context,
                                                 const std::string& source, const pa_sample_spec& format,
                                                 int fragmentMs, CaptureCallback callback, StreamWait* wait);
// A playback stream to sink ("" for the server's default) with bufferMs of target buffer, or
// null. Main-loop lock held.
std::unique_ptr<IPlaybackStream> OpenPulsePlayback(pa_threaded_mainloop* loop, pa_context* context,
                                                   const std::string& sink, const pa_sample_spec& format, int bufferMs,
                                                   StreamWait* wait);

}  // namespace audio
}  // namespace mediatap
