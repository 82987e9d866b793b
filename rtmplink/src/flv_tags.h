// Byte layouts of the FLV video and audio tag bodies that travel as RTMP media messages.
// Pure functions over caller buffers: every length is checked before it is read, and a
// frame that does not have the parts a layout needs is refused, never read past.
// Threads: any; no shared state.
#pragma once

#include "h264/nal_units.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rtmplink {

using h264::NalUnit;
using h264::SplitAnnexB;

enum class KeyFrameError {
    kNone,
    kNoStartCode,       // shorter than its start codes, or none at all
    kNoSps,             // no SPS (or one too short to carry profile and level)
    kNoPps,             // no PPS after the SPS
    kNoPictureAfterPps, // neither SEI nor IDR after the PPS
    kNoIdr,             // no IDR slice
    kParameterSetTooLong,  // SPS or PPS longer than the 16-bit length of the record allows
};
const char* KeyFrameErrorText(KeyFrameError error);

// The parts of a key frame access unit: SPS, PPS, and the NAL units from the first IDR
// slice to the end of the access unit.
struct KeyFrameParts {
    NalUnit sps;
    NalUnit pps;
    std::vector<NalUnit> picture;
};
KeyFrameError ParseKeyFrame(const uint8_t* data, size_t len, KeyFrameParts* parts);

// 17 00 00 00 00, then the AVCDecoderConfigurationRecord: 01, profile, compatibility, level,
// FF, E1, SPS length (16 bits), SPS, 01, PPS length (16 bits), PPS (16 + SPS + PPS bytes),
// and for the High profiles chroma format, bit depths and no SPS extensions (4 bytes more).
void BuildSequenceHeader(const NalUnit& sps, const NalUnit& pps, std::vector<uint8_t>* body);
// 17 01 00 00 00 (key) or 27 01 00 00 00 (inter), then each NAL unit behind its 32-bit
// big-endian length.
void BuildPictureBody(bool keyFrame, const std::vector<NalUnit>& nals, std::vector<uint8_t>* body);

// FLV sound-header byte for the audio type given with a frame: 0 Speex (BE), 1 AAC (AF),
// 2 MP3 (2F), anything else AF.
uint8_t AudioHeaderByte(int audioType);
// Type 1: AF 01 + raw AAC frame. Other types: header byte + frame.
void BuildAudioBody(int audioType, const uint8_t* data, size_t len, std::vector<uint8_t>* body);
// AF 00 + AudioSpecificConfig.
void BuildAacSequenceHeader(const std::vector<uint8_t>& config, std::vector<uint8_t>* body);

}  // namespace rtmplink
