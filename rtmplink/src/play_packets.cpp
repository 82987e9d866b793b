#include "play_packets.h"

#include <cstring>

namespace rtmplink {

namespace {

const uint8_t kStartCode[4] = {0x00, 0x00, 0x00, 0x01};

void PutBe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void WriteHeader(uint8_t* p, uint8_t payloadType, uint32_t sequence, uint32_t timestamp) {
    p[0] = 0x80;
    p[1] = payloadType;
    PutBe16(p + 2, sequence & 0xFFFF);
    PutBe32(p + 4, timestamp);
    memset(p + 8, 0, 4);
}

}  // namespace

int AvcToAnnexB(const uint8_t* in, int inLen, uint8_t* out, int room) {
    if (!in || !out || inLen < 4 || room <= 0) return 0;
    const uint8_t* p = in;
    int64_t remaining = inLen;
    int64_t left = room;
    int written = 0;
    while (remaining > 0) {
        int lenBytes = 4;
        if (remaining >= 9 && p[0] == 0x01 && p[4] == 0xFF && p[5] == 0xE1 && (p[8] & 0x1F) == 7) {
            // Head of an AVCDecoderConfigurationRecord: the SPS follows with a 16-bit length.
            p += 6;
            remaining -= 6;
            lenBytes = 2;
        } else if (remaining >= 4 && p[0] == 0x01 && (p[3] & 0x1F) == 8) {
            // The PPS count byte of that record: the PPS follows with a 16-bit length.
            p += 1;
            remaining -= 1;
            lenBytes = 2;
        }
        if (remaining < lenBytes) break;
        uint32_t nalLen = 0;
        for (int i = 0; i < lenBytes; ++i) nalLen = (nalLen << 8) | p[i];
        if (static_cast<int64_t>(nalLen) > remaining - lenBytes) break;
        if (left < static_cast<int64_t>(nalLen) + 4) break;
        p += lenBytes;
        remaining -= lenBytes;
        if (nalLen > 0) {
            memcpy(out + written, kStartCode, 4);
            memcpy(out + written + 4, p, nalLen);
            written += 4 + static_cast<int>(nalLen);
            left -= 4 + static_cast<int64_t>(nalLen);
        }
        p += nalLen;
        remaining -= nalLen;
    }
    return written;
}

PlayPacketizer::PlayPacketizer() { memset(m_params, 0, sizeof(m_params)); }

PlayResult PlayPacketizer::Video(const uint8_t* body, uint32_t size, uint32_t timestamp) {
    m_nVideoLen = 0;
    // Frame type + codec byte, packet type, 24-bit composition time: 5 bytes before the data.
    if (!body || size < 5 || size > kMaxMessageBytes) return PlayResult::kDataError;
    const bool key = body[0] == 0x17;
    if (key && body[1] == 0x00) {
        m_nParamLen = AvcToAnnexB(body + 5, static_cast<int>(size - 5), m_params, kParameterSetRoom);
        m_bStarted = false;
        return PlayResult::kSequenceHeader;
    }
    if (!key && !m_bStarted) return PlayResult::kWaitingForKey;
    m_bStarted = true;
    const size_t need = static_cast<size_t>(size) + kVideoSlack;
    if (m_video.size() < need) m_video.resize(need);
    uint8_t* out = m_video.data();
    WriteHeader(out, 0xE0, m_nVideoSeq++, (timestamp & 0xFFFFFFu) * 90u);
    int used = kPlayHeaderSize;
    if (key && m_nParamLen > 0) {
        memcpy(out + used, m_params, static_cast<size_t>(m_nParamLen));
        used += m_nParamLen;
    }
    const int converted =
        AvcToAnnexB(body + 5, static_cast<int>(size - 5), out + used, static_cast<int>(m_video.size()) - used);
    if (converted <= 0) return PlayResult::kDataError;
    m_nVideoLen = used + converted;
    m_bVideoKey = key;
    return PlayResult::kDelivered;
}

PlayResult PlayPacketizer::Audio(const uint8_t* body, uint32_t size) {
    m_nAudioLen = 0;
    // A sound-header byte alone carries nothing to play.
    if (!body || size < 2 || size > kMaxMessageBytes) return PlayResult::kDataError;
    const size_t payload = size - 1;
    const size_t need = payload + kPlayHeaderSize + kAudioSlack;
    if (m_audio.size() < need) m_audio.resize(need);
    WriteHeader(m_audio.data(), 0xE1, m_nAudioSeq++, m_nAudioClock);
    m_nAudioClock += kAudioClockStep;
    memcpy(m_audio.data() + kPlayHeaderSize, body + 1, payload);
    m_nAudioLen = static_cast<int>(payload) + kPlayHeaderSize;
    return PlayResult::kDelivered;
}

}  // namespace rtmplink
