// Byte layout of the encoded video frames the engine hands to its sink.
//
// Every frame is one H.264 access unit behind a 12-byte RTP-style header:
//   0x80, 0xE0, sequence (16 bits), timestamp at 90 kHz (32 bits), source id (32 bits),
//   all big-endian.
// The access unit after it is Annex-B and laid out for the RTMP publisher, which finds the
// parameter sets and slices by start code instead of parsing lengths:
//   key frame:   00 00 00 01 SPS  00 00 00 01 PPS  [00 00 01 SEI]...  00 00 01 IDR slice
//   inter frame: 00 00 00 01 slice
// No access unit delimiters; the publisher strips exactly four bytes in front of an inter
// frame and takes everything from the first slice to the end as one NAL unit, so the engine
// emits a single slice per picture.
//
// Pure functions and a small stateful builder; no platform calls.
// Threads: FrameBuilder is used by one thread at a time; the functions are re-entrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mediatap {

enum : int { kRtpHeaderSize = 12 };

// Writes the 12-byte header at out.
void WriteRtpHeader(uint8_t* out, uint16_t sequence, uint32_t timestamp90k, uint32_t sourceId);

struct RtpHeader {
    uint16_t sequence = 0;
    uint32_t timestamp90k = 0;
    uint32_t sourceId = 0;
};
// Reads a header written by WriteRtpHeader; false when len is short or the first two bytes
// are not 0x80 0xE0.
bool ReadRtpHeader(const uint8_t* data, size_t len, RtpHeader* out);

// Turns the encoder's access units into the frames of the sink, header included.
class FrameBuilder {
public:
    explicit FrameBuilder(uint32_t sourceId) : m_sourceId(sourceId) {}

    // Builds the frame for one access unit. A key frame without SPS or PPS of its own gets the
    // last ones seen (false when none was ever seen); access unit delimiters and filler are
    // dropped; an inter frame keeps only its slices. False (out emptied) when nothing that can
    // be sent remains.
    bool Build(const uint8_t* au, size_t len, bool keyFrame, uint32_t timestampMs,
               std::vector<uint8_t>* out);

private:
    uint32_t m_sourceId;
    uint16_t m_sequence = 0;
    std::vector<uint8_t> m_sps;
    std::vector<uint8_t> m_pps;
};

}  // namespace mediatap
