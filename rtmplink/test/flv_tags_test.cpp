// Byte layouts of the FLV tag bodies and the parsing of Annex-B access units.
#include "flv_tags.h"

#include <gtest/gtest.h>

using namespace rtmplink;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes kCode4 = {0, 0, 0, 1};
const Bytes kCode3 = {0, 0, 1};
const Bytes kSps = {0x67, 0x64, 0x00, 0x1F, 0xAC, 0xD9};
const Bytes kPps = {0x68, 0xEB, 0xE3, 0xCB};
const Bytes kSei = {0x06, 0x05, 0x01, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x21};
const Bytes kIdr2 = {0x65, 0x01, 0x02};
const Bytes kSlice = {0x41, 0x9A, 0x02};

Bytes ExpectedHeader(const Bytes& sps, const Bytes& pps, const Bytes& highFields = {}) {
    return Cat({{0x17, 0, 0, 0, 0, 0x01, sps[1], sps[2], sps[3], 0xFF, 0xE1, static_cast<uint8_t>(sps.size() >> 8),
                 static_cast<uint8_t>(sps.size())},
                sps,
                {0x01, static_cast<uint8_t>(pps.size() >> 8), static_cast<uint8_t>(pps.size())},
                pps,
                highFields});
}

Bytes HeaderOf(const Bytes& frame) {
    KeyFrameParts parts;
    EXPECT_EQ(ParseKeyFrame(frame.data(), frame.size(), &parts), KeyFrameError::kNone);
    Bytes body;
    if (parts.sps.size) BuildSequenceHeader(parts.sps, parts.pps, &body);
    return body;
}

}  // namespace

TEST(FlvTags, SequenceHeaderWithFourAndThreeByteStartCodes) {
    const Bytes expected = ExpectedHeader(kSps, kPps);
    EXPECT_EQ(expected.size(), 16 + kSps.size() + kPps.size());
    EXPECT_EQ(HeaderOf(Cat({kCode4, kSps, kCode4, kPps, kCode4, kSei, kCode4, kIdr})), expected);
    EXPECT_EQ(HeaderOf(Cat({kCode4, kSps, kCode3, kPps, kCode3, kIdr})), expected);
    EXPECT_EQ(HeaderOf(Cat({kCode3, kSps, kCode3, kPps, kCode4, kIdr})), expected);
}

TEST(FlvTags, ParameterSetsOfAnySizeUpToTheRecordLimit) {
    Bytes sps = kSps;
    sps.resize(300, 0x5A);
    Bytes pps = kPps;
    pps.resize(180, 0x3C);
    const Bytes header = HeaderOf(Cat({kCode4, sps, kCode4, pps, kCode4, kIdr}));
    // This SPS reads as High profile, 4:2:0, 8 bits: the record ends with those fields.
    EXPECT_EQ(header, ExpectedHeader(sps, pps, {0xFD, 0xF8, 0xF8, 0x00}));
    EXPECT_EQ(header.size(), 16u + 300u + 180u + 4u);

    Bytes huge = kSps;
    huge.resize(70000, 0x5A);
    const Bytes frame = Cat({kCode4, huge, kCode4, kPps, kCode4, kIdr});
    KeyFrameParts parts;
    EXPECT_EQ(ParseKeyFrame(frame.data(), frame.size(), &parts), KeyFrameError::kParameterSetTooLong);
}

TEST(FlvTags, MalformedKeyFramesAreRefused) {
    struct Case {
        Bytes frame;
        KeyFrameError error;
    };
    const Case cases[] = {
        {{}, KeyFrameError::kNoStartCode},
        {{0, 0}, KeyFrameError::kNoStartCode},
        {{0, 0, 0, 1}, KeyFrameError::kNoStartCode},
        {Cat({kCode4, {0x67, 0x64}}), KeyFrameError::kNoSps},  // SPS cut short
        {Cat({kCode4, kPps, kCode4, kIdr}), KeyFrameError::kNoSps},
        {Cat({kCode4, kSps, kCode4, kIdr}), KeyFrameError::kNoPps},
        {Cat({kCode4, kSps}), KeyFrameError::kNoPps},
        {Cat({kCode4, kSps, kCode4, kPps}), KeyFrameError::kNoPictureAfterPps},
        {Cat({kCode4, kSps, kCode4, kPps, kCode4, kSlice}), KeyFrameError::kNoPictureAfterPps},
        {Cat({kCode4, kSps, kCode4, kPps, kCode4, kSei}), KeyFrameError::kNoIdr},
    };
    for (const Case& c : cases) {
        KeyFrameParts parts;
        EXPECT_EQ(ParseKeyFrame(c.frame.data(), c.frame.size(), &parts), c.error) << KeyFrameErrorText(c.error);
    }
}

TEST(FlvTags, KeyAndInterFrameBodies) {
    // Key frame: from the first IDR slice to the end, each NAL behind its length; SEI before
    // the IDR is left out.
    const Bytes key = Cat({kCode4, kSps, kCode4, kPps, kCode4, kSei, kCode4, kIdr, kCode3, kIdr2});
    KeyFrameParts parts;
    ASSERT_EQ(ParseKeyFrame(key.data(), key.size(), &parts), KeyFrameError::kNone);
    Bytes body;
    BuildPictureBody(true, parts.picture, &body);
    EXPECT_EQ(body, Cat({{0x17, 0x01, 0, 0, 0}, {0, 0, 0, 4}, kIdr, {0, 0, 0, 3}, kIdr2}));

    const Bytes inter = Cat({kCode4, kSlice});
    BuildPictureBody(false, SplitAnnexB(inter.data(), inter.size()), &body);
    EXPECT_EQ(body, Cat({{0x27, 0x01, 0, 0, 0}, {0, 0, 0, 3}, kSlice}));
    EXPECT_EQ(body.size(), 9 + kSlice.size());
    // Bytes before the first start code and a trailing zero before the next one are not NAL.
    const Bytes messy = Cat({{0xAA}, kCode3, kSlice, {0}, kCode4, kSlice});
    const auto nals = SplitAnnexB(messy.data(), messy.size());
    ASSERT_EQ(nals.size(), 2u);
    EXPECT_EQ(Bytes(nals[0].data, nals[0].data + nals[0].size), kSlice);
    EXPECT_TRUE(SplitAnnexB(nullptr, 10).empty());
}

TEST(FlvTags, AudioTypeTable) {
    const Bytes frame = {0x21, 0x10};
    Bytes body;
    BuildAudioBody(0, frame.data(), frame.size(), &body);
    EXPECT_EQ(body, (Bytes{0xBE, 0x21, 0x10}));
    BuildAudioBody(1, frame.data(), frame.size(), &body);
    EXPECT_EQ(body, (Bytes{0xAF, 0x01, 0x21, 0x10}));
    BuildAudioBody(2, frame.data(), frame.size(), &body);
    EXPECT_EQ(body, (Bytes{0x2F, 0x21, 0x10}));
    BuildAudioBody(7, frame.data(), frame.size(), &body);
    EXPECT_EQ(body, (Bytes{0xAF, 0x21, 0x10}));
    BuildAacSequenceHeader({0x14, 0x08}, &body);
    EXPECT_EQ(body, (Bytes{0xAF, 0x00, 0x14, 0x08}));
    // Configurations longer than the usual two bytes are carried whole.
    Bytes longConfig(12, 0x11);
    BuildAacSequenceHeader(longConfig, &body);
    EXPECT_EQ(body.size(), 14u);
}
