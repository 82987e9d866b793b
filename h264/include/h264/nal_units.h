// H.264 NAL units as they travel: Annex-B byte streams (start codes) and the length-prefixed
// form of containers and FLV, with the conversion between the two.
//
// Every function reads only within the buffer it is given; input may come from the network.
// Threads: pure functions, callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace h264 {

enum NalType : int {
    kNalSlice = 1,
    kNalIdr = 5,
    kNalSei = 6,
    kNalSps = 7,
    kNalPps = 8,
    kNalAud = 9,
    kNalSpsExt = 13,
};

// One NAL unit inside a caller's buffer: the header byte and what follows, no start code.
struct NalUnit {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t startCodeSize = 0;  // 3 or 4 when it came from an Annex-B buffer, else 0
    int type() const { return size ? (data[0] & 0x1F) : -1; }
};

// Slices of either kind (non-IDR partitions included).
inline bool IsSlice(int type) { return type >= kNalSlice && type <= kNalIdr; }

// The NAL units of an Annex-B buffer (3- or 4-byte start codes). Bytes before the first start
// code and the zero bytes that trail a unit are not part of any unit; empty units are left
// out. A buffer without a start code has no units.
std::vector<NalUnit> SplitAnnexB(const uint8_t* data, size_t size);

// Appends each unit behind a big-endian length of lengthSize bytes (1, 2 or 4). Units whose
// size does not fit the length field are left out.
void AppendLengthPrefixed(const std::vector<NalUnit>& nals, int lengthSize, std::vector<uint8_t>* out);

// The units of a length-prefixed buffer. False (units so far kept in *nals) when a length
// claims more than is left, or trailing bytes are too few for a length field.
bool SplitLengthPrefixed(const uint8_t* data, size_t size, int lengthSize, std::vector<NalUnit>* nals);

// Appends each unit behind a 4-byte start code (00 00 00 01).
void AppendAnnexB(const std::vector<NalUnit>& nals, std::vector<uint8_t>* out);

}  // namespace h264
