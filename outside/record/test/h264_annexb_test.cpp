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

namespace record {
namespace {

// Sequence parameter sets as libx264 writes them (emulation prevention bytes included).
const Bytes kSps1080High = {0x67, 0x64, 0x00, 0x28, 0xac, 0xd9, 0x40, 0x78, 0x02, 0x27, 0xe5, 0xc0, 0x44, 0x00,
                            0x00, 0x03, 0x00, 0x04, 0x00, 0x00, 0x03, 0x00, 0x50, 0x3c, 0x60, 0xc6, 0x58};
const Bytes kSpsQcifBaseline = {0x67, 0x42, 0xc0, 0x0a, 0xd9, 0x02, 0xc4, 0xec, 0x04, 0x40, 0x00,
                                0x00, 0x03, 0x00, 0x40, 0x00, 0x00, 0x05, 0x03, 0xc4, 0x89, 0x92};
const Bytes kSpsCif444 = {0x67, 0xf4, 0x00, 0x0c, 0x91, 0x9b, 0x28, 0x2c, 0x12, 0xd8, 0x08, 0x80,
                          0x00, 0x00, 0x03, 0x00, 0x80, 0x00, 0x00, 0x0a, 0x07, 0x8a, 0x14, 0xcb};

NalUnit Nal(const Bytes& b) { return NalUnit{b.data(), b.size()}; }

TEST(AnnexB, SequenceParameterSetSizeAndFormat) {
    SpsInfo s;
    ASSERT_TRUE(ParseSps(Nal(kSps1080High), &s));
    EXPECT_EQ(s.profile, 100);
    EXPECT_EQ(s.width, 1920);
    EXPECT_EQ(s.height, 1080);  // 68 macroblock rows cropped by 8
    EXPECT_EQ(s.chromaFormat, 1);
    EXPECT_EQ(s.bitDepthLuma, 8);

    ASSERT_TRUE(ParseSps(Nal(kSpsQcifBaseline), &s));
    EXPECT_EQ(s.profile, 66);
    EXPECT_EQ(s.width, 176);
    EXPECT_EQ(s.height, 144);

    ASSERT_TRUE(ParseSps(Nal(kSpsCif444), &s));
    EXPECT_EQ(s.profile, 244);
    EXPECT_EQ(s.chromaFormat, 3);
    EXPECT_EQ(s.width, 352);
    EXPECT_EQ(s.height, 288);

    // Cut short anywhere, or not a parameter set: refused.
    for (size_t n = 1; n < 10; ++n) EXPECT_FALSE(ParseSps(NalUnit{kSps1080High.data(), n}, &s)) << n;
    EXPECT_FALSE(ParseSps(Nal(kPps), &s));
}

TEST(AnnexB, HighProfileConfigurationCarriesChromaFormatAndDepth) {
    const Bytes avcC = BuildAvcC({Nal(kSps1080High), Nal(kPps)});
    ASSERT_EQ(avcC.size(), 6 + 2 + kSps1080High.size() + 1 + 2 + kPps.size() + 4);
    EXPECT_EQ(avcC[1], 0x64);
    EXPECT_EQ(avcC[3], 0x28);
    EXPECT_EQ(Bytes(avcC.end() - 4, avcC.end()), (Bytes{0xfd, 0xf8, 0xf8, 0x00}));
    // Baseline has no such fields.
    EXPECT_EQ(BuildAvcC({Nal(kSpsQcifBaseline), Nal(kPps)}).size(), 6 + 2 + kSpsQcifBaseline.size() + 1 + 2 + kPps.size());
}

}  // namespace
}  // namespace record
