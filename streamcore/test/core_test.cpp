// The byte layouts and texts the endpoint is built on: event records, MediaFrame, the
// window-list JSON and the AAC header store.
#include "AacHeaderStore.h"
#include "EventRecord.h"
#include "MediaFrame.h"
#include "WindowListJson.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

using namespace streamcore;

namespace {

int IntAt(const unsigned char* p, unsigned offset) {
    int v;
    std::memcpy(&v, p + offset, sizeof v);
    return v;
}

}  // namespace

TEST(EventRecordTest, ResultRecordsCarryTheirTextAndOthersDoNot) {
    std::vector<unsigned char> rec = BuildEventRecord(EVENT_PUBLISH_RESULT, -1, "room1", "rtmp://h/a/room1");
    // id, value, one length byte, five text bytes, one length byte, the URL.
    ASSERT_EQ(rec.size(), 4u + 4u + 1u + 5u + 1u + 16u);
    EXPECT_EQ(IntAt(rec.data(), 0), 6001);
    EXPECT_EQ(IntAt(rec.data(), 4), -1);
    EXPECT_EQ(rec[8], 5);
    EventRecord parsed;
    ASSERT_TRUE(ParseEventRecord(rec.data(), static_cast<unsigned>(rec.size()), parsed));
    EXPECT_EQ(parsed.eventId, 6001);
    EXPECT_EQ(parsed.value, -1);
    EXPECT_EQ(parsed.text, "room1");
    EXPECT_EQ(parsed.detail, "rtmp://h/a/room1");

    std::vector<unsigned char> stop = BuildEventRecord(EVENT_STOP, 0, "ignored");
    EXPECT_EQ(stop.size(), 8u);
    std::vector<unsigned char> other = BuildEventRecord(42, 7);
    ASSERT_TRUE(ParseEventRecord(other.data(), static_cast<unsigned>(other.size()), parsed));
    EXPECT_EQ(parsed.eventId, 42);
    EXPECT_EQ(parsed.value, 7);
    EXPECT_TRUE(parsed.text.empty());
}

TEST(EventRecordTest, LongTextUsesSevenBitLengthAndOversizedTextIsCutToFit) {
    std::string name(300, 'n');
    std::vector<unsigned char> rec = BuildEventRecord(EVENT_PLAY_RESULT, 0, name);
    ASSERT_EQ(rec.size(), 8u + 2u + 300u + 1u);  // and an empty detail
    EXPECT_EQ(rec[8], 0x80 | (300 & 0x7F));
    EXPECT_EQ(rec[9], 300 >> 7);
    EventRecord parsed;
    ASSERT_TRUE(ParseEventRecord(rec.data(), static_cast<unsigned>(rec.size()), parsed));
    EXPECT_EQ(parsed.text, name);

    std::string huge(70000, 'h');
    rec = BuildEventRecord(EVENT_PUBLISH_RESULT, 0, huge);
    ASSERT_FALSE(rec.empty());
    EXPECT_LE(rec.size(), static_cast<size_t>(kEventRecordCapacity));
    ASSERT_TRUE(ParseEventRecord(rec.data(), static_cast<unsigned>(rec.size()), parsed));
    EXPECT_EQ(parsed.text, huge.substr(0, parsed.text.size()));
    EXPECT_GT(parsed.text.size(), 65000u);
}

TEST(EventRecordTest, ShortOrTruncatedRecordsAreRejected) {
    std::vector<unsigned char> rec = BuildEventRecord(EVENT_PUBLISH_RESULT, 0, "abc");
    EventRecord parsed;
    EXPECT_FALSE(ParseEventRecord(rec.data(), 3, parsed));
    EXPECT_FALSE(ParseEventRecord(rec.data(), 7, parsed));
    EXPECT_FALSE(ParseEventRecord(rec.data(), static_cast<unsigned>(rec.size()) - 1, parsed));
    EXPECT_FALSE(ParseEventRecord(nullptr, 0, parsed));
}

TEST(MediaFrameTest, VideoLayoutIsExact) {
    const unsigned char payload[] = {0x80, 0xE0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 1, 0x65};
    auto frame = BuildVideoFrame("cam0", payload, sizeof payload, true, 123456u);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->GetCapacity(), sizeof payload + 144);
    const unsigned char* p = frame->GetPointer();
    EXPECT_STREQ(reinterpret_cast<const char*>(p), "cam0");
    for (unsigned i = 4; i < 128; ++i) ASSERT_EQ(p[i], 0) << i;
    EXPECT_EQ(IntAt(p, 128), static_cast<int>(sizeof payload));
    EXPECT_EQ(static_cast<unsigned>(IntAt(p, 132)), 123456u);
    EXPECT_EQ(p[136], 0);
    EXPECT_EQ(p[140], 1);
    EXPECT_EQ(0, std::memcmp(p + 141, payload, sizeof payload));
    MediaFrameView view(*frame);
    EXPECT_FALSE(view.IsAudio());
    EXPECT_TRUE(view.KeyFrame());
    EXPECT_EQ(view.Data(), p + 141);
}

TEST(MediaFrameTest, AudioLayoutIsExact) {
    const unsigned char aac[] = {0x21, 0x10, 0x04, 0x60};
    auto frame = BuildAudioFrame("#soundcard#mix#mic", aac, sizeof aac, 16000, 1, 1, 77u);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->GetCapacity(), sizeof aac + 156);
    const unsigned char* p = frame->GetPointer();
    EXPECT_STREQ(reinterpret_cast<const char*>(p), "#soundcard#mix#mic");
    EXPECT_EQ(IntAt(p, 128), 4);
    EXPECT_EQ(IntAt(p, 132), 77);
    EXPECT_EQ(p[136], 1);
    EXPECT_EQ(IntAt(p, 140), 16000);
    EXPECT_EQ(IntAt(p, 144), 1);
    EXPECT_EQ(IntAt(p, 148), 1);
    EXPECT_EQ(0, std::memcmp(p + 152, aac, sizeof aac));
    MediaFrameView view(*frame);
    EXPECT_TRUE(view.IsAudio());
    EXPECT_FALSE(view.KeyFrame());
}

