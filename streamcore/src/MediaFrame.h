// MediaFrame: one encoded frame on its way from an engine callback through the publish and
// recording workers. It is copied once, into one IOBuffer, and then shared by std::shared_ptr.
//
// Byte layout (integers in host byte order):
//   offset size  video frame                          audio frame
//   0      128   source uniName, NUL-terminated       same
//   128    4     frame length (int), 12-byte header   frame length
//                included
//   132    4     capture time from the engine         same (ms of the engine's steady clock)
//   136    1     kind 0                               kind 1
//   140    1     key-frame flag (0/1)                 -
//   140    4     -                                    sample rate
//   141    len   frame bytes as received              -
//   144    4     -                                    channels
//   148    4     -                                    third value (1)
//   152    len   -                                    frame bytes
// Video buffers are len + 144 bytes, audio buffers len + 156.
//
// Threads: built on one thread, then only read (by any thread holding the pointer).
#pragma once

#include "common/buffer.h"

#include <cstdint>
#include <cstring>

namespace streamcore {

enum MediaFrameLayout : unsigned {
    kFrameNameSize = 128,   // 127 characters and the terminator
    kFrameLengthOffset = 128,
    kFrameTimestampOffset = 132,
    kFrameKindOffset = 136,
    kFrameKeyOffset = 140,
    kVideoDataOffset = 141,
    kAudioRateOffset = 140,
    kAudioChannelsOffset = 144,
    kAudioThirdOffset = 148,
    kAudioDataOffset = 152,
    kVideoFrameExtra = 144,
    kAudioFrameExtra = 156,
};

enum MediaKind : unsigned char { kVideoKind = 0, kAudioKind = 1 };

// The header in front of every encoded video frame of the engine.
enum { kVideoHeaderSize = 12 };

enum class FrameError { kNone, kBadName, kBadData, kNoMemory };

// Builds a video frame; null (and *error set) for a null or too long uniName (more than 127
// characters: the frame is refused rather than cut, so it can never reach the wrong source),
// a negative length, null data with a length, or no memory.
Orvane::Common::IOBufferPtr BuildVideoFrame(const char* uniName, const unsigned char* data, int len,
                                            bool keyFrame, unsigned int timestamp,
                                            FrameError* error = nullptr);
Orvane::Common::IOBufferPtr BuildAudioFrame(const char* uniName, const unsigned char* data, int len,
                                            int sampleRate, int channels, int third,
                                            unsigned int timestamp, FrameError* error = nullptr);

// Read access to a frame built above.
class MediaFrameView {
public:
    explicit MediaFrameView(const Orvane::Common::IOBuffer& buffer) : m_p(buffer.GetPointer()) {}

    const char* UniName() const { return reinterpret_cast<const char*>(m_p); }
    int Length() const { return ReadInt(kFrameLengthOffset); }
    unsigned int Timestamp() const { return static_cast<unsigned int>(ReadInt(kFrameTimestampOffset)); }
    bool IsAudio() const { return m_p[kFrameKindOffset] == kAudioKind; }
    bool KeyFrame() const { return !IsAudio() && m_p[kFrameKeyOffset] != 0; }
    int SampleRate() const { return ReadInt(kAudioRateOffset); }
    int Channels() const { return ReadInt(kAudioChannelsOffset); }
    int Third() const { return ReadInt(kAudioThirdOffset); }
    // The frame bytes as the engine gave them (a video frame with its 12-byte header).
    const unsigned char* Data() const { return m_p + (IsAudio() ? kAudioDataOffset : kVideoDataOffset); }
    unsigned char* MutableData() const {
        return m_p + (IsAudio() ? kAudioDataOffset : kVideoDataOffset);
    }

private:
    int ReadInt(unsigned offset) const {
        int v;
        std::memcpy(&v, m_p + offset, sizeof v);
        return v;
    }
    unsigned char* m_p;
};

}  // namespace streamcore
