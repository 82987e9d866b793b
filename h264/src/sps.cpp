#include "h264/decoder_config.h"

namespace h264 {

namespace {

// Exp-Golomb bit reader over a unit's payload with the emulation prevention bytes removed.
// Reading past the end yields zeros and clears ok().
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
    int64_t Se() {
        const uint32_t v = Ue();
        return (v & 1) ? static_cast<int64_t>(v / 2) + 1 : -static_cast<int64_t>(v / 2);
    }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_pos = 0;
    bool m_ok = true;
};

// Profiles whose sequence parameter set carries chroma format, bit depths and scaling lists.
bool SpsHasChromaFields(int profile) {
    switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86:
    case 118: case 128: case 138: case 139: case 134: case 135: case 144:
        return true;
    default:
        return false;
    }
}

bool SkipScalingList(BitReader& r, int size) {
    int64_t last = 8, next = 8;
    for (int j = 0; j < size && r.ok(); ++j) {
        if (next != 0) {
            const int64_t delta = r.Se();
            if (delta < -128 || delta > 127) return false;
            next = (last + delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
    return r.ok();
}

}  // namespace

bool ParseSps(const NalUnit& sps, SpsInfo* info) {
    if (sps.type() != kNalSps || sps.size < 4) return false;
    BitReader r(sps.data + 1, sps.size - 1);
    SpsInfo s;
    s.profile = static_cast<int>(r.Bits(8));
    r.Bits(16);  // constraint flags, level
    if (r.Ue() > 31) return false;
    bool separatePlanes = false;
    if (SpsHasChromaFields(s.profile)) {
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
                if (r.Bits(1) && !SkipScalingList(r, i < 6 ? 16 : 64)) return false;
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
    r.Ue();     // max_num_ref_frames
    r.Bits(1);  // gaps_in_frame_num_allowed
    const int64_t widthMbs = int64_t(r.Ue()) + 1, heightMapUnits = int64_t(r.Ue()) + 1;
    const uint32_t frameMbsOnly = r.Bits(1);
    if (!frameMbsOnly) r.Bits(1);
    r.Bits(1);  // direct_8x8_inference
    int64_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (r.Bits(1)) {
        cropLeft = r.Ue();
        cropRight = r.Ue();
        cropTop = r.Ue();
        cropBottom = r.Ue();
    }
    if (!r.ok() || widthMbs > 1024 || heightMapUnits > 1024) return false;
    const int format = separatePlanes ? 0 : s.chromaFormat;
    const int64_t cropX = (format == 1 || format == 2) ? 2 : 1;
    const int64_t cropY = (format == 1 ? 2 : 1) * (2 - int64_t(frameMbsOnly));
    const int64_t width = widthMbs * 16 - cropX * (cropLeft + cropRight);
    const int64_t height = heightMapUnits * 16 * (2 - int64_t(frameMbsOnly)) - cropY * (cropTop + cropBottom);
    if (width <= 0 || height <= 0) return false;
    s.width = static_cast<int>(width);
    s.height = static_cast<int>(height);
    *info = s;
    return true;
}

}  // namespace h264
