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

// Exp-Golomb bit reader over a unit's payload with the emulation prevention bytes removed.
class BitReader {
public:
    BitReader(const uint8_t* data, size_t size) {
        m_bytes.reserve(size);
        int zeros = 0;
        for (size_t i = 0; i < size; ++i) {
            if (zeros >= 2 && data[i] == 3) {
                zeros = 0;
                continue;
            }
            zeros = data[i] == 0 ? zeros + 1 : 0;
            m_bytes.push_back(data[i]);
        }
    }
    bool ok() const { return m_ok; }
    uint32_t Bits(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            if (m_pos >= m_bytes.size() * 8) {
                m_ok = false;
                return 0;
            }
            v = (v << 1) | ((m_bytes[m_pos / 8] >> (7 - m_pos % 8)) & 1);
            ++m_pos;
        }
        return v;
    }
    uint32_t Ue() {
        int zeros = 0;
        while (m_ok && Bits(1) == 0) {
            if (++zeros > 31) m_ok = false;
        }
        if (!m_ok) return 0;
        return ((1u << zeros) - 1) + Bits(zeros);
    }
    int32_t Se() {
        const uint32_t v = Ue();
        return (v & 1) ? static_cast<int32_t>((v + 1) / 2) : -static_cast<int32_t>(v / 2);
    }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_pos = 0;
    bool m_ok = true;
};

bool HasChromaFields(int profile) {
    switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83:
    case 86: case 118: case 128: case 138: case 139: case 134: case 135:
        return true;
    default:
        return false;
    }
}

void SkipScalingList(BitReader& r, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && r.ok(); ++j) {
        if (next != 0) next = (last + r.Se() + 256) % 256;
        last = next == 0 ? last : next;
    }
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

bool ParseSps(const NalUnit& sps, SpsInfo* info) {
    if (sps.type() != kNalSps || sps.size < 4) return false;
    BitReader r(sps.data + 1, sps.size - 1);
    SpsInfo s;
    s.profile = static_cast<int>(r.Bits(8));
    r.Bits(16);  // constraint flags, level
    if (r.Ue() > 31) return false;
    bool separatePlanes = false;
    if (HasChromaFields(s.profile)) {
        s.chromaFormat = static_cast<int>(r.Ue());
        if (s.chromaFormat > 3) return false;
        if (s.chromaFormat == 3) separatePlanes = r.Bits(1) != 0;
        const uint32_t luma = r.Ue(), chroma = r.Ue();
        if (luma > 6 || chroma > 6) return false;
        s.bitDepthLuma = 8 + static_cast<int>(luma);
        s.bitDepthChroma = 8 + static_cast<int>(chroma);
        r.Bits(1);  // transform bypass
        if (r.Bits(1)) {
            const int lists = s.chromaFormat == 3 ? 12 : 8;
            for (int i = 0; i < lists && r.ok(); ++i)
                if (r.Bits(1)) SkipScalingList(r, i < 6 ? 16 : 64);
        }
    }
    r.Ue();  // log2_max_frame_num_minus4
    const uint32_t pocType = r.Ue();
    if (pocType == 0) {
        r.Ue();
    } else if (pocType == 1) {
        r.Bits(1);
        r.Se();
        r.Se();
        const uint32_t cycle = r.Ue();
        if (cycle > 255) return false;
        for (uint32_t i = 0; i < cycle && r.ok(); ++i) r.Se();
    } else if (pocType != 2) {
        return false;
    }
    r.Ue();      // max_num_ref_frames
    r.Bits(1);   // gaps_in_frame_num_allowed
    const uint32_t widthMbs = r.Ue() + 1, heightMapUnits = r.Ue() + 1;
    const uint32_t frameMbsOnly = r.Bits(1);
    if (!frameMbsOnly) r.Bits(1);
    r.Bits(1);  // direct_8x8_inference
    uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (r.Bits(1)) {
        cropLeft = r.Ue();
        cropRight = r.Ue();
        cropTop = r.Ue();
        cropBottom = r.Ue();
    }
    if (!r.ok() || widthMbs > 1024 || heightMapUnits > 1024) return false;
    const int format = separatePlanes ? 0 : s.chromaFormat;
    const uint32_t cropX = (format == 1 || format == 2) ? 2 : 1;
    const uint32_t cropY = (format == 1 ? 2 : 1) * (2 - frameMbsOnly);
    const int64_t width = static_cast<int64_t>(widthMbs) * 16 - int64_t(cropX) * (cropLeft + cropRight);
    const int64_t height = static_cast<int64_t>(heightMapUnits) * 16 * (2 - frameMbsOnly) -
                           int64_t(cropY) * (cropTop + cropBottom);
    if (width <= 0 || height <= 0) return false;
    s.width = static_cast<int>(width);
    s.height = static_cast<int>(height);
    *info = s;
    return true;
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
    SpsInfo info;
    const bool parsed = ParseSps(sps[0], &info);
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
    if (parsed && HasChromaFields(info.profile)) {
        out.push_back(static_cast<uint8_t>(0xfc | info.chromaFormat));
        out.push_back(static_cast<uint8_t>(0xf8 | (info.bitDepthLuma - 8)));
        out.push_back(static_cast<uint8_t>(0xf8 | (info.bitDepthChroma - 8)));
        out.push_back(0);  // no sequence parameter set extensions
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
