// The frame queue: capacity, order across the wrap, the size limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "protocol/que.h"

namespace {

// A frame-sized block whose bytes tell which frame it is.
std::vector<BYTE> item(int id, std::size_t size = 100)
{
    std::vector<BYTE> b(size);
    for (std::size_t i = 0; i < size; ++i)
        b[i] = static_cast<BYTE>(id * 31 + i);
    return b;
}

std::vector<BYTE> slotBuffer() { return std::vector<BYTE>(ZQ_QUE::SLOT_SIZE, 0); }

bool holds(const std::vector<BYTE>& out, const std::vector<BYTE>& in)
{
    return std::memcmp(out.data(), in.data(), in.size()) == 0;
}

} // namespace

TEST(QueTest, HoldsTwentyFramesAndRefusesTheTwentyFirst)
{
    ZQ_QUE q;
    EXPECT_EQ(q.freeCount(), 20);
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(q.enqueue(item(i).data(), 100), 1) << i;
    EXPECT_EQ(q.freeCount(), 0);
    EXPECT_EQ(q.enqueue(item(20).data(), 100), 0);
    EXPECT_EQ(q.freeCount(), 0);

    // One out makes room for exactly one more, which lands after the
    // nineteen still held (in the slot just emptied).
    auto buf = slotBuffer();
    ASSERT_EQ(q.dequeue(buf.data()), 1);
    EXPECT_TRUE(holds(buf, item(0)));
    EXPECT_EQ(q.enqueue(item(21).data(), 100), 1);
    EXPECT_EQ(q.enqueue(item(22).data(), 100), 0);
    for (int i = 1; i < 20; ++i) {
        ASSERT_EQ(q.dequeue(buf.data()), 1);
        EXPECT_TRUE(holds(buf, item(i))) << i;
    }
    ASSERT_EQ(q.dequeue(buf.data()), 1);
    EXPECT_TRUE(holds(buf, item(21)));
    EXPECT_EQ(q.freeCount(), 20);

    // Empty: the buffer is left alone. clear drops what is held.
    std::fill(buf.begin(), buf.end(), 0xAB);
    EXPECT_EQ(q.dequeue(buf.data()), 0);
    EXPECT_EQ(buf, std::vector<BYTE>(ZQ_QUE::SLOT_SIZE, 0xAB));
    q.enqueue(item(1).data(), 100);
    q.clear();
    EXPECT_EQ(q.freeCount(), 20);
    EXPECT_EQ(q.dequeue(buf.data()), 0);
}

TEST(QueTest, KeepsOrderAcrossManyWraps)
{
    ZQ_QUE q;
    auto buf = slotBuffer();
    int next = 0, expect = 0;
    // Varying fill levels, so the indices wrap at every position.
    for (int round = 0; round < 30; ++round) {
        const int in = 1 + (round * 7) % 20;
        for (int i = 0; i < in && q.freeCount() > 0; ++i, ++next)
            ASSERT_EQ(q.enqueue(item(next).data(), 100), 1);
        const int out = 1 + (round * 5) % 17;
        for (int i = 0; i < out; ++i) {
            if (q.dequeue(buf.data()) == 0)
                break;
            ASSERT_TRUE(holds(buf, item(expect))) << expect;
            ++expect;
        }
    }
    while (q.dequeue(buf.data()) == 1)
        ASSERT_TRUE(holds(buf, item(expect++)));
    EXPECT_EQ(expect, next);
    EXPECT_GT(next, 60);
}

TEST(QueTest, SizeLimitIsOneSlot)
{
    ZQ_QUE q;
    const auto full = item(5, ZQ_QUE::SLOT_SIZE + 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(q.enqueue(full.data(), ZQ_QUE::SLOT_SIZE + 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ENQENTRY DATA_SIZE_OVER:size=65793\n");
    EXPECT_EQ(q.freeCount(), 20);

    ASSERT_EQ(q.enqueue(full.data(), ZQ_QUE::SLOT_SIZE), 1);
    auto buf = slotBuffer();
    ASSERT_EQ(q.dequeue(buf.data()), 1);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), full.begin()));
}
