#include "drivers/tem_queue.h"

#include <gtest/gtest.h>

namespace {

TEST(TemQueue, HoldsCapacityMinusOneAndWrapsAround) {
    TemQueue<int> queue(1500);
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_EQ(queue.Free(), 1499);
    for (int i = 0; i < 1499; ++i) ASSERT_TRUE(queue.Put(i & 0xFF)) << i;
    EXPECT_FALSE(queue.Put(7));  // the 1500th
    EXPECT_EQ(queue.Count(), 1499);
    EXPECT_EQ(queue.Free(), 0);

    // Take some out and put more in: the indexes wrap past the end of the array.
    int value = -1;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(queue.Get(value));
        ASSERT_EQ(value, i & 0xFF);
    }
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(queue.Put(1000 + i));
    EXPECT_LT(queue.head, queue.tail);
    EXPECT_EQ(queue.Count(), 1499);
    for (int i = 1000; i < 1499; ++i) {
        ASSERT_TRUE(queue.Get(value));
        ASSERT_EQ(value, i & 0xFF);
    }
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(queue.Get(value));
        ASSERT_EQ(value, 1000 + i);
    }
    value = 42;
    EXPECT_FALSE(queue.Get(value));
    EXPECT_EQ(value, 42);
    EXPECT_EQ(queue.Count(), 0);
}

TEST(TemQueue, ClearAndDegenerateCapacities) {
    TemQueue<int> queue(3);
    EXPECT_TRUE(queue.Put(1));
    EXPECT_TRUE(queue.Put(2));
    EXPECT_FALSE(queue.Put(3));
    queue.Clear();
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_TRUE(queue.Put(4));

    TemQueue<int> one(1);  // one slot, always empty: holds nothing
    EXPECT_FALSE(one.Put(1));
    TemQueue<int> none(0);
    EXPECT_EQ(none.capacity, 0);
    EXPECT_FALSE(none.Put(1));
    int value = 0;
    EXPECT_FALSE(none.Get(value));
}

}  // namespace
