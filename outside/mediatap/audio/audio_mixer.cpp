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

constexpr int64_t kRetryUs = 3000000;      // a source that failed to open is tried again after this
constexpr int64_t kLookupUs = 1000000;     // the sound card (the default sink's monitor) is looked up this often
constexpr int kWatchMs = 100;              // open sources are checked this often
constexpr int64_t kMaxBehindUs = 2000000;  // further behind than this, the clock starts over

// One captured source's queue. The feed is made on the capture thread at the first block, once
// the source's format is known. The mixer thread pulls from it; it may hold on to it for a
// frame after the source was closed.
struct FeedSlot {
    std::mutex lock;
    SampleFormat in;   // filled by OpenCapture before the first block
    SampleFormat out;  // the mixer's format
    std::unique_ptr<CaptureFeed> feed;

    int Queued() {
        std::lock_guard<std::mutex> guard(lock);
        return feed ? feed->Queued() : 0;
    }
};

// Frames that came from the slot's source (none without a slot); out always gets `frames` frames.
int Pull(FeedSlot* slot, float* out, int frames, int channels, int64_t* firstUs, int primeMs) {
    if (slot) {
        std::lock_guard<std::mutex> guard(slot->lock);
        if (slot->feed) return slot->feed->Pull(out, frames, firstUs, primeMs);
    }
    std::fill(out, out + static_cast<size_t>(frames) * channels, 0.0f);
    return 0;
}

// One source as the source thread holds it.
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

    void Close(int64_t retryAtUs) {
        m_stream.reset();  // no callback runs after this
        m_slot.reset();
        m_nextTryUs = retryAtUs;
    }

    bool open() const { return m_stream != nullptr; }
    const std::shared_ptr<FeedSlot>& slot() const { return m_slot; }

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

// The mixer's sources, looked up, opened, watched and closed on a thread of their own: a sound
// server call may take as long as the server's bound on a wait, and the mixer's clock must not
// wait for it. The mixer thread says what it wants and takes the feeds as they are.
class SourceKeeper {
public:
    SourceKeeper(ISoundServer* server, SampleFormat out, std::function<void()> onData)
        : m_server(server), m_card(server, out, onData), m_mic(server, out, onData) {
        m_thread = std::thread([this] {
            pthread_setname_np(pthread_self(), "mixer_sources");
            Run();
        });
    }
    // Returns once a server call in progress has returned; the sources are closed then.
    ~SourceKeeper() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    // The microphone to capture ("" none) and whether to capture the sound card.
    void Want(const std::string& mic, bool card) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (mic == m_wantMic && card == m_wantCard) return;
            m_wantMic = mic;
            m_wantCard = card;
            m_changed = true;
        }
        m_wake.notify_all();
    }
    // The feeds of the open sources (null while closed).
    std::shared_ptr<FeedSlot> card() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_cardSlot;
    }
    std::shared_ptr<FeedSlot> mic() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_micSlot;
    }

private:
    void Run() {
        std::string cardSource;
        int64_t nextLookupUs = 0;
        std::unique_lock<std::mutex> lock(m_lock);
        for (;;) {
            m_wake.wait_for(lock, std::chrono::milliseconds(kWatchMs), [this] { return m_stop || m_changed; });
            if (m_stop) break;
            m_changed = false;
            const std::string wantMic = m_wantMic;
            const bool wantCard = m_wantCard;
            lock.unlock();
            const int64_t nowUs = Orvane::Common::ovMonotonicUs();
            if (wantCard && m_server && !m_card.open() && nowUs >= nextLookupUs) {
                // The sound card is whatever the default sink is when the mixer looks.
                nextLookupUs = nowUs + kLookupUs;
                const std::string sink = m_server->Connected() ? m_server->DefaultSink() : std::string();
                cardSource = sink.empty() ? std::string() : m_server->MonitorOf(sink);
            }
            if (!Stopping()) m_card.Want(wantCard ? cardSource : std::string(), Orvane::Common::ovMonotonicUs());
            if (!Stopping()) m_mic.Want(wantMic, Orvane::Common::ovMonotonicUs());
            lock.lock();
            m_cardSlot = m_card.slot();
            m_micSlot = m_mic.slot();
        }
        m_cardSlot.reset();
        m_micSlot.reset();
        lock.unlock();
        m_card.Close(0);
        m_mic.Close(0);
    }

    bool Stopping() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_stop;
    }

    ISoundServer* const m_server;
    MixerInput m_card;  // source thread
    MixerInput m_mic;   // source thread

    std::mutex m_lock;  // guards the members below
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_changed = true;
    std::string m_wantMic;
    bool m_wantCard = false;
    std::shared_ptr<FeedSlot> m_cardSlot;
    std::shared_ptr<FeedSlot> m_micSlot;
    std::thread m_thread;
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
    AutoGain agc(out.rate);
    std::map<int64_t, int64_t> captureTimes;  // frame pts -> capture time of its first sample
    const int64_t frameUs = frameSize * 1000000LL / out.rate;
    FrameTimeline timeline(frameUs);
    int64_t frame = 0;
    SourceKeeper sources(m_server, out, wake);
    OV_LOG("mixer: started, %d Hz, %d channel(s), %d kbit/s", out.rate, out.channels, m_config.bitrateKbps);

    for (;;) {
        const int64_t dueUs = startUs + frame * frameSize * 1000000LL / out.rate;
        // The source that paces the mix (the sound card, else the microphone): a frame goes out
        // as soon as it has one whole, not when the clock next ticks. The clock, a margin later,
        // stands in when it has nothing (then the frame holds what there is, or silence).
        const std::shared_ptr<FeedSlot> card = sources.card();
        const std::shared_ptr<FeedSlot> microphone = sources.mic();
        FeedSlot* pacer = card ? card.get() : microphone.get();
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
        sources.Want(wantMic, wantCard);

        int64_t firstUs = 0;
        int64_t micFirstUs = 0;
        // The pacing source is taken only whole frames at a time, so it needs no margin.
        Pull(card.get(), mix.data(), frameSize, out.channels, &firstUs, pacer == card.get() ? 0 : CaptureFeed::kPrimeMs);
        if (Pull(microphone.get(), mic.data(), frameSize, out.channels, &micFirstUs,
                 pacer == microphone.get() ? 0 : CaptureFeed::kPrimeMs) > 0) {
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

        const int64_t nowUs = Orvane::Common::ovMonotonicUs();
        // The clock follows the pacing source: the next frame is due a frame after this one.
        if (paced) startUs = nowUs - frame * frameSize * 1000000LL / out.rate + frameUs;
        if (nowUs - dueUs > kMaxBehindUs) {
            // Held up for long (a suspended process): start the clock again
            // rather than encoding a burst of catch-up frames.
            OV_LOG("mixer: %lld ms behind its clock; clock restarted", static_cast<long long>((nowUs - dueUs) / 1000));
            startUs = nowUs - frame * frameSize * 1000000LL / out.rate;
        }
    }
    OV_LOG("mixer: stopped after %lld frames", static_cast<long long>(frame));
}

}  // namespace audio
}  // namespace mediatap
