#include "messaging/MessageQueue.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <thread>
#include <vector>

namespace kora486 {
namespace {

bool WakeReadable(const MessageQueue& queue) {
    pollfd wake{queue.WakeDescriptor(), POLLIN, 0};
    return poll(&wake, 1, 0) == 1 && (wake.revents & POLLIN) != 0;
}

TEST(MessageQueue, KeepsArrivalOrderAndArguments) {
    MessageQueue queue;
    for (uint32_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(queue.Post(100 + i, i * 2, -static_cast<intptr_t>(i)));
    }
    for (uint32_t i = 0; i < 5; ++i) {
        const Message m = queue.Get();
        EXPECT_EQ(m.id, 100 + i);
        EXPECT_EQ(m.wParam, i * 2);
        EXPECT_EQ(m.lParam, -static_cast<intptr_t>(i));
    }
    EXPECT_FALSE(queue.Peek().has_value());
}

TEST(MessageQueue, WakeDescriptorIsReadableExactlyWhileMessagesWait) {
    MessageQueue queue;
    EXPECT_FALSE(WakeReadable(queue));
    queue.Post(1);
    queue.Post(2);
    EXPECT_TRUE(WakeReadable(queue));
    queue.Peek();
    EXPECT_TRUE(WakeReadable(queue));
    queue.Peek();
    EXPECT_FALSE(WakeReadable(queue));
}

TEST(MessageQueue, GetWaitsForAPostFromAnotherThread) {
    MessageQueue queue;
    std::thread poster([&] { queue.Post(7, 8, 9); });
    const Message m = queue.Get();
    poster.join();
    EXPECT_EQ(m.id, 7u);
    EXPECT_EQ(m.lParam, 9);
}

TEST(MessageQueue, EachPosterKeepsItsOrderAndNothingIsLost) {
    MessageQueue queue;
    constexpr int PerThread = 5000;
    std::vector<std::thread> posters;
    for (uintptr_t t = 0; t < 3; ++t) {
        posters.emplace_back([&queue, t] {
            for (int i = 0; i < PerThread; ++i) {
                queue.Post(1, t, i);
            }
        });
    }
    std::vector<intptr_t> next(3, 0);
    for (int received = 0; received < 3 * PerThread; ++received) {
        const Message m = queue.Get();
        ASSERT_EQ(m.lParam, next[m.wParam]) << "poster " << m.wParam;
        ++next[m.wParam];
    }
    for (auto& poster : posters) {
        poster.join();
    }
    EXPECT_EQ(queue.Size(), 0u);
}

TEST(MessageQueue, DiscardRemovesOnlyMatchingMessages) {
    MessageQueue queue;
    queue.Post(1, 10, 0);
    queue.Post(2, 10, 1);
    queue.Post(1, 11, 2);
    queue.Post(1, 10, 3);
    EXPECT_EQ(queue.Discard(1, 10), 2u);
    EXPECT_EQ(queue.Get().lParam, 1);
    EXPECT_EQ(queue.Get().lParam, 2);
    EXPECT_EQ(queue.Discard(1, 10), 0u);
    EXPECT_FALSE(WakeReadable(queue));
}

TEST(MessageQueue, ClosedQueueDropsWaitingMessagesAndRefusesPosts) {
    MessageQueue queue;
    queue.Post(1);
    queue.Close();
    EXPECT_EQ(queue.Size(), 0u);
    EXPECT_FALSE(WakeReadable(queue));
    EXPECT_FALSE(queue.Post(2));
}

}  // namespace
}  // namespace kora486
