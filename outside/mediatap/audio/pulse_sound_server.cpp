// The PulseAudio backend of ISoundServer: one threaded main loop and one context per object.
// Every request locks the main loop, issues one operation and waits for its callback; the
// stream callbacks run on the main loop's thread with its lock held.
//
// No wait on the server lasts longer than kAnswerTimeoutMs. A connected server that lets a
// request go unanswered that long (stopped, hung, swapped out) is taken as not answering: from
// then on calls fail at once, without a request, until a probe sent at that moment is answered.
// The connection and its streams stay as they are meanwhile, so they carry on when the server
// does. One log line marks the start and one the end of such a spell.
#include "pulse_streams.h"
#include "sound_server.h"

#include "common/slogger.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <mutex>

namespace mediatap {
namespace audio {
namespace {

constexpr int kAnswerTimeoutMs = 2000;
constexpr int kReconnectPauseMs = 3000;
constexpr int kCaptureFragmentMs = 10;
constexpr int kPlaybackBufferMs = 100;

int VolumeToPercent(const pa_cvolume& volume) {
    pa_volume_t avg = pa_cvolume_avg(&volume);
    return static_cast<int>(std::lround(static_cast<double>(avg) * 100.0 / PA_VOLUME_NORM));
}

pa_volume_t PercentToVolume(int percent) {
    return static_cast<pa_volume_t>(std::lround(static_cast<double>(percent) * PA_VOLUME_NORM / 100.0));
}

class PulseSoundServer final : public ISoundServer {
public:
    explicit PulseSoundServer(const std::string& clientName);
    ~PulseSoundServer() override;

    bool Connected() override;
    std::vector<SoundDevice> Sources() override;
    std::vector<SoundDevice> Sinks() override;
    std::string DefaultSource() override { return ServerDefault(true); }
    std::string DefaultSink() override { return ServerDefault(false); }
    std::string MonitorOf(const std::string& sink) override;
    bool SetSourceVolume(const std::string& source, int percent) override;
    bool GetSourceVolume(const std::string& source, int* percent) override;
    bool SetSinkVolume(const std::string& sink, int percent) override;
    bool GetSinkVolume(const std::string& sink, int* percent) override;
    bool SetSourceMute(const std::string& source, bool mute) override;
    bool GetSourceMute(const std::string& source, bool* mute) override;
    std::unique_ptr<ICaptureStream> OpenCapture(const std::string& source, SampleFormat* format,
                                                CaptureCallback callback) override;
    std::unique_ptr<IPlaybackStream> OpenPlayback(const std::string& sink, SampleFormat format) override;

    pa_threaded_mainloop* loop() { return m_loop; }

private:
    // With the main-loop lock held.
    bool EnsureContextLocked();
    void DropContextLocked();
    bool WaitOperationLocked(pa_operation* op);
    // The server let a request go unanswered: calls fail at once until the probe is answered.
    void NotAnsweringLocked();
    std::string ServerDefault(bool source);
    bool SourceInfo(const std::string& name, SampleFormat* format, pa_cvolume* volume, bool* mute);
    bool SinkInfo(const std::string& name, pa_cvolume* volume, std::string* monitor);
    bool ContextGood() const { return m_context && pa_context_get_state(m_context) == PA_CONTEXT_READY; }

    static void OnContextState(pa_context* context, void* self);
    static void OnSuccess(pa_context*, int success, void* result);
    static void OnProbe(pa_context*, const pa_server_info* info, void* self);

