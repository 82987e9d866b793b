#include "record_rules.h"

#include <gtest/gtest.h>

namespace record {
namespace {

TEST(RecordRules, ContainerByExtension) {
    EXPECT_EQ(ContainerForPath("/tmp/a.mp4"), Container::kMp4);
    EXPECT_EQ(ContainerForPath("a.MP4"), Container::kMp4);
    EXPECT_EQ(ContainerForPath("dir.v1/b.flv"), Container::kFlv);
    EXPECT_EQ(ContainerForPath("c.Mkv"), Container::kMkv);
    for (const char* p : {"a.avi", "a.mp4.tmp", "noext", "dir.mp4/", "dir.mp4/file", ".mp4", "", "a."})
        EXPECT_EQ(ContainerForPath(p), Container::kUnknown) << p;
    EXPECT_STREQ(MuxerName(Container::kMkv), "matroska");
    EXPECT_EQ(MuxerName(Container::kUnknown), nullptr);
}

TEST(RecordRules, ClockIsRelativeToFirstTickAndSurvivesTheWrap) {
    RecordClock clock;
    EXPECT_EQ(clock.Elapsed(0xfffffc18u), 0);   // 1000 ms before the wrap
    EXPECT_EQ(clock.Elapsed(0xfffffffFu), 999);
    EXPECT_EQ(clock.Elapsed(0x00000010u), 1016);
    EXPECT_EQ(clock.Elapsed(0x00000000u), 1000);  // behind the latest: earlier, latest kept
    EXPECT_EQ(clock.Elapsed(0x00000020u), 1032);
}

TEST(RecordRules, TrackTimesNeverGoBackwardsAndNeverRepeat) {
    TrackTimeline line;
    EXPECT_EQ(line.Next(-5), 0);
    EXPECT_EQ(line.Next(0), 1);
    EXPECT_EQ(line.Next(40), 40);
    EXPECT_EQ(line.Next(40), 41);
    EXPECT_EQ(line.Next(30), 42);
    EXPECT_EQ(line.Next(100), 100);
}

TEST(RecordRules, DefaultAacConfig) {
    EXPECT_EQ(DefaultAacConfig(16000, 1), (std::vector<uint8_t>{0x14, 0x08}));
    EXPECT_EQ(DefaultAacConfig(44100, 2), (std::vector<uint8_t>{0x12, 0x10}));
    EXPECT_TRUE(DefaultAacConfig(16001, 1).empty());
    EXPECT_TRUE(DefaultAacConfig(16000, 0).empty());
    EXPECT_TRUE(DefaultAacConfig(16000, 8).empty());
}

}  // namespace
}  // namespace record
