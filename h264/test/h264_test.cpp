#include "h264/decoder_config.h"
#include "h264/nal_units.h"

#include <gtest/gtest.h>

namespace h264 {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Unit(const NalUnit& n) { return Bytes(n.data, n.data + n.size); }
NalUnit Nal(const Bytes& b) { return NalUnit{b.data(), b.size()}; }

const Bytes kSps = {0x67, 0x64, 0x00, 0x1f, 0xac, 0xd9};
const Bytes kPps = {0x68, 0xeb, 0xe3, 0xcb};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x21};

// Sequence parameter sets as libx264 writes them (emulation prevention bytes included).
const Bytes kSps1080High = {0x67, 0x64, 0x00, 0x28, 0xac, 0xd9, 0x40, 0x78, 0x02, 0x27, 0xe5, 0xc0, 0x44, 0x00,
                            0x00, 0x03, 0x00, 0x04, 0x00, 0x00, 0x03, 0x00, 0x50, 0x3c, 0x60, 0xc6, 0x58};
const Bytes kSpsQcifBaseline = {0x67, 0x42, 0xc0, 0x0a, 0xd9, 0x02, 0xc4, 0xec, 0x04, 0x40, 0x00,
                                0x00, 0x03, 0x00, 0x40, 0x00, 0x00, 0x05, 0x03, 0xc4, 0x89, 0x92};
const Bytes kSpsCif444 = {0x67, 0xf4, 0x00, 0x0c, 0x91, 0x9b, 0x28, 0x2c, 0x12, 0xd8, 0x08, 0x80,
                          0x00, 0x00, 0x03, 0x00, 0x80, 0x00, 0x00, 0x0a, 0x07, 0x8a, 0x14, 0xcb};

