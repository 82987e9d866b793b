#include "h264_annexb.h"

#include <algorithm>

namespace record {

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

void PutBe16(std::vector<uint8_t>& out, size_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

bool SameUnit(const NalUnit& a, const NalUnit& b) {
    return a.size == b.size && std::equal(a.data, a.data + a.size, b.data);
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
        if (end > begin) {
            NalUnit n;
            n.data = data + begin;
            n.size = end - begin;
            nals.push_back(n);
        }
        start = next;
    }
    return nals;
}

std::vector<uint8_t> BuildAvcC(const std::vector<NalUnit>& nals) {
    std::vector<NalUnit> sps, pps;
    for (const NalUnit& n : nals) {
        std::vector<NalUnit>& list = n.type() == kNalSps ? sps : pps;
        if (n.type() != kNalSps && n.type() != kNalPps) continue;
        if (n.size > 0xffff) continue;  // cannot be described by a 16-bit length
        if (std::none_of(list.begin(), list.end(), [&](const NalUnit& m) { return SameUnit(m, n); }))
            list.push_back(n);
    }
    // The profile, its compatibility flags and the level are the three bytes after the
    // header of the first sequence parameter set.
    if (sps.empty() || pps.empty() || sps[0].size < 4 || sps.size() > 31 || pps.size() > 255) return {};
    std::vector<uint8_t> out;
    out.push_back(1);  // configuration version
    out.push_back(sps[0].data[1]);
    out.push_back(sps[0].data[2]);
    out.push_back(sps[0].data[3]);
    out.push_back(0xff);  // 6 reserved bits, length size 4 (stored as 3)
    out.push_back(static_cast<uint8_t>(0xe0 | sps.size()));
    for (const NalUnit& n : sps) {
        PutBe16(out, n.size);
        out.insert(out.end(), n.data, n.data + n.size);
    }
    out.push_back(static_cast<uint8_t>(pps.size()));
    for (const NalUnit& n : pps) {
        PutBe16(out, n.size);
        out.insert(out.end(), n.data, n.data + n.size);
    }
    return out;
}

std::vector<uint8_t> ToLengthPrefixed(const std::vector<NalUnit>& nals) {
    size_t total = 0;
    for (const NalUnit& n : nals) total += 4 + n.size;
    std::vector<uint8_t> out;
    out.reserve(total);
    for (const NalUnit& n : nals) {
        if (n.type() == kNalAud) continue;
        const uint32_t len = static_cast<uint32_t>(n.size);
        out.push_back(static_cast<uint8_t>(len >> 24));
        out.push_back(static_cast<uint8_t>(len >> 16));
        out.push_back(static_cast<uint8_t>(len >> 8));
        out.push_back(static_cast<uint8_t>(len));
        out.insert(out.end(), n.data, n.data + n.size);
    }
    return out;
}

}  // namespace record
