#include "support/media_split.h"

#include <utility>

namespace testsupport {

std::vector<AccessUnit> SplitAccessUnits(const std::string& stream, bool keepDelimiters) {
    std::vector<std::pair<size_t, size_t>> nals;  // offset, size
    const auto* d = reinterpret_cast<const uint8_t*>(stream.data());
    const size_t n = stream.size();
    size_t i = 0, begin = std::string::npos;
    while (i + 3 <= n) {
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            if (begin != std::string::npos) {
                size_t end = i;
                while (end > begin && d[end - 1] == 0) --end;
                nals.emplace_back(begin, end - begin);
            }
            begin = i + 3;
            i += 3;
        } else {
            ++i;
        }
    }
    if (begin != std::string::npos && begin < n) nals.emplace_back(begin, n - begin);

    std::vector<AccessUnit> units;
    AccessUnit cur;
    bool hasSlice = false;
    for (const auto& nal : nals) {
        const int type = d[nal.first] & 0x1f;
        const bool slice = type == 1 || type == 5;
        const bool firstSlice = slice && nal.second > 1 && (d[nal.first + 1] & 0x80);
        if (hasSlice && (type == 9 || type == 7 || type == 8 || type == 6 || firstSlice)) {
            units.push_back(cur);
            cur = AccessUnit();
            hasSlice = false;
        }
        if (type == 9 && !keepDelimiters) continue;
        cur.data.insert(cur.data.end(), {0, 0, 0, 1});
        cur.data.insert(cur.data.end(), d + nal.first, d + nal.first + nal.second);
        if (type == 5) cur.key = true;
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
