// The player's packet handling: the length-prefixed to Annex-B converter and the two output
// layouts, over hand-made FLV bodies and over hostile ones.
#include "play_packets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace rtmplink;

namespace {

typedef std::vector<uint8_t> Bytes;

const Bytes kSps = {0x67, 0x42, 0xC0, 0x1E, 0xDA, 0x02};
const Bytes kPps = {0x68, 0xCE, 0x3C, 0x80};

Bytes Record(const Bytes& sps, const Bytes& pps, uint8_t b4 = 0xFF, uint8_t b5 = 0xE1) {
    Bytes r;
    for (const Bytes& part : {Bytes{0x01, sps[1], sps[2], sps[3], b4, b5, static_cast<uint8_t>(sps.size() >> 8),
                                    static_cast<uint8_t>(sps.size())},
                              sps, Bytes{0x01, static_cast<uint8_t>(pps.size() >> 8), static_cast<uint8_t>(pps.size())},
                              pps})
        r.insert(r.end(), part.begin(), part.end());
    return r;
}

Bytes SequenceHeader(const Bytes& sps, const Bytes& pps) {
    Bytes b = {0x17, 0x00, 0x00, 0x00, 0x00};
    Bytes r = Record(sps, pps);
    b.insert(b.end(), r.begin(), r.end());
    return b;
}

Bytes Frame(bool key, const std::vector<Bytes>& nals) {
    Bytes b = {static_cast<uint8_t>(key ? 0x17 : 0x27), 0x01, 0x00, 0x00, 0x00};
    for (const Bytes& n : nals) {
        const uint32_t len = static_cast<uint32_t>(n.size());
        b.push_back(static_cast<uint8_t>(len >> 24));
        b.push_back(static_cast<uint8_t>(len >> 16));
        b.push_back(static_cast<uint8_t>(len >> 8));
        b.push_back(static_cast<uint8_t>(len));
        b.insert(b.end(), n.begin(), n.end());
    }
    return b;
}

Bytes AnnexB(const std::vector<Bytes>& nals) {
    Bytes out;
    for (const Bytes& n : nals) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), n.begin(), n.end());
    }
    return out;
}

Bytes Payload(const PlayPacketizer& p) {
    return Bytes(p.VideoData() + kPlayHeaderSize, p.VideoData() + p.VideoLength());
}

uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

}  // namespace

TEST(AvcToAnnexB, RecordAndFrames) {
    Bytes out(200);
    const Bytes record = Record(kSps, kPps);
    int n = AvcToAnnexB(record.data(), static_cast<int>(record.size()), out.data(), 200);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + n), AnnexB({kSps, kPps}));

    const Bytes idr = {0x65, 0x88, 0x84, 0x00, 0x10};
    const Bytes sei = {0x06, 0x05, 0x01, 0x80};
    const Bytes frame = Frame(true, {sei, idr});
    n = AvcToAnnexB(frame.data() + 5, static_cast<int>(frame.size() - 5), out.data(), 200);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + n), AnnexB({sei, idr}));
    // Too little room for the second NAL: the first is kept.
    n = AvcToAnnexB(frame.data() + 5, static_cast<int>(frame.size() - 5), out.data(), 10);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + n), AnnexB({sei}));
}

