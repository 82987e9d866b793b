// Sizes of frames in the engine's pixel formats: the decision of how many bytes a frame of a
// given format and size must have, kept apart from the conversion itself.
#pragma once

#include <cstdint>

namespace mediakit {

// Bytes of one frame of width x |height| in the format (EnginePixelFormat code); 0 for a
// format without a fixed size (MJPEG), -1 for a format this library does not handle or a
// size that is not usable (width or height 0 or over 16384).
int64_t FrameBytes(int format, int width, int height);

// True for the formats Init accepts as source, and as destination.
bool IsSourceFormat(int format);
bool IsDestinationFormat(int format);

// libyuv FOURCC of a source format (0 when none).
uint32_t SourceFourcc(int format);

}  // namespace mediakit
