#include "frame_layout.h"

#include "mediakit/IVideoConvert.h"

#include <gtest/gtest.h>

using mediakit::FrameBytes;

TEST(FrameLayout, BytesPerFormatIncludingOddSizes) {
    EXPECT_EQ(FrameBytes(kEnginePixelI420, 640, 480), 640 * 480 * 3 / 2);
    EXPECT_EQ(FrameBytes(kEnginePixelI420, 641, 481), 641 * 481 + 2 * 321 * 241);
    EXPECT_EQ(FrameBytes(kEnginePixelIYUV, 2, 2), 6);
    EXPECT_EQ(FrameBytes(kEnginePixelYUY2, 640, 480), 640 * 480 * 2);
    EXPECT_EQ(FrameBytes(kEnginePixelUYVY, 3, 1), 8);  // a pair of pixels always takes four bytes
    EXPECT_EQ(FrameBytes(kEnginePixelRGB24, 10, -4), 120);  // bottom-up counts the same
    EXPECT_EQ(FrameBytes(kEnginePixelRGB565, 10, 4), 80);
    EXPECT_EQ(FrameBytes(kEnginePixelMJPEG, 10, 4), 0);
    EXPECT_EQ(FrameBytes(kEnginePixelUnknown, 10, 4), -1);
    EXPECT_EQ(FrameBytes(kEnginePixelI420, 0, 4), -1);
    EXPECT_EQ(FrameBytes(kEnginePixelI420, 16385, 4), -1);
    EXPECT_TRUE(mediakit::IsSourceFormat(kEnginePixelMJPEG));
    EXPECT_FALSE(mediakit::IsDestinationFormat(kEnginePixelMJPEG));
    EXPECT_FALSE(mediakit::IsSourceFormat(6));
}