    std::string m_clientName;
    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;  // main-loop lock
    std::chrono::steady_clock::time_point m_lastAttempt;  // main-loop lock
    bool m_attempted = false;                           // main-loop lock
    bool m_reportedFailure = false;                     // main-loop lock
    bool m_notAnswering = false;                        // main-loop lock
    pa_operation* m_probe = nullptr;                    // main-loop lock; sent while not answering
};

PulseSoundServer::PulseSoundServer(const std::string& clientName) : m_clientName(clientName) {
    m_loop = pa_threaded_mainloop_new();
    if (m_loop && pa_threaded_mainloop_start(m_loop) < 0) {
        pa_threaded_mainloop_free(m_loop);
        m_loop = nullptr;
    }
    if (!m_loop) OV_LOG("sound server: no main loop; audio devices are unavailable");
}

PulseSoundServer::~PulseSoundServer() {
    if (!m_loop) return;
    {
        LoopLock lock(m_loop);
        DropContextLocked();
    }
    pa_threaded_mainloop_stop(m_loop);
    pa_threaded_mainloop_free(m_loop);
}

void PulseSoundServer::OnContextState(pa_context*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseSoundServer*>(self)->m_loop, 0);
}

void PulseSoundServer::OnSuccess(pa_context*, int success, void* result) {
    auto* pair = static_cast<std::pair<pa_threaded_mainloop*, bool>*>(result);
    pair->second = success != 0;
    pa_threaded_mainloop_signal(pair->first, 0);
}

void PulseSoundServer::OnProbe(pa_context*, const pa_server_info* info, void* self) {
    // No info: the request failed or libpulse gave up on it; the next call sends another.
    auto* server = static_cast<PulseSoundServer*>(self);
    if (info && server->m_notAnswering) {
        server->m_notAnswering = false;
        OV_LOG("sound server: answers again");
    }
}

void PulseSoundServer::NotAnsweringLocked() {
    if (m_notAnswering) return;
    m_notAnswering = true;
    if (!m_probe) m_probe = pa_context_get_server_info(m_context, &PulseSoundServer::OnProbe, this);
    OV_LOG("sound server: no answer within %d ms; audio devices are unavailable and the mixer encodes silence "
           "until it answers",
           kAnswerTimeoutMs);
}

void PulseSoundServer::DropContextLocked() {
    if (m_probe) {
        pa_operation_cancel(m_probe);
        pa_operation_unref(m_probe);
        m_probe = nullptr;
    }
    m_notAnswering = false;
    if (!m_context) return;
    pa_context_set_state_callback(m_context, nullptr, nullptr);
    pa_context_disconnect(m_context);
    pa_context_unref(m_context);
    m_context = nullptr;
}

bool PulseSoundServer::EnsureContextLocked() {
    if (ContextGood()) {
        if (!m_notAnswering) return true;
        // One probe at a time; its answer ends the spell.
        if (m_probe && pa_operation_get_state(m_probe) != PA_OPERATION_RUNNING) {
            pa_operation_unref(m_probe);
            m_probe = nullptr;
        }
        if (!m_notAnswering) return true;
        if (!m_probe) m_probe = pa_context_get_server_info(m_context, &PulseSoundServer::OnProbe, this);
        return false;
    }
    auto now = std::chrono::steady_clock::now();
    if (m_attempted && now - m_lastAttempt < std::chrono::milliseconds(kReconnectPauseMs)) return false;
    m_attempted = true;
    m_lastAttempt = now;
    DropContextLocked();
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), m_clientName.c_str());
    if (!m_context) return false;
    pa_context_set_state_callback(m_context, &PulseSoundServer::OnContextState, this);
    const char* why = nullptr;
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        why = pa_strerror(pa_context_errno(m_context));
    } else {
        const bool settled = WaitLocked(m_loop, m_context, kAnswerTimeoutMs, [this] {
            const pa_context_state_t state = pa_context_get_state(m_context);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        });
        if (!settled)
            why = "no answer in time";
        else if (!ContextGood())
            why = pa_strerror(pa_context_errno(m_context));
    }
    if (why) {
        if (!m_reportedFailure)
            OV_LOG("sound server: cannot connect (%s); no audio devices, the mixer encodes silence", why);
        m_reportedFailure = true;
        DropContextLocked();
        return false;
    }
    if (m_reportedFailure) OV_LOG("sound server: connected");
    m_reportedFailure = false;
    return true;
}

bool PulseSoundServer::WaitOperationLocked(pa_operation* op) {
    if (!op) return false;
    const bool settled = WaitLocked(m_loop, m_context, kAnswerTimeoutMs, [this, op] {
        return pa_operation_get_state(op) != PA_OPERATION_RUNNING || !ContextGood();
    });
    const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    // Cancelled, its callback (whose data lives on the caller's stack) is never called.
    if (!done) pa_operation_cancel(op);
    pa_operation_unref(op);
    if (!settled) NotAnsweringLocked();
    return done;
}

bool PulseSoundServer::Connected() {
    if (!m_loop) return false;
    LoopLock lock(m_loop);
    return EnsureContextLocked();
}

namespace {

// One info request, for a list or for one record by name: fill(info) for every record, and the
// waiting caller (main-loop lock held) signalled at the end.
template <typename Info>
struct InfoQuery {
    pa_threaded_mainloop* loop;
    std::function<void(const Info&)> fill;
    bool found = false;

