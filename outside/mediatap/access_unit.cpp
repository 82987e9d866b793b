#include "access_unit.h"

#include "h264/nal_units.h"

namespace mediatap {

void WriteRtpHeader(uint8_t* out, uint16_t sequence, uint32_t timestamp90k, uint32_t sourceId) {
    out[0] = 0x80;
    out[1] = 0xE0;
    out[2] = static_cast<uint8_t>(sequence >> 8);
    out[3] = static_cast<uint8_t>(sequence);
    for (int k = 0; k < 4; ++k) out[4 + k] = static_cast<uint8_t>(timestamp90k >> (24 - 8 * k));
    for (int k = 0; k < 4; ++k) out[8 + k] = static_cast<uint8_t>(sourceId >> (24 - 8 * k));
}

bool ReadRtpHeader(const uint8_t* data, size_t len, RtpHeader* out) {
    if (!data || len < kRtpHeaderSize || data[0] != 0x80 || data[1] != 0xE0) return false;
    out->sequence = static_cast<uint16_t>((data[2] << 8) | data[3]);
    out->timestamp90k = 0;
    out->sourceId = 0;
    for (int k = 0; k < 4; ++k) out->timestamp90k = (out->timestamp90k << 8) | data[4 + k];
    for (int k = 0; k < 4; ++k) out->sourceId = (out->sourceId << 8) | data[8 + k];
    return true;
}

namespace {
void AppendNal(std::vector<uint8_t>* out, const uint8_t* data, size_t size, bool longCode) {
    static const uint8_t kLong[4] = {0, 0, 0, 1};
    out->insert(out->end(), longCode ? kLong : kLong + 1, kLong + 4);
    out->insert(out->end(), data, data + size);
}
}  // namespace

bool FrameBuilder::Build(const uint8_t* au, size_t len, bool keyFrame, uint32_t timestampMs,
                         std::vector<uint8_t>* out) {
    using namespace h264;
    out->clear();
    std::vector<NalUnit> units = SplitAnnexB(au, len);
    const NalUnit* sps = nullptr;
    const NalUnit* pps = nullptr;
    for (const NalUnit& u : units) {
        if (u.type() == kNalSps && !sps) sps = &u;
        if (u.type() == kNalPps && !pps) pps = &u;
    }
    if (sps) m_sps.assign(sps->data, sps->data + sps->size);
    if (pps) m_pps.assign(pps->data, pps->data + pps->size);

    out->resize(kRtpHeaderSize);
    bool haveSlice = false;
    if (keyFrame) {
        if (m_sps.empty() || m_pps.empty()) {
            out->clear();
            return false;
        }
        // Parameter sets first, behind 4-byte start codes; then SEI and slices behind 3-byte
        // ones, so that the PPS ends exactly where the next start code begins.
        AppendNal(out, m_sps.data(), m_sps.size(), true);
        AppendNal(out, m_pps.data(), m_pps.size(), true);
        for (const NalUnit& u : units) {
            int t = u.type();
            if (t == kNalSei || IsSlice(t)) {
                AppendNal(out, u.data, u.size, false);
                haveSlice = haveSlice || IsSlice(t);
            }
        }
    } else {
        bool first = true;
        for (const NalUnit& u : units) {
            if (!IsSlice(u.type())) continue;
            AppendNal(out, u.data, u.size, first);
            first = false;
            haveSlice = true;
        }
    }
    if (!haveSlice) {
        out->clear();
        return false;
    }
    WriteRtpHeader(out->data(), m_sequence++, timestampMs * 90u, m_sourceId);
    return true;
}

}  // namespace mediatap
