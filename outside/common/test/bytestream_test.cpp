#include "common/bytestream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using Orvane::Common::ByteReadStream;
using Orvane::Common::ByteWriteStream;

TEST(ByteStreams, EventRecordRoundTrip) {
    std::vector<unsigned char> buf(65535);
    const std::string name(300, 'n');  // a length that needs two 7-bit bytes
    ByteWriteStream ws(buf.data(), static_cast<unsigned>(buf.size()));
    ws << static_cast<Poco::Int32>(6001) << static_cast<Poco::Int32>(-3) << name << std::string();
    ASSERT_TRUE(ws.good());
    EXPECT_EQ(ws.Tell(), 4u + 4u + 2u + 300u + 1u);

    ByteReadStream rs(buf.data(), ws.Tell());
    Poco::Int32 id = 0, value = 0;
    std::string text, empty = "x";
    rs >> id >> value >> text >> empty;
    ASSERT_TRUE(rs.good());
    EXPECT_EQ(id, 6001);
    EXPECT_EQ(value, -3);
    EXPECT_EQ(text, name);
    EXPECT_EQ(empty, "");
    EXPECT_EQ(rs.Remaining(), 0u);
}

TEST(ByteStreams, WriterFailsAtTheEndAndNeverWritesPast) {
    unsigned char buf[16];
    std::memset(buf, 0xEE, sizeof buf);
    {
        ByteWriteStream ws(buf, 8);  // the stream may use only half of it
        ws << static_cast<Poco::Int32>(1) << static_cast<Poco::Int32>(2);
        EXPECT_TRUE(ws.good());
        EXPECT_EQ(ws.Tell(), 8u);  // exact fit
        ws << static_cast<Poco::UInt8>(3);  // one past
        EXPECT_FALSE(ws.good());
        ws << std::string("more text that cannot fit");
        EXPECT_EQ(ws.Tell(), 8u);
    }
    for (int i = 8; i < 16; ++i) EXPECT_EQ(buf[i], 0xEE) << i;

    ByteWriteStream none(nullptr, 0);
    none << static_cast<Poco::UInt8>(1);
    EXPECT_FALSE(none.good());
    EXPECT_EQ(none.Tell(), 0u);
}

TEST(ByteStreams, ReaderFailsPastTheData) {
    unsigned char buf[6] = {1, 0, 0, 0, 0xAA, 0xBB};
    ByteReadStream rs(buf, 5);
    Poco::Int32 v = 0;
    Poco::Int16 w = 0;
    rs >> v;
    EXPECT_TRUE(rs.good());
    rs >> w;  // only one byte is left
    EXPECT_FALSE(rs.good());
}

TEST(ByteStreams, StringLongerThanTheDataFailsWithoutHugeAllocation) {
    // A 7-bit length of about 4 GB followed by three bytes.
    unsigned char buf[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 'a', 'b', 'c'};
    ByteReadStream rs(buf, sizeof buf);
    std::string text = "old";
    rs >> text;
    EXPECT_FALSE(rs.good());
    EXPECT_TRUE(text.empty());

    // A length one byte longer than what follows.
    unsigned char short_buf[] = {4, 'a', 'b', 'c'};
    ByteReadStream rs2(short_buf, sizeof short_buf);
    rs2 >> text;
    EXPECT_FALSE(rs2.good());

    unsigned char raw[2];
    ByteReadStream rs3(short_buf, 1);
    rs3.ReadRaw(raw, 2);
    EXPECT_FALSE(rs3.good());
}
