// Letterboxing, capture rectangles, the frame clock and pointer drawing.
#include "frame_geometry.h"

#include <gtest/gtest.h>

using namespace mediatap;

TEST(FitInside, KeepsAspectWithEvenCentredBars) {
    EXPECT_EQ(FitInside(1280, 720, 1280, 720), (Rect{0, 0, 1280, 720}));
    EXPECT_EQ(FitInside(640, 360, 1280, 720), (Rect{0, 0, 1280, 720}));    // plain upscale
    EXPECT_EQ(FitInside(800, 800, 640, 480), (Rect{80, 0, 480, 480}));      // bars left and right
    EXPECT_EQ(FitInside(1600, 400, 640, 480), (Rect{0, 160, 640, 160}));     // bars top and bottom
    Rect odd = FitInside(333, 999, 640, 480);                               // 160x480 exactly
    EXPECT_EQ(odd.h, 480);
    EXPECT_EQ(odd.w % 2, 0);
    EXPECT_EQ(odd.x % 2, 0);
    Rect tiny = FitInside(1, 5000, 640, 480);
    EXPECT_GE(tiny.w, 2);
    EXPECT_TRUE(FitInside(0, 10, 640, 480).Empty());
    EXPECT_TRUE(FitInside(10, 10, 0, 480).Empty());
}

TEST(ClipCaptureRect, WholeWindowOrCutToIt) {
    EXPECT_EQ(ClipCaptureRect(Rect{}, 300, 200), (Rect{0, 0, 300, 200}));
    EXPECT_EQ(ClipCaptureRect(Rect{10, 20, 100, 50}, 300, 200), (Rect{10, 20, 100, 50}));
    EXPECT_EQ(ClipCaptureRect(Rect{250, 150, 100, 100}, 300, 200), (Rect{250, 150, 50, 50}));
    EXPECT_TRUE(ClipCaptureRect(Rect{400, 0, 10, 10}, 300, 200).Empty());   // window shrank away
    EXPECT_EQ(ClipCaptureRect(Rect{0, 0, 2147483647, 2147483647}, 30, 20), (Rect{0, 0, 30, 20}));
}

TEST(FramePacer, DeadlinesDoNotDriftAndLateFramesAreSkipped) {
    FramePacer pacer(15);
    pacer.Start(1000000);
    // 15 fps has no whole-millisecond period; frame 15 is still exactly one second later.
    for (int i = 0; i < 15; ++i) EXPECT_EQ(pacer.Advance(pacer.Deadline() + 500), 0);
    EXPECT_EQ(pacer.Index(), 15);
    EXPECT_EQ(pacer.Deadline(), 2000000);
    // A few frames late: every frame is still made, the next one is already due.
    EXPECT_EQ(pacer.Advance(pacer.Deadline() + 300000), 0);
    EXPECT_EQ(pacer.Index(), 16);
    EXPECT_EQ(pacer.Deadline(), pacer.DeadlineOf(16));
    // A second late: resume at the frame due now.
    int64_t now = pacer.DeadlineOf(31) + 10;
    EXPECT_EQ(pacer.Advance(now), 14);  // frames 17 to 30 are dropped
    EXPECT_EQ(pacer.Index(), 31);
    EXPECT_LE(pacer.Deadline(), now);
    EXPECT_GT(pacer.DeadlineOf(32), now);
}

TEST(BlendCursor, PremultipliedOverAndCutToThePicture) {
    uint8_t pic[4 * 4 * 4];
    for (int i = 0; i < 64; ++i) pic[i] = 100;
    const uint32_t cursor[4] = {0xFFFF0000u, 0x00000000u, 0x80400000u, 0xFF00FF00u};  // 2x2
    BlendCursor(pic, 16, 4, 4, cursor, 2, 2, 3, 3);  // only the top-left cursor pixel is inside
    const uint8_t* p = pic + 3 * 16 + 3 * 4;
    EXPECT_EQ(p[2], 255);  // red
    EXPECT_EQ(p[1], 0);
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(pic[0], 100);
    BlendCursor(pic, 16, 4, 4, cursor, 2, 2, 0, 0);
    EXPECT_EQ(pic[4 + 2], 100);                 // transparent pixel leaves the picture
    const uint8_t* half = pic + 16;             // (0,1): alpha 0x80, red 0x40
    EXPECT_EQ(half[2], 0x40 + (100 * 127 + 127) / 255);
    EXPECT_EQ(half[0], (100 * 127 + 127) / 255);
    BlendCursor(pic, 16, 4, 4, cursor, 2, 2, -10, -10);  // entirely outside: nothing
}
