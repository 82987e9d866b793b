#include "h264/decoder_config.h"

#include <algorithm>

namespace h264 {

namespace {

void PutSets(const std::vector<NalUnit>& sets, std::vector<uint8_t>* out) {
    for (const NalUnit& n : sets) {
        out->push_back(static_cast<uint8_t>(n.size >> 8));
        out->push_back(static_cast<uint8_t>(n.size));
        out->insert(out->end(), n.data, n.data + n.size);
    }
}

bool SameUnit(const NalUnit& a, const NalUnit& b) {
    return a.size == b.size && std::equal(a.data, a.data + a.size, b.data);
}

bool Fits16(const NalUnit& n) { return n.size <= 0xFFFF; }

// Reads count parameter sets, each behind a 16-bit length, from data at *pos.
bool ReadSets(const uint8_t* data, size_t size, size_t* pos, size_t count, std::vector<NalUnit>* sets) {
    for (size_t i = 0; i < count; ++i) {
        if (size - *pos < 2) return false;
        const size_t len = (static_cast<size_t>(data[*pos]) << 8) | data[*pos + 1];
        *pos += 2;
        if (len > size - *pos) return false;
        sets->push_back(NalUnit{data + *pos, len, 0});
        *pos += len;
    }
    return true;
}

}  // namespace

bool RecordHasHighFields(int profile) {
    return profile == 100 || profile == 110 || profile == 122 || profile == 144;
}

std::vector<uint8_t> BuildDecoderConfig(const std::vector<NalUnit>& sps, const std::vector<NalUnit>& pps) {
    if (sps.empty() || pps.empty() || sps.size() > 31 || pps.size() > 255 || sps[0].size < 4) return {};
    if (!std::all_of(sps.begin(), sps.end(), Fits16) || !std::all_of(pps.begin(), pps.end(), Fits16)) return {};
    std::vector<uint8_t> out;
    out.push_back(1);  // configuration version
    // Profile, compatibility flags and level: the three bytes after the first SPS's header.
    out.insert(out.end(), sps[0].data + 1, sps[0].data + 4);
    out.push_back(0xFF);  // 6 reserved bits, NAL length size 4 (stored as 3)
    out.push_back(static_cast<uint8_t>(0xE0 | sps.size()));
    PutSets(sps, &out);
    out.push_back(static_cast<uint8_t>(pps.size()));
    PutSets(pps, &out);
    SpsInfo info;
    if (RecordHasHighFields(sps[0].data[1]) && ParseSps(sps[0], &info)) {
        out.push_back(static_cast<uint8_t>(0xFC | info.chromaFormat));
        out.push_back(static_cast<uint8_t>(0xF8 | (info.bitDepthLuma - 8)));
        out.push_back(static_cast<uint8_t>(0xF8 | (info.bitDepthChroma - 8)));
        out.push_back(0);  // no sequence parameter set extensions
    }
    return out;
}

std::vector<uint8_t> BuildAvcC(const std::vector<NalUnit>& nals) {
    std::vector<NalUnit> sps, pps;
    for (const NalUnit& n : nals) {
        if (n.type() != kNalSps && n.type() != kNalPps) continue;
        if (!Fits16(n)) continue;
        std::vector<NalUnit>& list = n.type() == kNalSps ? sps : pps;
        if (std::none_of(list.begin(), list.end(), [&](const NalUnit& m) { return SameUnit(m, n); }))
            list.push_back(n);
    }
    return BuildDecoderConfig(sps, pps);
}

bool ParseDecoderConfig(const uint8_t* data, size_t size, DecoderConfig* config) {
    if (!data || size < 7 || data[0] != 1 || (data[4] & 3) == 2) return false;
    DecoderConfig c;
    c.profile = data[1];
    c.compatibility = data[2];
    c.level = data[3];
    c.lengthSize = (data[4] & 3) + 1;
    size_t pos = 6;
    if (!ReadSets(data, size, &pos, data[5] & 0x1F, &c.sps)) return false;
    if (pos >= size) return false;
    const size_t ppsCount = data[pos++];
    if (!ReadSets(data, size, &pos, ppsCount, &c.pps)) return false;
    if (RecordHasHighFields(c.profile) && size - pos >= 4) {
        c.hasHighFields = true;
        c.chromaFormat = data[pos] & 3;
        c.bitDepthLuma = 8 + (data[pos + 1] & 7);
        c.bitDepthChroma = 8 + (data[pos + 2] & 7);
        const size_t extCount = data[pos + 3];
        pos += 4;
        if (!ReadSets(data, size, &pos, extCount, &c.spsExt)) return false;
    }
    *config = c;
    return true;
}

}  // namespace h264
