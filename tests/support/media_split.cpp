#include "support/media_split.h"

#include "h264/nal_units.h"

namespace testsupport {

std::vector<AccessUnit> SplitAccessUnits(const std::string& stream, bool keepDelimiters) {
    using namespace h264;
    const auto* d = reinterpret_cast<const uint8_t*>(stream.data());
    std::vector<AccessUnit> units;
    AccessUnit cur;
    bool hasSlice = false;
    for (const NalUnit& nal : SplitAnnexB(d, stream.size())) {
        const int type = nal.type();
        const bool slice = type == kNalSlice || type == kNalIdr;
        const bool firstSlice = slice && nal.size > 1 && (nal.data[1] & 0x80);
        if (hasSlice && (type == kNalAud || type == kNalSps || type == kNalPps || type == kNalSei || firstSlice)) {
            units.push_back(cur);
            cur = AccessUnit();
            hasSlice = false;
        }
        if (type == kNalAud && !keepDelimiters) continue;
        AppendAnnexB({nal}, &cur.data);
        if (type == kNalIdr) cur.key = true;
        hasSlice = hasSlice || slice;
    }
    if (hasSlice) units.push_back(cur);
    return units;
}

bool SplitAdts(const std::string& stream, std::vector<std::vector<uint8_t>>* frames, std::vector<uint8_t>* config,
               std::vector<std::vector<uint8_t>>* whole) {
    const auto* d = reinterpret_cast<const uint8_t*>(stream.data());
    size_t i = 0;
    while (i + 7 <= stream.size()) {
        if (d[i] != 0xff || (d[i + 1] & 0xf6) != 0xf0) return false;
        const size_t header = (d[i + 1] & 0x01) ? 7 : 9;
        const size_t length = ((d[i + 3] & 0x03) << 11) | (d[i + 4] << 3) | (d[i + 5] >> 5);
        if (length <= header || i + length > stream.size()) return false;
        if (config->empty()) {
            const int objectType = (d[i + 2] >> 6) + 1;
            const int rateIndex = (d[i + 2] >> 2) & 0x0f;
            const int channels = ((d[i + 2] & 0x01) << 2) | (d[i + 3] >> 6);
            const unsigned bits = (objectType << 11) | (rateIndex << 7) | (channels << 3);
            *config = {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
        }
        frames->emplace_back(d + i + header, d + i + length);
        if (whole) whole->emplace_back(d + i, d + i + length);
        i += length;
    }
    return i == stream.size() && !frames->empty();
}

}  // namespace testsupport
