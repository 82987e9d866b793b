#include "audio_mixer.h"

#include "aac_encoder.h"
#include "audio_dsp.h"
#include "capture_feed.h"
#include "frame_timeline.h"
#include "common/slogger.h"
#include "common/util.h"

#include <chrono>
#include <map>
#include <vector>

namespace mediatap {
namespace audio {
namespace {

constexpr int64_t kRetryUs = 3000000;      // a missing source is tried again after this
constexpr int64_t kMaxBehindUs = 2000000;  // further behind than this, the clock starts over

// One captured source as the mixer thread holds it. The feed is made on the capture thread at
// the first block, once the source's format is known.
struct FeedSlot {
    std::mutex lock;
    SampleFormat in;   // filled by OpenCapture before the first block
    SampleFormat out;  // the mixer's format
    std::unique_ptr<CaptureFeed> feed;
};

class MixerInput {
public:
    // onData is called on the capture thread after each block (with no lock of the input held).
    MixerInput(ISoundServer* server, SampleFormat out, std::function<void()> onData)
        : m_server(server), m_out(out), m_onData(std::move(onData)) {}

    // Opens `source` (closing what was open before); "" closes.
    void Want(const std::string& source, int64_t nowUs) {
        if (source == m_name && (m_stream || nowUs < m_nextTryUs)) {
            if (m_stream && !m_stream->Alive()) Close(nowUs);  // dropped by the server: retry later
            return;
        }
        if (source != m_name) {
            Close(0);
            m_name = source;
        }
        if (m_name.empty() || !m_server) return;
        m_nextTryUs = nowUs + kRetryUs;
        auto slot = std::make_shared<FeedSlot>();
        slot->out = m_out;
        std::function<void()> onData = m_onData;
        std::unique_ptr<ICaptureStream> stream =
            m_server->OpenCapture(m_name, &slot->in, [slot, onData](const float* samples, int frames) {
                {
                    std::lock_guard<std::mutex> lock(slot->lock);
                    if (!slot->feed) slot->feed = std::make_unique<CaptureFeed>(slot->in, slot->out);
                    slot->feed->Push(samples, frames, Orvane::Common::ovMonotonicUs());
                }
                if (onData) onData();
            });
        if (!stream) {
            if (!m_failedLogged) OV_LOG("mixer: cannot capture \"%s\"; retrying", m_name.c_str());
            m_failedLogged = true;
            return;
        }
        m_failedLogged = false;
        m_stream = std::move(stream);
        m_slot = std::move(slot);
    }

    // Frames queued now (0 when nothing is open).
    int Queued() {
        if (!m_slot) return 0;
        std::lock_guard<std::mutex> lock(m_slot->lock);
        return m_slot->feed ? m_slot->feed->Queued() : 0;
    }

    // Frames that came from the source; out always gets `frames` frames.
    int Pull(float* out, int frames, int64_t* firstUs, int primeMs) {
        if (!m_slot) {
            std::fill(out, out + static_cast<size_t>(frames) * m_out.channels, 0.0f);
            return 0;
        }
        std::lock_guard<std::mutex> lock(m_slot->lock);
        if (!m_slot->feed) {
            std::fill(out, out + static_cast<size_t>(frames) * m_out.channels, 0.0f);
            return 0;
        }
        return m_slot->feed->Pull(out, frames, firstUs, primeMs);
    }

    void Close(int64_t retryAtUs) {
        m_stream.reset();  // no callback runs after this
        m_slot.reset();
        m_nextTryUs = retryAtUs;
    }

    const std::string& name() const { return m_name; }
    bool open() const { return m_stream != nullptr; }

private:
    ISoundServer* m_server;
    SampleFormat m_out;
    std::string m_name;
    std::unique_ptr<ICaptureStream> m_stream;
    std::shared_ptr<FeedSlot> m_slot;
    int64_t m_nextTryUs = 0;
    bool m_failedLogged = false;
    std::function<void()> m_onData;
};

}  // namespace

AudioMixer::AudioMixer(ISoundServer* server, HeaderCallback onHeader, FrameCallback onFrame)
    : m_server(server), m_onHeader(std::move(onHeader)), m_onFrame(std::move(onFrame)) {}

AudioMixer::~AudioMixer() { Stop(); }

bool AudioMixer::Start(const MixerConfig& config, std::string* error) {
    Stop();
    auto encoder = std::make_shared<AacEncoder>();
    if (!encoder->Open(config.sampleRate, config.channels, config.bitrateKbps, error)) return false;
    m_config = config;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = false;
        m_announce = true;
    }
    const int64_t startUs = Orvane::Common::ovMonotonicUs();
    m_thread = std::thread([this, encoder, startUs] {
        pthread_setname_np(pthread_self(), "audio_mixer");
        Run(startUs, *encoder);
    });
    return true;
}

void AudioMixer::Stop() {
    if (!m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void AudioMixer::SetMicrophone(const std::string& source) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_wantMic = source;
}

void AudioMixer::SetSoundCard(bool on) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_wantCard = on;
}

void AudioMixer::SetAutoGain(bool on) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_wantAgc = on;
}

void AudioMixer::AnnounceHeader() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_announce = true;
}