    static void OnInfo(pa_context*, const Info* info, int eol, void* self) {
        auto* query = static_cast<InfoQuery*>(self);
        if (eol) {
            pa_threaded_mainloop_signal(query->loop, 0);
            return;
        }
        query->found = true;
        query->fill(*info);
    }
};

template <typename Info>
SoundDevice DeviceOf(const Info& info) {
    return {info.name ? info.name : "", info.description ? info.description : ""};
}

}  // namespace

std::vector<SoundDevice> PulseSoundServer::Sources() {
    if (!m_loop) return {};
    LoopLock lock(m_loop);
    if (!EnsureContextLocked()) return {};
    std::vector<SoundDevice> devices;
    InfoQuery<pa_source_info> query{m_loop, [&](const pa_source_info& info) {
        if (info.monitor_of_sink == PA_INVALID_INDEX) devices.push_back(DeviceOf(info));
    }};
    if (!WaitOperationLocked(pa_context_get_source_info_list(m_context, &decltype(query)::OnInfo, &query))) return {};
    return devices;
}

std::vector<SoundDevice> PulseSoundServer::Sinks() {
    if (!m_loop) return {};
    LoopLock lock(m_loop);
    if (!EnsureContextLocked()) return {};
    std::vector<SoundDevice> devices;
    InfoQuery<pa_sink_info> query{m_loop, [&](const pa_sink_info& info) { devices.push_back(DeviceOf(info)); }};
    if (!WaitOperationLocked(pa_context_get_sink_info_list(m_context, &decltype(query)::OnInfo, &query))) return {};
    return devices;
}

std::string PulseSoundServer::ServerDefault(bool source) {
    struct Result {
        pa_threaded_mainloop* loop;
        bool source;
        std::string name;
    } result{m_loop, source, {}};
    if (!m_loop) return {};
    LoopLock lock(m_loop);
    if (!EnsureContextLocked()) return {};
    pa_operation* op = pa_context_get_server_info(
        m_context,
        [](pa_context*, const pa_server_info* info, void* out) {
            auto* r = static_cast<Result*>(out);
            const char* name = info ? (r->source ? info->default_source_name : info->default_sink_name) : nullptr;
            if (name) r->name = name;
            pa_threaded_mainloop_signal(r->loop, 0);
        },
        &result);
    if (!WaitOperationLocked(op)) return {};
    return result.name;
}

bool PulseSoundServer::SourceInfo(const std::string& name, SampleFormat* format, pa_cvolume* volume, bool* mute) {
    if (!EnsureContextLocked() || name.empty()) return false;
    pa_sample_spec foundSpec{};
    pa_cvolume foundVolume{};
    bool foundMute = false;
    InfoQuery<pa_source_info> query{m_loop, [&](const pa_source_info& info) {
        foundSpec = info.sample_spec;
        foundVolume = info.volume;
        foundMute = info.mute != 0;
    }};
    if (!WaitOperationLocked(
            pa_context_get_source_info_by_name(m_context, name.c_str(), &decltype(query)::OnInfo, &query)) ||
        !query.found)
        return false;
    if (format) *format = {static_cast<int>(foundSpec.rate), foundSpec.channels};
    if (volume) *volume = foundVolume;
    if (mute) *mute = foundMute;
    return true;
}

bool PulseSoundServer::SinkInfo(const std::string& name, pa_cvolume* volume, std::string* monitor) {
    if (!EnsureContextLocked() || name.empty()) return false;
    pa_cvolume foundVolume{};
    std::string foundMonitor;
    InfoQuery<pa_sink_info> query{m_loop, [&](const pa_sink_info& info) {
        foundVolume = info.volume;
        if (info.monitor_source_name) foundMonitor = info.monitor_source_name;
    }};
    if (!WaitOperationLocked(
            pa_context_get_sink_info_by_name(m_context, name.c_str(), &decltype(query)::OnInfo, &query)) ||
        !query.found)
        return false;
    if (volume) *volume = foundVolume;
    if (monitor) *monitor = foundMonitor;
    return true;
}

std::string PulseSoundServer::MonitorOf(const std::string& sink) {
    if (!m_loop) return {};
    LoopLock lock(m_loop);
    std::string monitor;
    return SinkInfo(sink, nullptr, &monitor) ? monitor : std::string();
}

