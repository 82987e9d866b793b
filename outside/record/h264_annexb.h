// H.264 byte-stream helpers of the recorder: Annex-B access units split into NAL units, the
// decoder configuration record (avcC) built from their parameter sets, and the
// length-prefixed form the containers store.
//
// Threads: pure functions, callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace record {

// One NAL unit inside a caller's buffer (header byte first, no start code).
struct NalUnit {
    const uint8_t* data = nullptr;
    size_t size = 0;
    int type() const { return size ? (data[0] & 0x1f) : -1; }
};

enum NalType { kNalSlice = 1, kNalIdr = 5, kNalSei = 6, kNalSps = 7, kNalPps = 8, kNalAud = 9 };

// The NAL units of an Annex-B buffer (3- or 4-byte start codes). Bytes before the first start
// code and the zero bytes that trail a unit are not part of any unit; empty units are left
// out. A buffer without a start code has no units.
std::vector<NalUnit> SplitAnnexB(const uint8_t* data, size_t size);

// What the recorder needs from a sequence parameter set.
struct SpsInfo {
    int profile = 0;
    int chromaFormat = 1;  // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
    int bitDepthLuma = 8;
    int bitDepthChroma = 8;
    int width = 0;         // displayed size, after cropping
    int height = 0;
};

// Reads a sequence parameter set unit (header byte included). False when it is not one or
// is cut short or malformed.
bool ParseSps(const NalUnit& sps, SpsInfo* info);

// The AVCDecoderConfigurationRecord with 4-byte lengths for the sequence and picture
// parameter sets among nals (each distinct set once, in order), with the chroma format and
// bit depth fields that the high profiles add. Empty when there is no usable sequence
// parameter set or no picture parameter set.
std::vector<uint8_t> BuildAvcC(const std::vector<NalUnit>& nals);

// nals as 4-byte big-endian length plus unit, one after the other; access-unit delimiters
// are dropped (they carry nothing once the units are framed by length).
std::vector<uint8_t> ToLengthPrefixed(const std::vector<NalUnit>& nals);

}  // namespace record