TEST(AvcToAnnexB, LengthsBeyondTheInputStop) {
    Bytes out(64, 0xAA);
    EXPECT_EQ(AvcToAnnexB(nullptr, 10, out.data(), 64), 0);
    const Bytes shortIn = {0, 0, 1};
    EXPECT_EQ(AvcToAnnexB(shortIn.data(), 3, out.data(), 64), 0);
    // A NAL length that claims more than the message holds.
    const Bytes lying = {0x00, 0x00, 0x10, 0x00, 0x65, 0x01};
    EXPECT_EQ(AvcToAnnexB(lying.data(), 6, out.data(), 64), 0);
    // 0xFFFFFFFF must not wrap into a small length.
    const Bytes huge = {0xFF, 0xFF, 0xFF, 0xFF, 0x65, 0x01};
    EXPECT_EQ(AvcToAnnexB(huge.data(), 6, out.data(), 64), 0);
    // A record cut inside the SPS, and one cut right after its head.
    Bytes record = Record(kSps, kPps);
    EXPECT_EQ(AvcToAnnexB(record.data(), 10, out.data(), 64), 0);
    EXPECT_EQ(AvcToAnnexB(record.data(), 9, out.data(), 64), 0);
    // A good first NAL followed by a truncated length field keeps the first.
    Bytes two = {0x00, 0x00, 0x00, 0x02, 0x65, 0x01, 0x00, 0x00};
    EXPECT_EQ(AvcToAnnexB(two.data(), static_cast<int>(two.size()), out.data(), 64), 6);
}

TEST(AvcToAnnexB, RecordWithoutFfE1LeavesNothing) {
    Bytes out(100);
    const Bytes record = Record(kSps, kPps, 0xFC, 0xE1);
    EXPECT_EQ(AvcToAnnexB(record.data(), static_cast<int>(record.size()), out.data(), 100), 0);
    const Bytes record2 = Record(kSps, kPps, 0xFF, 0xE2);
    EXPECT_EQ(AvcToAnnexB(record2.data(), static_cast<int>(record2.size()), out.data(), 100), 0);
}

TEST(PlayPacketizer, KeyFramesCarryParameterSetsInterFramesWaitForKey) {
    PlayPacketizer p;
    const Bytes idr = {0x65, 0x88, 0x84};
    const Bytes slice = {0x41, 0x9A, 0x02};
    // Inter frame before any key frame: dropped.
    Bytes inter = Frame(false, {slice});
    EXPECT_EQ(p.Video(inter.data(), static_cast<uint32_t>(inter.size()), 0), PlayResult::kWaitingForKey);
    // Key frame without a sequence header: delivered, empty prefix.
    Bytes key = Frame(true, {idr});
    ASSERT_EQ(p.Video(key.data(), static_cast<uint32_t>(key.size()), 40), PlayResult::kDelivered);
    EXPECT_EQ(Payload(p), AnnexB({idr}));
    EXPECT_TRUE(p.VideoKey());
    EXPECT_EQ(p.Video(inter.data(), static_cast<uint32_t>(inter.size()), 80), PlayResult::kDelivered);
    EXPECT_EQ(Payload(p), AnnexB({slice}));
    EXPECT_FALSE(p.VideoKey());

    // A new sequence header mid-stream: inter frames wait for the next key frame, which
    // carries the new SPS and PPS.
    Bytes sps2 = kSps;
    sps2.back() = 0x77;
    Bytes header = SequenceHeader(sps2, kPps);
    EXPECT_EQ(p.Video(header.data(), static_cast<uint32_t>(header.size()), 120), PlayResult::kSequenceHeader);
    EXPECT_EQ(p.Video(inter.data(), static_cast<uint32_t>(inter.size()), 120), PlayResult::kWaitingForKey);
    ASSERT_EQ(p.Video(key.data(), static_cast<uint32_t>(key.size()), 160), PlayResult::kDelivered);
    EXPECT_EQ(Payload(p), AnnexB({sps2, kPps, idr}));
}

TEST(PlayPacketizer, VideoHeaderSequenceAndTimestamp) {
    PlayPacketizer p;
    const Bytes key = Frame(true, {{0x65, 0x01}});
    // Sequence numbers start at 0 and wrap at 65536; timestamps are (ms & 0xFFFFFF) * 90 in
    // 32 bits.
    for (uint32_t i = 0; i < 65538; ++i) {
        const uint32_t ts = i == 65537 ? 0xFFFFFFFFu : i;
        ASSERT_EQ(p.Video(key.data(), static_cast<uint32_t>(key.size()), ts), PlayResult::kDelivered);
        const uint8_t* h = p.VideoData();
        if (i == 0 || i >= 65535) {
            EXPECT_EQ(h[0], 0x80);
            EXPECT_EQ(h[1], 0xE0);
            EXPECT_EQ((h[2] << 8) | h[3], static_cast<int>(i & 0xFFFF)) << i;
            EXPECT_EQ(Be32(h + 4), static_cast<uint32_t>((ts & 0xFFFFFFu) * 90u)) << i;
        }
    }
    EXPECT_EQ(Be32(p.VideoData() + 4), 0xFFFFFFu * 90u);  // 1509949350 after the 32-bit wrap
}

