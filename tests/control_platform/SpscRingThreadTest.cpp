#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/SpscRing.h"

namespace kora486 {
namespace {

// The hand-off the sound callback relies on: pointers to blocks the producer wrote, arriving in
// order with their contents, through a ring much smaller than the stream.
TEST(SpscRingThreads, HandsEveryValueOverOnceInOrderWithWhatItPointsTo) {
    constexpr int Count = 200000;
    constexpr int Blocks = 8;
    struct Block {
        int value = 0;
    };
    std::vector<Block> blocks(Blocks);
    // Blocks travel producer -> consumer through `full` and come back through `free`, so a block
    // is only ever written by the side that holds it.
    SpscRing<Block*, 4> full;
    SpscRing<Block*, Blocks> free;
    for (Block& b : blocks) {
        ASSERT_TRUE(free.Push(&b));
    }

    std::thread producer([&] {
        for (int i = 0; i < Count;) {
            if (auto b = free.Pop()) {
                (*b)->value = i;
                while (!full.Push(*b)) {
                    std::this_thread::yield();
                }
                ++i;
            } else {
                std::this_thread::yield();
            }
        }
    });
    int mismatches = 0;
    for (int expected = 0; expected < Count;) {
        if (auto b = full.Pop()) {
            mismatches += (*b)->value != expected ? 1 : 0;
            ++expected;
            while (!free.Push(*b)) {
                std::this_thread::yield();
            }
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_EQ(mismatches, 0);
    EXPECT_FALSE(full.Pop());
}

}  // namespace
}  // namespace kora486
