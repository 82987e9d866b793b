// Encoded media as tests feed it to the code under test: an H.264 byte stream (what ffmpeg
// writes with -f h264) cut into access units, and ADTS (-f adts) cut into raw AAC frames.
//
// Threads: pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct AccessUnit {
    std::vector<uint8_t> data;  // Annex-B, 4-byte start codes
    bool key = false;           // holds an IDR slice
};

// Splits an H.264 byte stream into access units: a new unit begins at a delimiter, a
// parameter set or SEI after a slice, or at a slice whose first macroblock is 0. Access unit
// delimiters stay in the units when keepDelimiters is true and are dropped otherwise.
std::vector<AccessUnit> SplitAccessUnits(const std::string& stream, bool keepDelimiters);

// Splits ADTS into raw AAC frames (appended to frames) and derives the AudioSpecificConfig
// from the first header (when config is empty). When whole is given, the same frames with
// their ADTS headers are appended to it. False when the stream is not whole ADTS frames or
// holds none.
bool SplitAdts(const std::string& stream, std::vector<std::vector<uint8_t>>* frames, std::vector<uint8_t>* config,
               std::vector<std::vector<uint8_t>>* whole = nullptr);

}  // namespace testsupport
