// AAC-LC encoding through libavcodec's own AAC encoder: interleaved float samples in, raw AAC
// frames (no ADTS header) out, with the AudioSpecificConfig that a decoder needs.
//
// Threads: one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mediatap {
namespace audio {

class AacEncoder {
public:
    // pts: the stream position in samples per channel of the frame's first sample.
    using PacketCallback = std::function<void(const uint8_t* data, int len, int64_t pts)>;

    AacEncoder();
    ~AacEncoder();
    AacEncoder(const AacEncoder&) = delete;
    AacEncoder& operator=(const AacEncoder&) = delete;

    // False with *error set for a rate, channel count or bit rate the encoder refuses.
    bool Open(int sampleRate, int channels, int bitrateKbps, std::string* error);
    // Samples per channel in one frame (1024 for AAC-LC).
    int frameSize() const;
    // The AudioSpecificConfig: 2 bytes.
    const std::vector<uint8_t>& audioSpecificConfig() const { return m_config; }
    // Encodes exactly frameSize() frames of interleaved samples (pts = their position) and
    // hands every packet that is ready to the callback. False on an encoder failure.
    bool Encode(const float* interleaved, int64_t pts, const PacketCallback& callback);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    std::vector<uint8_t> m_config;
};

// Whether AAC can describe this sample rate (the table of the AudioSpecificConfig).
bool AacRateSupported(int sampleRate);

}  // namespace audio
}  // namespace mediatap
