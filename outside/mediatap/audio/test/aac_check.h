// Test helpers: decoding the mixer's AAC with libavcodec, measuring tones, and a sink that
// records what the engine hands it.
#pragma once

#include "mediatap/IMediaTap.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace audiotest {

struct Decoded {
    bool ok = false;
    std::string error;
    int rate = 0;
    int channels = 0;
    int frames = 0;              // AAC frames decoded
    std::vector<float> samples;  // first channel
};

// Decodes raw AAC frames with the AudioSpecificConfig as the decoder's configuration.
Decoded DecodeAac(const std::vector<uint8_t>& config, const std::vector<std::vector<uint8_t>>& frames);

// Amplitude of the `hz` component (a pure tone of peak A gives about A).
double ToneAmplitude(const std::vector<float>& samples, int rate, double hz, size_t from = 0);
// Frequency from the count of rising zero crossings.
double ZeroCrossingHz(const std::vector<float>& samples, int rate, size_t from = 0);
double Rms(const std::vector<float>& samples, size_t from = 0);

struct MixerFrame {
    std::vector<uint8_t> data;
    std::chrono::steady_clock::time_point at;
};

// Records the mixer's calls; counts any other calls.
class RecordingAudioSink : public IMediaTapSink {
public:
    int OnSendVideoPacketCount(const char*) override { return 0; }
    int OnRtpVideoData(const char*, const unsigned char*, int, bool, unsigned int) override { return 0; }
    int OnAudioData(int, int, const unsigned char*, int, int, unsigned int) override { return 0; }
    int OnMixerAudioData(const char* uniName, const unsigned char* data, int len) override;
    int OnMixerAudioHeaderData(const char* uniName, char* header, int len) override;
    int OnMixerAudioDataAt(const char* uniName, const unsigned char* data, int len, unsigned) override {
        return OnMixerAudioData(uniName, data, len);
    }

    std::vector<uint8_t> Header();
    int HeaderCount();
    bool FramesBeforeHeader();
    std::vector<std::vector<uint8_t>> Frames(size_t skip = 0);
    std::vector<MixerFrame> TimedFrames();
    size_t FrameCount();
    std::string LastName();
    void Clear();

private:
    std::mutex m_lock;
    std::vector<uint8_t> m_header;
    int m_headerCount = 0;
    bool m_framesBeforeHeader = false;
    std::vector<MixerFrame> m_frames;
    std::string m_name;
};

}  // namespace audiotest
