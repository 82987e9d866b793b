// The frame layout the engine hands out: start-code splitting, the 12-byte header, the
// builder's clean-up, and real libx264 output cut the way the RTMP publisher cuts it.
#include "access_unit.h"
#include "h264/nal_units.h"
#include "h264_check.h"
#include "h264_encoder.h"

#include <gtest/gtest.h>

using namespace mediatap;
using namespace h264;
using mediatap_test::AvcC;
using mediatap_test::CutInterFrame;
using mediatap_test::CutKeyFrame;
using mediatap_test::Decoder;
using mediatap_test::Picture;

namespace {
typedef std::vector<uint8_t> Bytes;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes r;
    for (const Bytes& p : parts) r.insert(r.end(), p.begin(), p.end());
    return r;
}
const Bytes kLong = {0, 0, 0, 1}, kShort = {0, 0, 1};
const Bytes kSps = {0x67, 0x42, 0xC0, 0x1E, 0xDA}, kPps = {0x68, 0xCE, 0x3C, 0x80};
const Bytes kSei = {0x06, 0x05, 0x01, 0xAA, 0x80}, kIdr = {0x65, 0x88, 0x84, 0x00, 0x33};
const Bytes kSlice = {0x41, 0x9A, 0x02, 0x11}, kAud = {0x09, 0xF0};

Bytes Payload(const Bytes& frame) { return Bytes(frame.begin() + kRtpHeaderSize, frame.end()); }

// Moving colour pattern in I420.
void Paint(I420Frame* f, int t) {
    for (int y = 0; y < f->height; ++y)
        for (int x = 0; x < f->width; ++x) f->Y()[y * f->width + x] = static_cast<uint8_t>((x + 3 * t) ^ y);
    for (int y = 0; y < f->height / 2; ++y)
        for (int x = 0; x < f->width / 2; ++x) {
            f->U()[y * f->StrideUV() + x] = static_cast<uint8_t>(64 + x + t);
            f->V()[y * f->StrideUV() + x] = static_cast<uint8_t>(192 - y);
        }
}
}  // namespace

TEST(RtpHeader, IsBigEndianAndRoundTrips) {
    uint8_t h[12];
    WriteRtpHeader(h, 0x1234, 0xA1B2C3D4, 0x01020304);
    const uint8_t want[12] = {0x80, 0xE0, 0x12, 0x34, 0xA1, 0xB2, 0xC3, 0xD4, 1, 2, 3, 4};
    EXPECT_EQ(0, memcmp(h, want, 12));
    RtpHeader r;
    ASSERT_TRUE(ReadRtpHeader(h, 12, &r));
    EXPECT_EQ(r.sequence, 0x1234);
    EXPECT_EQ(r.timestamp90k, 0xA1B2C3D4u);
    EXPECT_FALSE(ReadRtpHeader(h, 11, &r));
    h[1] = 0x60;
    EXPECT_FALSE(ReadRtpHeader(h, 12, &r));
}

TEST(FrameBuilder, LaysOutKeyAndInterFrames) {
    FrameBuilder builder(7);
    Bytes out;
    // Encoder output with an access unit delimiter and short start codes everywhere.
    Bytes key = Cat({kShort, kAud, kShort, kSps, kShort, kPps, kShort, kSei, kShort, kIdr});
    ASSERT_TRUE(builder.Build(key.data(), key.size(), true, 1000, &out));
    EXPECT_EQ(Payload(out), Cat({kLong, kSps, kLong, kPps, kShort, kSei, kShort, kIdr}));
    RtpHeader h;
    ASSERT_TRUE(ReadRtpHeader(out.data(), out.size(), &h));
    EXPECT_EQ(h.sequence, 0);
    EXPECT_EQ(h.timestamp90k, 90000u);
    EXPECT_EQ(h.sourceId, 7u);

    Bytes inter = Cat({kShort, kAud, kShort, kSei, kShort, kSlice});
    ASSERT_TRUE(builder.Build(inter.data(), inter.size(), false, 1040, &out));
    EXPECT_EQ(Payload(out), Cat({kLong, kSlice}));
    ASSERT_TRUE(ReadRtpHeader(out.data(), out.size(), &h));
    EXPECT_EQ(h.sequence, 1);

    // A key frame without parameter sets of its own gets the last ones.
    Bytes bare = Cat({kLong, kIdr});
    ASSERT_TRUE(builder.Build(bare.data(), bare.size(), true, 2000, &out));
    EXPECT_EQ(Payload(out), Cat({kLong, kSps, kLong, kPps, kShort, kIdr}));
}

