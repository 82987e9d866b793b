#include "common/buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using Orvane::Common::CDataPacket;
using Orvane::Common::IOBuffer;

namespace {
std::string Content(const CDataPacket& p) {
    return std::string(reinterpret_cast<const char*>(p.Data()), static_cast<size_t>(p.Length()));
}
}  // namespace

TEST(CDataPacket, AppendSetAndGrowthKeepContent) {
    CDataPacket p(4);
    EXPECT_EQ(p.Length(), 0);
    ASSERT_TRUE(p.Append("abc", 3));
    ASSERT_TRUE(p.Append("defgh", 5));  // grows past the first 4-byte step
    EXPECT_EQ(Content(p), "abcdefgh");
    EXPECT_EQ(p.m_nCapacity % 4, 0);
    EXPECT_GE(p.m_nCapacity, 8);

    ASSERT_TRUE(p.Set("xy", 2));
    EXPECT_EQ(Content(p), "xy");
    ASSERT_TRUE(p.Set(nullptr, 0));
    EXPECT_EQ(p.Length(), 0);
}

TEST(CDataPacket, AssureSizeClearEmptiesAndKeepPreserves) {
    CDataPacket p(16);
    ASSERT_TRUE(p.Append("hello", 5));
    ASSERT_TRUE(p.AssureSize(1000, false));
    EXPECT_EQ(Content(p), "hello");
    EXPECT_GE(p.m_nCapacity - p.m_nEnd, 1000);

    ASSERT_TRUE(p.AssureSize(64, true));
    EXPECT_EQ(p.Length(), 0);
    EXPECT_EQ(p.m_nStart, 0);
    // The caller may fill exactly the size asked for and mark it as content.
    std::memset(p.m_pBuffer, 0x5A, 64);
    p.m_nEnd = 64;
    EXPECT_EQ(p.Length(), 64);
    EXPECT_EQ(p.Data()[63], 0x5A);

    ASSERT_TRUE(p.AssureSize(0, true));
    EXPECT_EQ(p.Length(), 0);
}

TEST(CDataPacket, OffsetContentIsMovedNotLost) {
    CDataPacket p(8);
    ASSERT_TRUE(p.Append("12345678", 8));
    p.m_nStart = 6;  // a consumer took six bytes
    ASSERT_TRUE(p.AssureSize(6, false));  // fits once moved to the front
    EXPECT_EQ(p.m_nCapacity, 8);
    EXPECT_EQ(Content(p), "78");
    ASSERT_TRUE(p.Append("abcdef", 6));
    EXPECT_EQ(Content(p), "78abcdef");
}

TEST(CDataPacket, BadArgumentsChangeNothing) {
    CDataPacket p;
    ASSERT_TRUE(p.Set("keep", 4));
    EXPECT_FALSE(p.AssureSize(-1, true));
    EXPECT_FALSE(p.Append(nullptr, 3));
    EXPECT_FALSE(p.Append("x", -1));
    EXPECT_FALSE(p.Set(nullptr, 2));
    EXPECT_EQ(Content(p), "keep");
}

TEST(CDataPacket, SwitchBufferSwapsEverything) {
    CDataPacket a(4), b(64);
    ASSERT_TRUE(a.Set("first", 5));
    ASSERT_TRUE(b.Set("second!", 7));
    unsigned char* pa = a.m_pBuffer;
    a.SwitchBuffer(b);
    EXPECT_EQ(Content(a), "second!");
    EXPECT_EQ(Content(b), "first");
    EXPECT_EQ(b.m_pBuffer, pa);
    EXPECT_EQ(a.m_nGrowBy, 64);
}

TEST(IOBuffer, ExactFitOnePastAndZeroSize) {
    IOBuffer buf;
    EXPECT_EQ(buf.GetPointer(), nullptr);
    ASSERT_TRUE(buf.Initialize(0));
    EXPECT_EQ(buf.GetPointer(), nullptr);
    EXPECT_TRUE(buf.ReadFromBuffer(nullptr, 0));

    ASSERT_TRUE(buf.Initialize(4));
    ASSERT_NE(buf.GetPointer(), nullptr);
    EXPECT_EQ(buf.GetPointer()[3], 0);  // zero-filled
    ASSERT_TRUE(buf.ReadFromBuffer(reinterpret_cast<const unsigned char*>("abcd"), 4));
    EXPECT_EQ(buf.GetLength(), 4u);
    EXPECT_EQ(buf.GetCapacity(), 4u);

    // One past the capacity grows and keeps what was there.
    ASSERT_TRUE(buf.ReadFromBuffer(reinterpret_cast<const unsigned char*>("e"), 1));
    EXPECT_EQ(buf.GetLength(), 5u);
    EXPECT_EQ(std::memcmp(buf.GetPointer(), "abcde", 5), 0);

    EXPECT_FALSE(buf.ReadFromBuffer(nullptr, 2));
    EXPECT_FALSE(buf.SetLength(buf.GetCapacity() + 1));
    EXPECT_TRUE(buf.SetLength(2));
    buf.IgnoreAll();
    EXPECT_EQ(buf.GetLength(), 0u);
}