TEST(AnnexB, SplitsOnThreeAndFourByteStartCodes) {
    Bytes stream = {0xff, 0x00, 0x00, 0x00, 0x01};  // a byte before the first code is no unit
    stream.insert(stream.end(), kSps.begin(), kSps.end());
    stream.insert(stream.end(), {0x00, 0x00, 0x01});
    stream.insert(stream.end(), kPps.begin(), kPps.end());
    stream.insert(stream.end(), {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01});  // extra zero, empty unit
    stream.insert(stream.end(), kIdr.begin(), kIdr.end());
    stream.insert(stream.end(), {0x00, 0x00});  // trailing padding
    const auto nals = SplitAnnexB(stream.data(), stream.size());
    ASSERT_EQ(nals.size(), 3u);
    EXPECT_EQ(Unit(nals[0]), kSps);
    EXPECT_EQ(nals[0].startCodeSize, 4u);
    EXPECT_EQ(Unit(nals[1]), kPps);
    EXPECT_EQ(nals[1].startCodeSize, 3u);
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

TEST(AnnexB, LengthPrefixedRoundTripAndLyingLengths) {
    const std::vector<NalUnit> nals = {Nal(kSps), Nal(kIdr)};
    Bytes prefixed;
    AppendLengthPrefixed(nals, 4, &prefixed);
    Bytes expected = {0, 0, 0, 6};
    expected.insert(expected.end(), kSps.begin(), kSps.end());
    expected.insert(expected.end(), {0, 0, 0, 5});
    expected.insert(expected.end(), kIdr.begin(), kIdr.end());
    EXPECT_EQ(prefixed, expected);

    std::vector<NalUnit> back;
    ASSERT_TRUE(SplitLengthPrefixed(prefixed.data(), prefixed.size(), 4, &back));
    Bytes annexB;
    AppendAnnexB(back, &annexB);
    const auto again = SplitAnnexB(annexB.data(), annexB.size());
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(Unit(again[0]), kSps);
    EXPECT_EQ(Unit(again[1]), kIdr);

    // A length that claims one byte more than is left, or a cut length field: refused.
    prefixed[13] = 6;
    back.clear();
    EXPECT_FALSE(SplitLengthPrefixed(prefixed.data(), prefixed.size(), 4, &back));
    EXPECT_EQ(back.size(), 1u);
    back.clear();
    EXPECT_FALSE(SplitLengthPrefixed(prefixed.data(), 12, 4, &back));
    EXPECT_FALSE(SplitLengthPrefixed(prefixed.data(), prefixed.size(), 3, &back));
}

TEST(Sps, SizeAndFormat) {
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

TEST(DecoderConfig, FromTheParameterSetsOfAnAccessUnit) {
    const Bytes sps2 = {0x67, 0x64, 0x00, 0x1f, 0xff};
    const Bytes avcC = BuildAvcC({Nal(kSps), Nal(kPps), Nal(kSps), Nal(sps2), Nal(kIdr)});
    Bytes expected = {1, 0x64, 0x00, 0x1f, 0xff, 0xe2, 0x00, 0x06};
    expected.insert(expected.end(), kSps.begin(), kSps.end());
    expected.insert(expected.end(), {0x00, 0x05});
    expected.insert(expected.end(), sps2.begin(), sps2.end());
    expected.insert(expected.end(), {0x01, 0x00, 0x04});
    expected.insert(expected.end(), kPps.begin(), kPps.end());
    EXPECT_EQ(avcC, expected);  // a High SPS that cannot be parsed: no chroma fields

    // Without a picture parameter set, or with a cut sequence parameter set: nothing.
    EXPECT_TRUE(BuildAvcC({Nal(kSps), Nal(kIdr)}).empty());
    EXPECT_TRUE(BuildAvcC({{kSps.data(), 3}, Nal(kPps)}).empty());
}

TEST(DecoderConfig, HighProfileFieldsBuiltAndParsedBack) {
    const Bytes avcC = BuildDecoderConfig({Nal(kSps1080High)}, {Nal(kPps)});
    ASSERT_EQ(avcC.size(), 6 + 2 + kSps1080High.size() + 1 + 2 + kPps.size() + 4);
    EXPECT_EQ(Bytes(avcC.end() - 4, avcC.end()), (Bytes{0xfd, 0xf8, 0xf8, 0x00}));
    DecoderConfig c;
    ASSERT_TRUE(ParseDecoderConfig(avcC.data(), avcC.size(), &c));
    EXPECT_EQ(c.profile, 100);
    EXPECT_EQ(c.level, 0x28);
    EXPECT_EQ(c.lengthSize, 4);
    ASSERT_EQ(c.sps.size(), 1u);
    EXPECT_EQ(Unit(c.sps[0]), kSps1080High);
    ASSERT_EQ(c.pps.size(), 1u);
    EXPECT_EQ(Unit(c.pps[0]), kPps);
    EXPECT_TRUE(c.hasHighFields);
    EXPECT_EQ(c.chromaFormat, 1);
    EXPECT_EQ(c.bitDepthLuma, 8);

    // Baseline has no such fields; neither has High 4:4:4 Predictive, which the record's
    // condition does not name.
    const Bytes baseline = BuildDecoderConfig({Nal(kSpsQcifBaseline)}, {Nal(kPps)});
    EXPECT_EQ(baseline.size(), 6 + 2 + kSpsQcifBaseline.size() + 1 + 2 + kPps.size());
    ASSERT_TRUE(ParseDecoderConfig(baseline.data(), baseline.size(), &c));
    EXPECT_FALSE(c.hasHighFields);
    EXPECT_EQ(BuildDecoderConfig({Nal(kSpsCif444)}, {Nal(kPps)}).size(), 6 + 2 + kSpsCif444.size() + 1 + 2 + kPps.size());

    // Cut anywhere before the end of the picture parameter set: refused.
    for (size_t n = 0; n < avcC.size() - 4; ++n) EXPECT_FALSE(ParseDecoderConfig(avcC.data(), n, &c)) << n;
}

}  // namespace
}  // namespace h264