void AudioMixer::Run(int64_t startUs, AacEncoder& encoder) {
    const SampleFormat out{m_config.sampleRate, m_config.channels};
    const int frameSize = encoder.frameSize();
    const size_t samples = static_cast<size_t>(frameSize) * out.channels;
    std::vector<float> mix(samples), mic(samples);
    // A block from a source wakes the mixer, which may have a frame to send.
    auto wake = [this] {
        { std::lock_guard<std::mutex> lock(m_lock); }
        m_wake.notify_all();
    };
    MixerInput card(m_server, out, wake), microphone(m_server, out, wake);
    AutoGain agc(out.rate);
    std::map<int64_t, int64_t> captureTimes;  // frame pts -> capture time of its first sample
    const int64_t frameUs = frameSize * 1000000LL / out.rate;
    FrameTimeline timeline(frameUs);
    std::string cardSource;
    int64_t nextCardLookupUs = 0;
    int64_t frame = 0;
    OV_LOG("mixer: started, %d Hz, %d channel(s), %d kbit/s", out.rate, out.channels, m_config.bitrateKbps);

    for (;;) {
        const int64_t dueUs = startUs + frame * frameSize * 1000000LL / out.rate;
        // The source that paces the mix (the sound card, else the microphone): a frame goes out
        // as soon as it has one whole, not when the clock next ticks. The clock, a margin later,
        // stands in when it has nothing (then the frame holds what there is, or silence).
        MixerInput* pacer = card.open() ? &card : microphone.open() ? &microphone : nullptr;
        const int64_t deadlineUs = dueUs + (pacer ? CaptureFeed::kPrimeMs * 1000LL : 0);
        std::string wantMic;
        bool wantCard, announce;
        bool paced = false;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_wake.wait_until(lock, std::chrono::steady_clock::time_point(std::chrono::microseconds(deadlineUs)),
                              [&] { return m_stop || (paced = pacer && pacer->Queued() >= frameSize); });
            if (m_stop) break;
            wantMic = m_wantMic;
            wantCard = m_wantCard;
            agc.SetEnabled(m_wantAgc);
            announce = m_announce;
            m_announce = false;
        }
        if (announce && m_onHeader) {
            const std::vector<uint8_t>& config = encoder.audioSpecificConfig();
            m_onHeader(config.data(), static_cast<int>(config.size()));
        }

        int64_t nowUs = Orvane::Common::ovMonotonicUs();
        if (wantCard && m_server && !card.open() && nowUs >= nextCardLookupUs) {
            // The sound card is whatever the default sink is when the mixer looks.
            nextCardLookupUs = nowUs + kRetryUs;
            std::string sink = m_server->Connected() ? m_server->DefaultSink() : std::string();
            cardSource = sink.empty() ? std::string() : m_server->MonitorOf(sink);
        }
        card.Want(wantCard ? cardSource : std::string(), nowUs);
        microphone.Want(wantMic, nowUs);

        int64_t firstUs = 0;
        int64_t micFirstUs = 0;
        // The pacing source is taken only whole frames at a time, so it needs no margin.
        card.Pull(mix.data(), frameSize, &firstUs, pacer == &card ? 0 : CaptureFeed::kPrimeMs);
        if (microphone.Pull(mic.data(), frameSize, &micFirstUs, pacer == &microphone ? 0 : CaptureFeed::kPrimeMs) > 0) {
            agc.Process(mic.data(), samples, out.channels);
            MixInto(mix.data(), mic.data(), samples);
            if (micFirstUs && (!firstUs || micFirstUs < firstUs)) firstUs = micFirstUs;
        }
        // Before anything was captured: a primed queue holds about a frame and the margin.
        const int64_t guessUs = dueUs - frameUs - CaptureFeed::kPrimeMs * 1000LL;
        const int64_t pts = frame * frameSize;
        captureTimes[pts] = timeline.Next(firstUs, guessUs);
        bool ok = encoder.Encode(mix.data(), pts, [&](const uint8_t* data, int len, int64_t packetPts) {
            // A packet decodes to the samples from its pts on (the encoder's priming packet
            // comes before the first frame, with a negative pts).
            int64_t captureUs = 0;
            auto it = captureTimes.lower_bound(packetPts);
            if (it != captureTimes.end())
                captureUs = it->second - (it->first - packetPts) * 1000000LL / out.rate;
            captureTimes.erase(captureTimes.begin(), captureTimes.upper_bound(packetPts));
            if (m_onFrame) m_onFrame(data, len, captureUs);
        });
        if (!ok) {
            OV_LOG("mixer: encoding failed; the mixer stops");
            break;
        }
        if (captureTimes.size() > 64) captureTimes.erase(captureTimes.begin());
        ++frame;

        nowUs = Orvane::Common::ovMonotonicUs();
        // The clock follows the pacing source: the next frame is due a frame after this one.
        if (paced) startUs = nowUs - frame * frameSize * 1000000LL / out.rate + frameUs;
        if (nowUs - dueUs > kMaxBehindUs) {
            // Held up for long (a suspended process, a stalled server): start the clock again
            // rather than encoding a burst of catch-up frames.
            OV_LOG("mixer: %lld ms behind its clock; clock restarted", static_cast<long long>((nowUs - dueUs) / 1000));
            startUs = nowUs - frame * frameSize * 1000000LL / out.rate;
        }
    }
    card.Close(0);
    microphone.Close(0);
    OV_LOG("mixer: stopped after %lld frames", static_cast<long long>(frame));
}

}  // namespace audio
}  // namespace mediatap