TEST(PlayPacketizer, AudioLayoutAndClock) {
    PlayPacketizer p;
    // AAC: the configuration first (packet type 0), then raw frames (packet type 1).
    const Bytes config = {0xAF, 0x00, 0x14, 0x08};
    const Bytes raw = {0xAF, 0x01, 0x21, 0x10, 0x05};
    ASSERT_EQ(p.Audio(config.data(), 4), PlayResult::kDelivered);
    EXPECT_EQ(Bytes(p.AudioData() + 12, p.AudioData() + p.AudioLength()), Bytes({0x00, 0x14, 0x08}));
    EXPECT_EQ(p.AudioData()[1], 0xE1);
    EXPECT_EQ(Be32(p.AudioData() + 4), 0u);
    for (int i = 1; i < 70000; ++i) {
        ASSERT_EQ(p.Audio(raw.data(), 5), PlayResult::kDelivered);
        if (i < 3 || i > 65534) {
            EXPECT_EQ((p.AudioData()[2] << 8) | p.AudioData()[3], i & 0xFFFF);
            EXPECT_EQ(Be32(p.AudioData() + 4), static_cast<uint32_t>(i) * 640u);
        }
    }
    EXPECT_EQ(p.AudioLength(), 16);
    EXPECT_EQ(p.AudioData()[12], 0x01);
}

TEST(PlayPacketizer, HostileBodiesAreDroppedWithoutHarm) {
    PlayPacketizer p;
    const Bytes one = {0x17};
    // One byte, empty, and a header without data: nothing read beyond the body.
    EXPECT_EQ(p.Video(one.data(), 1, 0), PlayResult::kDataError);
    EXPECT_EQ(p.Video(one.data(), 0, 0), PlayResult::kDataError);
    EXPECT_EQ(p.Video(nullptr, 100, 0), PlayResult::kDataError);
    EXPECT_EQ(p.Audio(one.data(), 1), PlayResult::kDataError);
    EXPECT_EQ(p.Audio(one.data(), 0), PlayResult::kDataError);
    // A sequence header with an SPS length beyond the message: parameter sets empty.
    Bytes header = SequenceHeader(kSps, kPps);
    header[11] = 0x40;
    EXPECT_EQ(p.Video(header.data(), static_cast<uint32_t>(header.size()), 0), PlayResult::kSequenceHeader);
    EXPECT_EQ(p.ParameterSetLength(), 0);
    // Parameter sets beyond 100 bytes: what fits is kept.
    Bytes bigSps(120, 0x11);
    bigSps[0] = 0x67;
    Bytes big = SequenceHeader(bigSps, kPps);
    EXPECT_EQ(p.Video(big.data(), static_cast<uint32_t>(big.size()), 0), PlayResult::kSequenceHeader);
    EXPECT_EQ(p.ParameterSetLength(), 0);  // the SPS alone does not fit
    // A key frame whose NAL length lies: dropped as a data error.
    Bytes key = Frame(true, {{0x65, 0x01, 0x02}});
    key[8] = 0x7F;
    EXPECT_EQ(p.Video(key.data(), static_cast<uint32_t>(key.size()), 0), PlayResult::kDataError);
    // A body beyond the message bound is refused before anything is allocated for it.
    EXPECT_EQ(p.Video(key.data(), kMaxMessageBytes + 1u, 0), PlayResult::kDataError);
    EXPECT_EQ(p.Audio(key.data(), kMaxMessageBytes + 1u), PlayResult::kDataError);
}
