#include "h264/nal_units.h"

namespace h264 {

namespace {

// Position of the next 00 00 01 at or after from, or size when there is none.
size_t FindStartCode(const uint8_t* d, size_t size, size_t from) {
    for (size_t i = from; i + 2 < size; ++i) {
        if (d[i + 2] > 1) {
            i += 2;  // none of the three can be the 01 of a code starting at i, i+1 or i+2
        } else if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            return i;
        }
    }
    return size;
}

}  // namespace

std::vector<NalUnit> SplitAnnexB(const uint8_t* data, size_t size) {
    std::vector<NalUnit> nals;
    if (!data) return nals;
    size_t start = FindStartCode(data, size, 0);
    while (start < size) {
        const size_t begin = start + 3;
        const size_t next = FindStartCode(data, size, begin);
        size_t end = next;
        // Zero bytes before the next start code belong to it (a 4-byte code) or are padding.
        while (end > begin && data[end - 1] == 0) --end;
        const size_t code = start > 0 && data[start - 1] == 0 ? 4 : 3;
        if (end > begin) nals.push_back(NalUnit{data + begin, end - begin, code});
        start = next;
    }
    return nals;
}

void AppendLengthPrefixed(const std::vector<NalUnit>& nals, int lengthSize, std::vector<uint8_t>* out) {
    size_t total = out->size();
    for (const NalUnit& n : nals) total += static_cast<size_t>(lengthSize) + n.size;
    out->reserve(total);
    const uint64_t limit = lengthSize >= 4 ? 0xFFFFFFFFull : (1ull << (8 * lengthSize)) - 1;
    for (const NalUnit& n : nals) {
        if (n.size > limit) continue;
        for (int k = lengthSize - 1; k >= 0; --k) out->push_back(static_cast<uint8_t>(n.size >> (8 * k)));
        out->insert(out->end(), n.data, n.data + n.size);
    }
}

bool SplitLengthPrefixed(const uint8_t* data, size_t size, int lengthSize, std::vector<NalUnit>* nals) {
    if (lengthSize != 1 && lengthSize != 2 && lengthSize != 4) return false;
    if (!data) return size == 0;
    const size_t width = static_cast<size_t>(lengthSize);
    size_t pos = 0;
    while (pos < size) {
        if (size - pos < width) return false;
        size_t len = 0;
        for (size_t k = 0; k < width; ++k) len = (len << 8) | data[pos + k];
        pos += width;
        if (len > size - pos) return false;
        if (len) nals->push_back(NalUnit{data + pos, len, 0});
        pos += len;
    }
    return true;
}

void AppendAnnexB(const std::vector<NalUnit>& nals, std::vector<uint8_t>* out) {
    static const uint8_t kStartCode[4] = {0, 0, 0, 1};
    for (const NalUnit& n : nals) {
        out->insert(out->end(), kStartCode, kStartCode + 4);
        out->insert(out->end(), n.data, n.data + n.size);
    }
}

}  // namespace h264
