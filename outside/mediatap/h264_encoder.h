// H.264 encoder over libavcodec's libx264 encoder, set up for live streaming: preset
// veryfast, zero-latency tuning, no B-frames, one slice per picture, a key frame every two
// seconds, Annex-B output with SPS and PPS in front of every key frame. The rate is capped by a
// one-second VBV at the target bitrate, so that the output follows a new target at once.
// Threads: one thread at a time (the encoding thread of a source).
#pragma once

#include "i420_frame.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace mediatap {

struct EncoderConfig {
    int width = 0;
    int height = 0;
    int fps = 15;
    int bitrateKbps = 800;
};

class H264Encoder {
public:
    virtual ~H264Encoder() = default;
    // Null (with a reason in error) when the encoder cannot be opened.
    static std::unique_ptr<H264Encoder> Create(const EncoderConfig& config, std::string* error);

    // Encodes one picture of the configured size; frameIndex counts frame periods since the
    // start (gaps allowed). forceKey makes this picture an IDR. On success out holds the
    // access unit (possibly empty) and keyFrame tells whether it is an IDR.
    virtual bool Encode(const I420Frame& frame, int64_t frameIndex, bool forceKey,
                        std::vector<uint8_t>* out, bool* keyFrame) = 0;
    // Encodes a picture that is the same as the one of the previous call (an unchanged
    // screen), as cheaply as the encoder allows; otherwise as Encode without forceKey.
    virtual bool EncodeSame(const I420Frame& frame, int64_t frameIndex, std::vector<uint8_t>* out,
                            bool* keyFrame) = 0;
    // The rate control's target (and its one-second VBV) from the next picture on, in kbit/s;
    // the stream goes on without a new key frame.
    virtual void SetBitrate(int kbps) = 0;
    virtual const EncoderConfig& Config() const = 0;
};

}  // namespace mediatap
