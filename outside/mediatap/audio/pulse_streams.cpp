#include "pulse_streams.h"

#include <vector>

namespace mediatap {
namespace audio {
namespace {

class PulseCapture final : public ICaptureStream {
public:
    PulseCapture(pa_threaded_mainloop* loop, pa_stream* stream, CaptureCallback callback)
        : m_loop(loop), m_stream(stream), m_callback(std::move(callback)) {}
    ~PulseCapture() override {
        LoopLock lock(m_loop);
        pa_stream_set_read_callback(m_stream, nullptr, nullptr);
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
    }
    bool Alive() override {
        LoopLock lock(m_loop);
        pa_stream_state_t state = pa_stream_get_state(m_stream);
        return state == PA_STREAM_READY || state == PA_STREAM_CREATING;
    }
    void Start() { pa_stream_set_read_callback(m_stream, &PulseCapture::OnRead, this); }

private:
    static void OnRead(pa_stream* stream, size_t, void* self) {
        auto* capture = static_cast<PulseCapture*>(self);
        const pa_sample_spec* sampleSpec = pa_stream_get_sample_spec(stream);
        const size_t frameBytes = pa_frame_size(sampleSpec);
        const void* data = nullptr;
        size_t bytes = 0;
        while (pa_stream_readable_size(stream) > 0) {
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
            int frames = static_cast<int>(bytes / frameBytes);
            if (data) {
                capture->m_callback(static_cast<const float*>(data), frames);
            } else {
                // A hole in the stream: what was lost is heard as silence.
                capture->m_silence.assign(static_cast<size_t>(frames) * sampleSpec->channels, 0.0f);
                capture->m_callback(capture->m_silence.data(), frames);
            }
            pa_stream_drop(stream);
        }
    }

    pa_threaded_mainloop* m_loop;
    pa_stream* m_stream;
    CaptureCallback m_callback;
    std::vector<float> m_silence;  // main-loop thread
};

class PulsePlayback final : public IPlaybackStream {
public:
    PulsePlayback(pa_threaded_mainloop* loop, pa_stream* stream, int channels)
        : m_loop(loop), m_stream(stream), m_channels(channels) {}
    ~PulsePlayback() override {
        LoopLock lock(m_loop);
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
    }
    int WritableFrames() override {
        LoopLock lock(m_loop);
        if (pa_stream_get_state(m_stream) != PA_STREAM_READY) return -1;
        size_t bytes = pa_stream_writable_size(m_stream);
        if (bytes == static_cast<size_t>(-1)) return -1;
        return static_cast<int>(bytes / (sizeof(float) * m_channels));
    }
    bool Write(const float* samples, int frames) override {
        if (frames <= 0) return true;
        LoopLock lock(m_loop);
        if (pa_stream_get_state(m_stream) != PA_STREAM_READY) return false;
        return pa_stream_write(m_stream, samples, static_cast<size_t>(frames) * sizeof(float) * m_channels,
                               nullptr, 0, PA_SEEK_RELATIVE) == 0;
    }

private:
    pa_threaded_mainloop* m_loop;
    pa_stream* m_stream;
    int m_channels;
};

void SignalLoop(pa_threaded_mainloop* loop) { pa_threaded_mainloop_signal(loop, 0); }
void OnStreamState(pa_stream*, void* loop) { SignalLoop(static_cast<pa_threaded_mainloop*>(loop)); }

// Connects a new stream with connect(stream) and waits until it is ready; the stream, or null
// (and the stream freed) when it did not come up in time or was refused.
template <typename Connect>
pa_stream* ConnectStream(pa_threaded_mainloop* loop, pa_context* context, const char* name, const pa_sample_spec& format,
                         StreamWait* wait, Connect connect) {
    pa_stream* stream = pa_stream_new(context, name, &format, nullptr);
    if (!stream) return nullptr;
    pa_stream_set_state_callback(stream, &OnStreamState, loop);
    const auto settled = [stream] {
        const pa_stream_state_t state = pa_stream_get_state(stream);
        return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
    };
    bool ready = connect(stream) >= 0;
    if (ready) {
        wait->timedOut = !WaitLocked(loop, context, wait->timeoutMs, settled);
        ready = pa_stream_get_state(stream) == PA_STREAM_READY;
    }
    if (!ready) {
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        return nullptr;
    }
    return stream;
}

}  // namespace

bool WaitLocked(pa_threaded_mainloop* loop, pa_context* context, int timeoutMs, const std::function<bool()>& done) {
    if (done()) return true;
    const pa_usec_t deadline = pa_rtclock_now() + static_cast<pa_usec_t>(timeoutMs) * PA_USEC_PER_MSEC;
    pa_time_event* wake = pa_context_rttime_new(
        context, deadline,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* loop) {
            SignalLoop(static_cast<pa_threaded_mainloop*>(loop));
        },
        loop);
    bool met = false;
    while (!(met = done()) && pa_rtclock_now() < deadline) pa_threaded_mainloop_wait(loop);
    // A fired time event stays until freed; one that has not fired never will now.
    if (wake) pa_threaded_mainloop_get_api(loop)->time_free(wake);
    return met;
}

std::unique_ptr<ICaptureStream> OpenPulseCapture(pa_threaded_mainloop* loop, pa_context* context,
                                                 const std::string& source, const pa_sample_spec& format,
                                                 int fragmentMs, CaptureCallback callback, StreamWait* wait) {
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(fragmentMs * PA_USEC_PER_MSEC, &format));
    pa_stream* stream = ConnectStream(loop, context, "capture", format, wait, [&](pa_stream* s) {
        return pa_stream_connect_record(s, source.c_str(), &attr, PA_STREAM_ADJUST_LATENCY);
    });
    if (!stream) return nullptr;
    auto capture = std::make_unique<PulseCapture>(loop, stream, std::move(callback));
    capture->Start();
    return capture;
}

std::unique_ptr<IPlaybackStream> OpenPulsePlayback(pa_threaded_mainloop* loop, pa_context* context,
                                                   const std::string& sink, const pa_sample_spec& format, int bufferMs,
                                                   StreamWait* wait) {
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(bufferMs * PA_USEC_PER_MSEC, &format));
    attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    pa_stream* stream = ConnectStream(loop, context, "playback", format, wait, [&](pa_stream* s) {
        return pa_stream_connect_playback(s, sink.empty() ? nullptr : sink.c_str(), &attr, PA_STREAM_ADJUST_LATENCY,
                                          nullptr, nullptr);
    });
    if (!stream) return nullptr;
    return std::make_unique<PulsePlayback>(loop, stream, format.channels);
}

}  // namespace audio
}  // namespace mediatap
