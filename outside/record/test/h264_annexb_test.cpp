#include "h264_annexb.h"

#include <gtest/gtest.h>

namespace record {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Unit(const NalUnit& n) { return Bytes(n.data, n.data + n.size); }

const Bytes kSps = {0x67, 0x64, 0x00, 0x1f, 0xac, 0xd9};
const Bytes kPps = {0x68, 0xeb, 0xe3, 0xcb};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x21};

TEST(AnnexB, SplitsOnThreeAndFourByteStartCodes) {
    Bytes stream = {0x00, 0x00, 0x00, 0x01};
    stream.insert(stream.end(), kSps.begin(), kSps.end());
    stream.insert(stream.end(), {0x00, 0x00, 0x01});
    stream.insert(stream.end(), kPps.begin(), kPps.end());
    stream.insert(stream.end(), {0x00, 0x00, 0x00, 0x00, 0x01});  // extra zero before a code
    stream.insert(stream.end(), kIdr.begin(), kIdr.end());
    stream.insert(stream.end(), {0x00, 0x00});                    // trailing padding
    const auto nals = SplitAnnexB(stream.data(), stream.size());
    ASSERT_EQ(nals.size(), 3u);
    EXPECT_EQ(Unit(nals[0]), kSps);
    EXPECT_EQ(Unit(nals[1]), kPps);
    EXPECT_EQ(Unit(nals[2]), kIdr);  // its own 00 inside (0x84 0x00 0x21) stays
    EXPECT_EQ(nals[2].type(), kNalIdr);
}

TEST(AnnexB, GarbageAndEmptyInputHaveNoUnits) {
    const Bytes noCode = {0x65, 0x00, 0x00, 0x02, 0x11};
    EXPECT_TRUE(SplitAnnexB(noCode.data(), noCode.size()).empty());
    const Bytes onlyCodes = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01};
    EXPECT_TRUE(SplitAnnexB(onlyCodes.data(), onlyCodes.size()).empty());
    EXPECT_TRUE(SplitAnnexB(nullptr, 10).empty());
    const Bytes cut = {0x00, 0x00};
    EXPECT_TRUE(SplitAnnexB(cut.data(), cut.size()).empty());
}

TEST(AnnexB, DecoderConfigurationFromParameterSets) {
    const Bytes sps2 = {0x67, 0x64, 0x00, 0x1f, 0xff};
    std::vector<NalUnit> nals = {{kSps.data(), kSps.size()}, {kPps.data(), kPps.size()}, {kSps.data(), kSps.size()},
                                 {sps2.data(), sps2.size()}, {kIdr.data(), kIdr.size()}};
    const Bytes avcC = BuildAvcC(nals);
    Bytes expected = {1, 0x64, 0x00, 0x1f, 0xff, 0xe2, 0x00, 0x06};
    expected.insert(expected.end(), kSps.begin(), kSps.end());
    expected.insert(expected.end(), {0x00, 0x05});
    expected.insert(expected.end(), sps2.begin(), sps2.end());
    expected.insert(expected.end(), {0x01, 0x00, 0x04});
    expected.insert(expected.end(), kPps.begin(), kPps.end());
    EXPECT_EQ(avcC, expected);

    // Without a picture parameter set, or with a cut sequence parameter set: nothing.
    EXPECT_TRUE(BuildAvcC({{kSps.data(), kSps.size()}, {kIdr.data(), kIdr.size()}}).empty());
    EXPECT_TRUE(BuildAvcC({{kSps.data(), 3}, {kPps.data(), kPps.size()}}).empty());
}

TEST(AnnexB, LengthPrefixedDropsDelimiters) {
    const Bytes aud = {0x09, 0xf0};
    const Bytes out = ToLengthPrefixed({{aud.data(), aud.size()}, {kIdr.data(), kIdr.size()}});
    Bytes expected = {0, 0, 0, 5};
    expected.insert(expected.end(), kIdr.begin(), kIdr.end());
    EXPECT_EQ(out, expected);
}

}  // namespace
}  // namespace record
