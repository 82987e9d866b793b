// What a player makes of received RTMP media messages: FLV/AVC video bodies become Annex-B
// access units and audio bodies lose their FLV sound-header byte, each behind a 12-byte
// RTP-style header (big-endian):
//   video: 80 E0, sequence (16 bits), timestamp = (RTMP ms & 0xFFFFFF) * 90 (32 bits), 4 bytes
//          of zeros, then for key frames the stored SPS and PPS, then every NAL unit behind
//          00 00 00 01;
//   audio: 80 E1, sequence (16 bits), audio clock (0, 640, 1280, ...), 4 bytes of zeros, then
//          the body without its first byte.
// Everything here reads bytes that came from the network: every length is checked against
// what the message holds, and the output buffers grow only within kMaxMessageBytes.
// Threads: a PlayPacketizer belongs to one thread (the player's receive thread); the
// converter is a pure function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rtmplink {

enum {
    kPlayHeaderSize = 12,
    kParameterSetRoom = 100,
    // Media messages above this size are dropped (a 1080p key frame is well below it).
    kMaxMessageBytes = 4 * 1024 * 1024,
    kVideoSlack = 150,
    kAudioSlack = 50,
    kAudioClockStep = 640,
};

// Length-prefixed NAL units (4-byte lengths; the SPS and PPS of an AVCDecoderConfigurationRecord
// with 2-byte lengths) to Annex-B: each NAL unit behind 00 00 00 01. Stops at the first length
// that claims more than the input holds or that would not fit in room. Returns the bytes
// written (0 for missing buffers or less than 4 input bytes).
int AvcToAnnexB(const uint8_t* in, int inLen, uint8_t* out, int room);

enum class PlayResult {
    kDelivered,       // Data()/Length() hold a packet for the sink
    kSequenceHeader,  // parameter sets stored, nothing to deliver
    kWaitingForKey,   // inter frame before a key frame: dropped
    kDataError,       // malformed or oversized body: dropped
};

class PlayPacketizer {
public:
    PlayPacketizer();

    // One RTMP video message body (FLV video tag body) and its RTMP timestamp.
    PlayResult Video(const uint8_t* body, uint32_t size, uint32_t timestamp);
    // One RTMP audio message body (FLV audio tag body, sound-header byte first).
    PlayResult Audio(const uint8_t* body, uint32_t size);

    // The packet of the last kDelivered result; valid until the next call.
    const uint8_t* VideoData() const { return m_video.data(); }
    int VideoLength() const { return m_nVideoLen; }
    bool VideoKey() const { return m_bVideoKey; }
    const uint8_t* AudioData() const { return m_audio.data(); }
    int AudioLength() const { return m_nAudioLen; }

    // Introspection for tests.
    int ParameterSetLength() const { return m_nParamLen; }
    const uint8_t* ParameterSets() const { return m_params; }
    bool Started() const { return m_bStarted; }

private:
    std::vector<uint8_t> m_video;
    std::vector<uint8_t> m_audio;
    int m_nVideoLen = 0;
    int m_nAudioLen = 0;
    bool m_bVideoKey = false;
    // Unsigned so that they wrap instead of overflowing.
    uint32_t m_nAudioSeq = 0;
    uint32_t m_nVideoSeq = 0;
    uint8_t m_params[kParameterSetRoom];
    int m_nParamLen = 0;
    bool m_bStarted = false;
    uint32_t m_nAudioClock = 0;
};

}  // namespace rtmplink