TEST(MediaFrameTest, NamesLongerThan127AndBadDataAreRefused) {
    const unsigned char b[12] = {};
    std::string name127(127, 'a');
    auto ok = BuildVideoFrame(name127.c_str(), b, 12, false, 0);
    ASSERT_TRUE(ok);
    EXPECT_EQ(std::string(MediaFrameView(*ok).UniName()), name127);

    FrameError error = FrameError::kNone;
    std::string name128(128, 'a');
    EXPECT_FALSE(BuildVideoFrame(name128.c_str(), b, 12, false, 0, &error));
    EXPECT_EQ(error, FrameError::kBadName);
    std::string name1000(1000, 'z');
    EXPECT_FALSE(BuildAudioFrame(name1000.c_str(), b, 12, 16000, 1, 1, 0, &error));
    EXPECT_FALSE(BuildAudioFrame(nullptr, b, 12, 16000, 1, 1, 0, &error));
    EXPECT_FALSE(BuildVideoFrame("cam", nullptr, 5, false, 0, &error));
    EXPECT_EQ(error, FrameError::kBadData);
    EXPECT_FALSE(BuildVideoFrame("cam", b, -1, false, 0, &error));
    auto empty = BuildVideoFrame("cam", nullptr, 0, false, 0);
    ASSERT_TRUE(empty);
    EXPECT_EQ(MediaFrameView(*empty).Length(), 0);
}

TEST(WindowListJsonTest, CompactSortedWithTrailingNewline) {
    std::vector<WindowListItem> items = {
        {0x1e0, "desktop", "desktop"},
        {0x80000001ull, "Terminal", "/usr/bin/xterm"},
    };
    // Three entries from the manager, one of them null.
    std::string text = BuildWindowListJson(3, items);
    EXPECT_EQ(text,
              "{\"count\":3,\"windowList\":["
              "{\"filePath\":\"desktop\",\"hWnd\":480,\"windowName\":\"desktop\"},"
              "{\"filePath\":\"/usr/bin/xterm\",\"hWnd\":-2147483647,\"windowName\":\"Terminal\"}"
              "]}\n");
}

TEST(WindowListJsonTest, EmptyListHasNoWindowListMember) {
    EXPECT_EQ(BuildWindowListJson(0, {}), "{\"count\":0}\n");
    EXPECT_EQ(BuildWindowListJson(2, {}), "{\"count\":2}\n");
}

TEST(WindowListJsonTest, TitlesStayUtf8AndAreEscaped) {
    std::vector<WindowListItem> items = {{7, "\xe4\xb8\xad\xe6\x96\x87 \xc3\xa9 \"q\"\x01", "/opt/a b"}};
    EXPECT_EQ(BuildWindowListJson(1, items),
              "{\"count\":1,\"windowList\":[{\"filePath\":\"/opt/a b\",\"hWnd\":7,"
              "\"windowName\":\"\xe4\xb8\xad\xe6\x96\x87 \xc3\xa9 \\\"q\\\"\\u0001\"}]}\n");
}

TEST(AacHeaderStoreTest, HandedOverOncePerPendingPeriod) {
    AacHeaderStore store;
    unsigned char out[AacHeaderStore::kCapacity];
    EXPECT_TRUE(store.Pending());
    EXPECT_EQ(store.TakeIfPending(out), 0);  // no header yet: flag stays
    EXPECT_TRUE(store.Pending());
    const unsigned char asc[] = {0x14, 0x08};
    ASSERT_TRUE(store.Set(asc, 2));
    EXPECT_EQ(store.TakeIfPending(out), 2);
    EXPECT_EQ(0, std::memcmp(out, asc, 2));
    EXPECT_EQ(store.TakeIfPending(out), 0);
    store.MarkPending();
    EXPECT_EQ(store.TakeIfPending(out), 2);
    EXPECT_EQ(store.Get(out), 2);
}

TEST(AacHeaderStoreTest, OversizedHeaderIsRefusedAndPreviousKept) {
    AacHeaderStore store;
    const unsigned char asc[] = {0x14, 0x08};
    unsigned char big[12];
    std::memset(big, 0xAB, sizeof big);
    ASSERT_TRUE(store.Set(asc, 2));
    EXPECT_FALSE(store.Set(big, 12));
    EXPECT_FALSE(store.Set(nullptr, 2));
    EXPECT_FALSE(store.Set(asc, -1));
    unsigned char out[AacHeaderStore::kCapacity];
    EXPECT_EQ(store.Get(out), 2);
    EXPECT_TRUE(store.Set(big, 11));
    EXPECT_EQ(store.Get(out), 11);
}

TEST(AacHeaderStoreTest, WriterAndReadersOnDifferentThreads) {
    AacHeaderStore store;
    std::thread writer([&] {
        unsigned char h[11];
        for (int i = 0; i < 2000; ++i) {
            std::memset(h, i & 0xFF, sizeof h);
            store.Set(h, 1 + i % 11);
        }
    });
    std::thread reader([&] {
        unsigned char out[11];
        for (int i = 0; i < 2000; ++i) {
            int n = store.Get(out);
            for (int k = 1; k < n; ++k) ASSERT_EQ(out[k], out[0]);
            store.MarkPending();
            store.TakeIfPending(out);
        }
    });
    writer.join();
    reader.join();
}
