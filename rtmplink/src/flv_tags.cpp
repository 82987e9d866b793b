#include "flv_tags.h"

namespace rtmplink {

namespace {

void PutBe16(std::vector<uint8_t>* out, size_t v) {
    out->push_back(static_cast<uint8_t>(v >> 8));
    out->push_back(static_cast<uint8_t>(v));
}

void PutBe32(std::vector<uint8_t>* out, size_t v) {
    out->push_back(static_cast<uint8_t>(v >> 24));
    out->push_back(static_cast<uint8_t>(v >> 16));
    out->push_back(static_cast<uint8_t>(v >> 8));
    out->push_back(static_cast<uint8_t>(v));
}

}  // namespace

std::vector<NalUnit> SplitAnnexB(const uint8_t* data, size_t len) {
    std::vector<NalUnit> nals;
    if (!data) return nals;
    // Positions right after each 00 00 01.
    size_t start = 0;
    bool inNal = false;
    size_t i = 0;
    while (i + 3 <= len) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (inNal) {
                size_t end = i;
                while (end > start && data[end - 1] == 0) --end;
                if (end > start) nals.push_back(NalUnit{data + start, end - start});
            }
            start = i + 3;
            inNal = true;
            i += 3;
        } else {
            ++i;
        }
    }
    if (inNal && len > start) nals.push_back(NalUnit{data + start, len - start});
    return nals;
}

const char* KeyFrameErrorText(KeyFrameError error) {
    switch (error) {
        case KeyFrameError::kNone: return "ok";
        case KeyFrameError::kNoStartCode: return "no start code";
        case KeyFrameError::kNoSps: return "no SPS";
        case KeyFrameError::kNoPps: return "no PPS after the SPS";
        case KeyFrameError::kNoPictureAfterPps: return "no SEI or IDR after the PPS";
        case KeyFrameError::kNoIdr: return "no IDR slice";
        case KeyFrameError::kParameterSetTooLong: return "SPS or PPS too long";
    }
    return "?";
}

KeyFrameError ParseKeyFrame(const uint8_t* data, size_t len, KeyFrameParts* parts) {
    const std::vector<NalUnit> nals = SplitAnnexB(data, len);
    if (nals.empty()) return KeyFrameError::kNoStartCode;
    size_t i = 0;
    while (i < nals.size() && nals[i].type() != kNalSps) ++i;
    if (i == nals.size() || nals[i].size < 4) return KeyFrameError::kNoSps;
    parts->sps = nals[i];
    while (i < nals.size() && nals[i].type() != kNalPps) ++i;
    if (i == nals.size()) return KeyFrameError::kNoPps;
    parts->pps = nals[i];
    if (parts->sps.size > 0xFFFF || parts->pps.size > 0xFFFF) return KeyFrameError::kParameterSetTooLong;
    size_t j = i + 1;
    while (j < nals.size() && nals[j].type() != kNalSei && nals[j].type() != kNalIdr) ++j;
    if (j == nals.size()) return KeyFrameError::kNoPictureAfterPps;
    while (j < nals.size() && nals[j].type() != kNalIdr) ++j;
    if (j == nals.size()) return KeyFrameError::kNoIdr;
    parts->picture.assign(nals.begin() + static_cast<long>(j), nals.end());
    return KeyFrameError::kNone;
}

void BuildSequenceHeader(const NalUnit& sps, const NalUnit& pps, std::vector<uint8_t>* body) {
    body->clear();
    body->reserve(16 + sps.size + pps.size);
    const uint8_t prefix[] = {0x17, 0x00, 0x00, 0x00, 0x00, 0x01, sps.data[1], sps.data[2], sps.data[3], 0xFF, 0xE1};
    body->insert(body->end(), prefix, prefix + sizeof(prefix));
    PutBe16(body, sps.size);
    body->insert(body->end(), sps.data, sps.data + sps.size);
    body->push_back(0x01);
    PutBe16(body, pps.size);
    body->insert(body->end(), pps.data, pps.data + pps.size);
}

void BuildPictureBody(bool keyFrame, const std::vector<NalUnit>& nals, std::vector<uint8_t>* body) {
    size_t total = 5;
    for (const NalUnit& nal : nals) total += 4 + nal.size;
    body->clear();
    body->reserve(total);
    const uint8_t prefix[] = {static_cast<uint8_t>(keyFrame ? 0x17 : 0x27), 0x01, 0x00, 0x00, 0x00};
    body->insert(body->end(), prefix, prefix + sizeof(prefix));
    for (const NalUnit& nal : nals) {
        PutBe32(body, nal.size);
        body->insert(body->end(), nal.data, nal.data + nal.size);
    }
}

uint8_t AudioHeaderByte(int audioType) {
    switch (audioType) {
        case 0: return 0xBE;
        case 1: return 0xAF;
        case 2: return 0x2F;
        default: return 0xAF;
    }
}

void BuildAudioBody(int audioType, const uint8_t* data, size_t len, std::vector<uint8_t>* body) {
    body->clear();
    body->reserve(len + 2);
    body->push_back(AudioHeaderByte(audioType));
    if (audioType == 1) body->push_back(0x01);
    if (data && len) body->insert(body->end(), data, data + len);
}

void BuildAacSequenceHeader(const std::vector<uint8_t>& config, std::vector<uint8_t>* body) {
    body->clear();
    body->push_back(AudioHeaderByte(1));
    body->push_back(0x00);
    body->insert(body->end(), config.begin(), config.end());
}

}  // namespace rtmplink
