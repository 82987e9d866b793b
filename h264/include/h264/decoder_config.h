// The H.264 sequence parameter set fields the stack needs, and the decoder configuration
// record (AVCDecoderConfigurationRecord of ISO/IEC 14496-15) that FLV sequence headers and
// MP4/Matroska tracks carry, built and parsed.
//
// Every length is checked before it is read; a record or parameter set that is cut short or
// malformed is refused.
// Threads: pure functions, callable from any thread.
#pragma once

#include "h264/nal_units.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace h264 {

struct SpsInfo {
    int profile = 0;
    int chromaFormat = 1;  // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
    int bitDepthLuma = 8;
    int bitDepthChroma = 8;
    int width = 0;  // displayed size, after cropping
    int height = 0;
};

// Reads a sequence parameter set unit (header byte included). False when it is not one or is
// cut short or malformed.
bool ParseSps(const NalUnit& sps, SpsInfo* info);

// Profiles whose decoder configuration record ends with chroma format, bit depths and the
// sequence parameter set extensions (100, 110, 122 and 144).
bool RecordHasHighFields(int profile);

// The record with 4-byte NAL lengths for the given parameter sets, in order. For the profiles
// above, the chroma format and bit depths come from the first sequence parameter set (the
// fields are left out when it cannot be parsed). Empty when a list is empty or too long for
// the record (31 SPS, 255 PPS), the first SPS is shorter than its profile and level bytes, or
// a set is longer than a 16-bit length.
std::vector<uint8_t> BuildDecoderConfig(const std::vector<NalUnit>& sps, const std::vector<NalUnit>& pps);

// The record for the distinct sequence and picture parameter sets among nals (each once, in
// the order they first appear). Empty as above.
std::vector<uint8_t> BuildAvcC(const std::vector<NalUnit>& nals);

struct DecoderConfig {
    int profile = 0;
    int compatibility = 0;
    int level = 0;
    int lengthSize = 4;  // bytes of each NAL length in the samples: 1, 2 or 4
    std::vector<NalUnit> sps;  // pointing into the parsed record
    std::vector<NalUnit> pps;
    bool hasHighFields = false;
    int chromaFormat = 1;
    int bitDepthLuma = 8;
    int bitDepthChroma = 8;
    std::vector<NalUnit> spsExt;
};

// Parses a record. The fields of the high profiles are read when the record holds them
// (writers that leave them out are accepted). False when the version is not 1, the length
// size is 3, or a count or length claims more than the record holds.
bool ParseDecoderConfig(const uint8_t* data, size_t size, DecoderConfig* config);

}  // namespace h264