bool PulseSoundServer::SetSourceVolume(const std::string& source, int percent) {
    if (!m_loop || percent < 0 || percent > 100) return false;
    LoopLock lock(m_loop);
    pa_cvolume volume;
    if (!SourceInfo(source, nullptr, &volume, nullptr)) return false;
    pa_cvolume_set(&volume, volume.channels, PercentToVolume(percent));
    std::pair<pa_threaded_mainloop*, bool> ok{m_loop, false};
    return WaitOperationLocked(pa_context_set_source_volume_by_name(m_context, source.c_str(), &volume,
                                                                    &PulseSoundServer::OnSuccess, &ok)) &&
           ok.second;
}

bool PulseSoundServer::GetSourceVolume(const std::string& source, int* percent) {
    if (!m_loop || !percent) return false;
    LoopLock lock(m_loop);
    pa_cvolume volume;
    if (!SourceInfo(source, nullptr, &volume, nullptr)) return false;
    *percent = VolumeToPercent(volume);
    return true;
}

bool PulseSoundServer::SetSinkVolume(const std::string& sink, int percent) {
    if (!m_loop || percent < 0 || percent > 100) return false;
    LoopLock lock(m_loop);
    pa_cvolume volume;
    if (!SinkInfo(sink, &volume, nullptr)) return false;
    pa_cvolume_set(&volume, volume.channels, PercentToVolume(percent));
    std::pair<pa_threaded_mainloop*, bool> ok{m_loop, false};
    return WaitOperationLocked(pa_context_set_sink_volume_by_name(m_context, sink.c_str(), &volume,
                                                                  &PulseSoundServer::OnSuccess, &ok)) &&
           ok.second;
}

bool PulseSoundServer::GetSinkVolume(const std::string& sink, int* percent) {
    if (!m_loop || !percent) return false;
    LoopLock lock(m_loop);
    pa_cvolume volume;
    if (!SinkInfo(sink, &volume, nullptr)) return false;
    *percent = VolumeToPercent(volume);
    return true;
}

bool PulseSoundServer::SetSourceMute(const std::string& source, bool mute) {
    if (!m_loop) return false;
    LoopLock lock(m_loop);
    if (!SourceInfo(source, nullptr, nullptr, nullptr)) return false;
    std::pair<pa_threaded_mainloop*, bool> ok{m_loop, false};
    return WaitOperationLocked(pa_context_set_source_mute_by_name(m_context, source.c_str(), mute ? 1 : 0,
                                                                  &PulseSoundServer::OnSuccess, &ok)) &&
           ok.second;
}

bool PulseSoundServer::GetSourceMute(const std::string& source, bool* mute) {
    if (!m_loop || !mute) return false;
    LoopLock lock(m_loop);
    return SourceInfo(source, nullptr, nullptr, mute);
}

std::unique_ptr<ICaptureStream> PulseSoundServer::OpenCapture(const std::string& source, SampleFormat* format,
                                                              CaptureCallback callback) {
    if (!m_loop || !callback) return nullptr;
    LoopLock lock(m_loop);
    SampleFormat native;
    if (!SourceInfo(source, &native, nullptr, nullptr)) return nullptr;
    pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, static_cast<uint32_t>(native.rate),
                              static_cast<uint8_t>(std::min(native.channels, 2))};
    if (!pa_sample_spec_valid(&sampleSpec)) return nullptr;
    StreamWait wait{kAnswerTimeoutMs};
    auto capture =
        OpenPulseCapture(m_loop, m_context, source, sampleSpec, kCaptureFragmentMs, std::move(callback), &wait);
    if (wait.timedOut && ContextGood()) NotAnsweringLocked();
    if (capture && format) *format = {static_cast<int>(sampleSpec.rate), sampleSpec.channels};
    return capture;
}

std::unique_ptr<IPlaybackStream> PulseSoundServer::OpenPlayback(const std::string& sink, SampleFormat format) {
    if (!m_loop || format.rate <= 0 || format.channels <= 0 || format.channels > 2) return nullptr;
    LoopLock lock(m_loop);
    if (!EnsureContextLocked()) return nullptr;
    pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, static_cast<uint32_t>(format.rate),
                              static_cast<uint8_t>(format.channels)};
    if (!pa_sample_spec_valid(&sampleSpec)) return nullptr;
    StreamWait wait{kAnswerTimeoutMs};
    auto playback = OpenPulsePlayback(m_loop, m_context, sink, sampleSpec, kPlaybackBufferMs, &wait);
    if (wait.timedOut && ContextGood()) NotAnsweringLocked();
    return playback;
}

}  // namespace

std::unique_ptr<ISoundServer> CreatePulseSoundServer(const std::string& clientName) {
    return std::make_unique<PulseSoundServer>(clientName);
}

}  // namespace audio
}  // namespace mediatap
