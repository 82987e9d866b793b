#include "MediaFrame.h"

#include <new>

namespace streamcore {

using Orvane::Common::IOBuffer;
using Orvane::Common::IOBufferPtr;

namespace {

void WriteInt(unsigned char* p, unsigned offset, int v) { std::memcpy(p + offset, &v, sizeof v); }

IOBufferPtr Fail(FrameError* error, FrameError what) {
    if (error) *error = what;
    return nullptr;
}

// Checks the arguments and allocates a zero-filled buffer of len + extra bytes with the
// uniName, length, timestamp and kind written.
IOBufferPtr Allocate(const char* uniName, const unsigned char* data, int len, unsigned extra,
                     unsigned char kind, unsigned int timestamp, FrameError* error) {
    if (uniName == nullptr) return Fail(error, FrameError::kBadName);
    std::size_t nameLen = strnlen(uniName, kFrameNameSize);
    if (nameLen >= kFrameNameSize) return Fail(error, FrameError::kBadName);
    if (len < 0 || (data == nullptr && len > 0)) return Fail(error, FrameError::kBadData);
    if (static_cast<unsigned>(len) > 0xFFFFFFFFu - extra) return Fail(error, FrameError::kBadData);
    IOBufferPtr buffer(new (std::nothrow) IOBuffer());
    if (!buffer || !buffer->Initialize(static_cast<unsigned>(len) + extra))
        return Fail(error, FrameError::kNoMemory);
    buffer->SetLength(static_cast<unsigned>(len) + extra);
    unsigned char* p = buffer->GetPointer();
    std::memcpy(p, uniName, nameLen);  // the rest of the field is already zero
    WriteInt(p, kFrameLengthOffset, len);
    WriteInt(p, kFrameTimestampOffset, static_cast<int>(timestamp));
    p[kFrameKindOffset] = kind;
    if (error) *error = FrameError::kNone;
    return buffer;
}

}  // namespace

IOBufferPtr BuildVideoFrame(const char* uniName, const unsigned char* data, int len, bool keyFrame,
                            unsigned int timestamp, FrameError* error) {
    IOBufferPtr buffer = Allocate(uniName, data, len, kVideoFrameExtra, kVideoKind, timestamp, error);
    if (!buffer) return buffer;
    unsigned char* p = buffer->GetPointer();
    p[kFrameKeyOffset] = keyFrame ? 1 : 0;
    if (len > 0) std::memcpy(p + kVideoDataOffset, data, static_cast<std::size_t>(len));
    return buffer;
}

IOBufferPtr BuildAudioFrame(const char* uniName, const unsigned char* data, int len, int sampleRate,
                            int channels, int third, unsigned int timestamp, FrameError* error) {
    IOBufferPtr buffer = Allocate(uniName, data, len, kAudioFrameExtra, kAudioKind, timestamp, error);
    if (!buffer) return buffer;
    unsigned char* p = buffer->GetPointer();
    WriteInt(p, kAudioRateOffset, sampleRate);
    WriteInt(p, kAudioChannelsOffset, channels);
    WriteInt(p, kAudioThirdOffset, third);
    if (len > 0) std::memcpy(p + kAudioDataOffset, data, static_cast<std::size_t>(len));
    return buffer;
}

}  // namespace streamcore
