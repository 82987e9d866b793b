#include "flv_tags.h"

#include "h264/decoder_config.h"

namespace rtmplink {

namespace {

// Key frame, AVC, sequence header, composition time 0.
const uint8_t kKeyHeader[] = {0x17, 0x00, 0x00, 0x00, 0x00};

}  // namespace

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
    using namespace h264;
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
    body->assign(kKeyHeader, kKeyHeader + sizeof(kKeyHeader));
    const std::vector<uint8_t> record = h264::BuildDecoderConfig({sps}, {pps});
    body->insert(body->end(), record.begin(), record.end());
}

void BuildPictureBody(bool keyFrame, const std::vector<NalUnit>& nals, std::vector<uint8_t>* body) {
    const uint8_t prefix[] = {static_cast<uint8_t>(keyFrame ? 0x17 : 0x27), 0x01, 0x00, 0x00, 0x00};
    body->assign(prefix, prefix + sizeof(prefix));
    h264::AppendLengthPrefixed(nals, 4, body);
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