TEST(FrameBuilder, RefusesWhatCannotBeSent) {
    FrameBuilder builder(1);
    Bytes out = {1};
    Bytes bare = Cat({kLong, kIdr});
    EXPECT_FALSE(builder.Build(bare.data(), bare.size(), true, 0, &out));  // no SPS/PPS ever
    EXPECT_TRUE(out.empty());
    Bytes onlyAud = Cat({kLong, kAud});
    EXPECT_FALSE(builder.Build(onlyAud.data(), onlyAud.size(), false, 0, &out));
    EXPECT_FALSE(builder.Build(nullptr, 0, false, 0, &out));
}

// Real libx264 output, key frames every two seconds and one forced, cut and re-packed as the
// RTMP publisher does (sequence header from its SPS/PPS scan, one length-prefixed NAL unit
// per frame), must decode to the same pictures as the plain Annex-B stream.
TEST(FrameBuilder, EncoderOutputSurvivesThePublishersCut) {
    EncoderConfig cfg{320, 240, 10, 300};
    std::string error;
    auto encoder = H264Encoder::Create(cfg, &error);
    ASSERT_TRUE(encoder) << error;
    FrameBuilder builder(99);
    I420Frame frame;
    frame.Reset(cfg.width, cfg.height);
    Decoder annexB, avcc;
    std::vector<int> keys;
    for (int i = 0; i < 50; ++i) {
        Paint(&frame, i);
        Bytes au, out;
        bool key = false;
        ASSERT_TRUE(encoder->Encode(frame, i, i == 7, &au, &key));
        ASSERT_FALSE(au.empty()) << "zero latency: one access unit per picture";
        ASSERT_TRUE(builder.Build(au.data(), au.size(), key, i * 100, &out));
        Bytes payload = Payload(out);
        ASSERT_GE(payload.size(), 5u);
        EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 4), kLong) << "frame " << i;
        Bytes nal;
        if (key) {
            keys.push_back(i);
            EXPECT_EQ(payload[4] & 0x1F, kNalSps);
            mediatap_test::PublisherCut cut = CutKeyFrame(payload);
            std::vector<NalUnit> units = SplitAnnexB(payload.data(), payload.size());
            ASSERT_GE(units.size(), 3u);
            EXPECT_EQ(cut.sps, Bytes(units[0].data, units[0].data + units[0].size));
            EXPECT_EQ(cut.pps, Bytes(units[1].data, units[1].data + units[1].size)) << "PPS must end clean";
            EXPECT_EQ(units[1].type(), kNalPps);
            EXPECT_EQ(units.back().type(), kNalIdr);
            for (size_t u = 2; u < units.size(); ++u) {
                EXPECT_TRUE(units[u].type() == kNalSei || units[u].type() == kNalIdr);
                EXPECT_EQ(units[u].startCodeSize, 3u);
            }
            if (keys.size() == 1) {
                ASSERT_TRUE(avcc.SetAvcC(AvcC(cut.sps, cut.pps)));
            }
            nal = cut.nal;
        } else {
            nal = CutInterFrame(payload).nal;
            std::vector<NalUnit> units = SplitAnnexB(payload.data(), payload.size());
            ASSERT_EQ(units.size(), 1u) << "one slice per picture";
            EXPECT_EQ(units[0].type(), kNalSlice);
        }
        ASSERT_FALSE(keys.empty()) << "the stream starts with a key frame";
        Bytes lengthPrefixed(4 + nal.size());
        for (int k = 0; k < 4; ++k) lengthPrefixed[k] = static_cast<uint8_t>(nal.size() >> (24 - 8 * k));
        std::copy(nal.begin(), nal.end(), lengthPrefixed.begin() + 4);
        Picture a, b;
        ASSERT_TRUE(annexB.DecodeAnnexB(payload.data(), payload.size(), &a)) << "frame " << i;
        ASSERT_TRUE(avcc.DecodeAvcc(lengthPrefixed, &b)) << "frame " << i;
        EXPECT_EQ(a.y, b.y) << "frame " << i;
    }
    // The forced one, and otherwise one every two seconds (20 frames) counted from the last.
    EXPECT_EQ(keys, (std::vector<int>{0, 7, 27, 47}));
}

TEST(H264Encoder, RejectsBadSettings) {
    std::string error;
    EXPECT_FALSE(H264Encoder::Create(EncoderConfig{321, 240, 10, 300}, &error));
    EXPECT_FALSE(H264Encoder::Create(EncoderConfig{320, 240, 0, 300}, &error));
    EXPECT_FALSE(H264Encoder::Create(EncoderConfig{320, 240, 10, 0}, &error));
    auto encoder = H264Encoder::Create(EncoderConfig{64, 64, 10, 100}, &error);
    ASSERT_TRUE(encoder);
    I420Frame wrong;
    wrong.Reset(32, 32);
    Bytes au;
    bool key;
    EXPECT_FALSE(encoder->Encode(wrong, 0, false, &au, &key));
}
