#include <gtest/gtest.h>

#include "mtp/messagequeue.h"
#include "mtp/thread.h"
#include "test_support.h"

namespace {

using mtp::Message;
using mtp::MessageList;
using mtp::MessageQueue;
using mtp_test::CountedData;
using mtp_test::FakeClock;
using mtp_test::RecordingHandler;

// Takes whatever is ready now, in order.
std::vector<uint32_t> Drain(MessageQueue& q) {
    std::vector<uint32_t> ids;
    Message msg;
    while (q.Get(&msg, 0)) {
        ids.push_back(msg.id);
        delete msg.data;
    }
    return ids;
}

TEST(MessageQueueOrder, PostedBeforeDueDelayedAndEqualTriggersInPostingOrder) {
    FakeClock clock(1000);
    MessageQueue q;
    RecordingHandler h;
    q.PostAt(900, &h, 10);  // already due
    q.PostAt(950, &h, 11);  // already due, later trigger
    q.Post(&h, 1);
    q.Post(&h, 2);
    q.PostAt(1200, &h, 20);
    q.PostAt(1200, &h, 21);  // same trigger: posting order
    q.PostAt(1100, &h, 19);
    q.PostAt(1300, &h, 30);

    EXPECT_EQ(Drain(q), (std::vector<uint32_t>{1, 2, 10, 11}));
    EXPECT_EQ(q.GetDelay(), 100);
    clock.Set(1250);
    q.Post(&h, 3);
    // The due ones join behind what was already posted, in trigger order.
    EXPECT_EQ(Drain(q), (std::vector<uint32_t>{3, 19, 20, 21}));
    clock.Set(1400);  // a trigger that has passed is delivered on the next pass
    EXPECT_EQ(q.GetDelay(), 0);
    EXPECT_EQ(Drain(q), (std::vector<uint32_t>{30}));
    EXPECT_EQ(q.GetDelay(), mtp::kWaitForever);
}

TEST(MessageQueueOrder, TriggersAcrossTheClockWrap) {
    FakeClock clock(0xFFFFFFF0u);
    MessageQueue q;
    RecordingHandler h;
    q.PostDelayed(20, &h, 2);  // trigger 4, after the wrap
    q.PostDelayed(5, &h, 1);   // trigger 0xFFFFFFF5, before it
    EXPECT_EQ(q.GetDelay(), 5);

    clock.Set(0xFFFFFFF8u);
    EXPECT_EQ(Drain(q), (std::vector<uint32_t>{1}));
    EXPECT_EQ(q.GetDelay(), 12);
    clock.Set(2);
    EXPECT_TRUE(Drain(q).empty());
    clock.Set(4);
    EXPECT_EQ(Drain(q), (std::vector<uint32_t>{2}));
}

TEST(MessageQueueGet, WaitZeroOnAnEmptyQueueReturnsAtOnce) {
    MessageQueue q;
    Message msg;
    EXPECT_FALSE(q.Get(&msg, 0));
    // A short real wait also ends with nothing.
    EXPECT_FALSE(q.Get(&msg, 20));
}

TEST(MessageQueueGet, RealDelayIsWaitedFor) {
    MessageQueue q;
    RecordingHandler h;
    const auto start = std::chrono::steady_clock::now();
    q.PostDelayed(40, &h, 5);
    Message msg;
    ASSERT_TRUE(q.Get(&msg, 10000));
    EXPECT_EQ(msg.id, 5u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(35));
}

TEST(MessageQueueGet, LateTimeSensitiveMessageIsDeliveredAndLogged) {
    FakeClock clock(5000);
    MessageQueue q;
    RecordingHandler h;
    q.Post(&h, 7, nullptr, true);
    q.Post(&h, 8, nullptr, true);
    q.Post(&h, 9, nullptr, false);

    clock.Set(5150);  // exactly at the deadline: not late
    testing::internal::CaptureStderr();
    Message msg;
    ASSERT_TRUE(q.Get(&msg, 0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    clock.Set(5163);  // 13 ms past the deadline
    testing::internal::CaptureStderr();
    ASSERT_TRUE(q.Get(&msg, 0));
    ASSERT_TRUE(q.Get(&msg, 0));  // not time-sensitive: never logged
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(msg.id, 9u);
    EXPECT_EQ(out.rfind("***** Warning *****(mtp_messagequeue.cc:", 0), 0u) << out;
    EXPECT_NE(out.find("): mtp::MessageQueue::Get: id: 8  delay: 163ms\n"), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
}

TEST(MessageQueueGet, DisposeMessagesAreNeverDeliveredAndDestroyTheirData) {
    std::atomic<int> destroyed{0};
    MessageQueue q;
    RecordingHandler h;
    q.Post(nullptr, mtp::kDisposeId, new CountedData(&destroyed));
    q.Post(&h, 1);
    q.Dispose(new CountedData(&destroyed));
    EXPECT_EQ(Drain(q), (std::vector<uint32_t>{1}));
    EXPECT_EQ(destroyed.load(), 2);
}

TEST(MessageQueueGet, PeekKeepsTheMessageFirstInLine) {
    MessageQueue q;
    RecordingHandler h;
    q.Post(&h, 1);
    q.Post(&h, 2);
    Message msg;
    ASSERT_TRUE(q.Peek(&msg));
    EXPECT_EQ(msg.id, 1u);
    ASSERT_TRUE(q.Peek(&msg));
    EXPECT_EQ(msg.id, 1u);
    EXPECT_EQ(Drain(q), (std::vector<uint32_t>{1, 2}));

    q.Post(&h, 3);
    ASSERT_TRUE(q.Peek(&msg));
    q.Clear(&h, 3);  // the kept message is cleared too
    EXPECT_TRUE(Drain(q).empty());
}

TEST(MessageQueueClear, WithARemovedListHandsOverTheDataUntouched) {
    FakeClock clock(100);
    std::atomic<int> destroyed{0};
    MessageQueue q;
    RecordingHandler a, b;
    q.Post(&a, 1, new CountedData(&destroyed, 1));
    q.Post(&b, 2, new CountedData(&destroyed, 2));
    q.PostDelayed(50, &a, 3, new CountedData(&destroyed, 3));
    q.PostDelayed(10, &b, 4, new CountedData(&destroyed, 4));
    q.PostDelayed(30, &b, 5, new CountedData(&destroyed, 5));
    q.Post(&a, 6, new CountedData(&destroyed, 6));

    MessageList removed;
    q.Clear(&a, mtp::kAnyId, &removed);
    ASSERT_EQ(removed.size(), 3u);
    EXPECT_EQ(destroyed.load(), 0);
    std::vector<int> values;
    for (Message& m : removed) {
        EXPECT_EQ(m.handler, &a);
        values.push_back(static_cast<CountedData*>(m.data)->value);
        delete m.data;
    }
    EXPECT_EQ(values, (std::vector<int>{1, 6, 3}));

    // Only one id of b, then the rest without a list: data destroyed.
    q.Clear(&b, 5);
    EXPECT_EQ(destroyed.load(), 4);
    clock.Set(200);
    EXPECT_EQ(Drain(q), (std::vector<uint32_t>{2, 4}));
    EXPECT_EQ(destroyed.load(), 6);
}

TEST(MessageQueueClear, DeletingAHandlerRemovesItsMessagesFromEveryQueue) {
    std::atomic<int> destroyed{0};
    MessageQueue q1;
    mtp::Thread q2;  // not started: its queue still holds messages
    RecordingHandler keep;
    auto* doomed = new RecordingHandler;
    q1.Post(doomed, 1, new CountedData(&destroyed));
    q1.Post(&keep, 2);
    q1.PostDelayed(1000, doomed, 3, new CountedData(&destroyed));
    q2.Post(doomed, 4, new CountedData(&destroyed));
    q2.Post(&keep, 5);
    delete doomed;
    EXPECT_EQ(destroyed.load(), 3);
    EXPECT_EQ(Drain(q1), (std::vector<uint32_t>{2}));
    EXPECT_EQ(Drain(q2), (std::vector<uint32_t>{5}));
}

TEST(MessageQueueStop, PostsToAStoppedQueueDestroyTheirData) {
    std::atomic<int> destroyed{0};
    MessageQueue q;
    RecordingHandler h;
    q.Post(&h, 1, new CountedData(&destroyed));
    q.Quit();
    EXPECT_TRUE(q.IsQuitting());
    q.Post(&h, 2, new CountedData(&destroyed));
    q.PostDelayed(5, &h, 3, new CountedData(&destroyed));
    q.PostAt(mtp::NowMs(), &h, 4, new CountedData(&destroyed));
    EXPECT_EQ(destroyed.load(), 3);
    // What was queued before the stop is still handed out, then Get reports the stop.
    EXPECT_EQ(Drain(q), (std::vector<uint32_t>{1}));
    Message msg;
    EXPECT_FALSE(q.Get(&msg, mtp::kWaitForever));

    q.Restart();
    q.Post(&h, 5);
    EXPECT_EQ(Drain(q), (std::vector<uint32_t>{5}));
}

TEST(MessageQueueStop, DestroyingAQueueDestroysWhatIsLeft) {
    std::atomic<int> destroyed{0};
    RecordingHandler h;
    {
        MessageQueue q;
        q.Post(&h, 1, new CountedData(&destroyed));
        q.PostDelayed(100000, &h, 2, new CountedData(&destroyed));
    }
    EXPECT_EQ(destroyed.load(), 2);
    EXPECT_TRUE(h.ids().empty());
}

}  // namespace
