#include "platform/SpscRing.h"

#include <gtest/gtest.h>

namespace kora486 {
namespace {

TEST(SpscRing, KeepsOrderRefusesWhenFullAndWrapsAround) {
    SpscRing<int, 3> ring;
    EXPECT_FALSE(ring.Pop());
    // Several rounds, so the counters run well past the capacity and the slots are reused.
    int next = 0;
    int expected = 0;
    for (int round = 0; round < 5; ++round) {
        while (ring.Push(next)) {
            ++next;
        }
        EXPECT_EQ(ring.Size(), 3u);
        // A refused push changes nothing: the oldest value is still first out.
        ASSERT_EQ(ring.Pop(), expected++);
        ASSERT_EQ(ring.Pop(), expected++);
        EXPECT_EQ(ring.Size(), 1u);
    }
    while (auto v = ring.Pop()) {
        EXPECT_EQ(*v, expected++);
    }
    EXPECT_EQ(expected, next);
    EXPECT_EQ(ring.Size(), 0u);
}

}  // namespace
}  // namespace kora486
