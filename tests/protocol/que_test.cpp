// The frame queue: capacity, order across the wrap, the size limit.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/que.h"

namespace {

std::vector<BYTE> item(int id, std::size_t size = 100)
{
    std::vector<BYTE> b(size);
    for (std::size_t i = 0; i < size; ++i)
        b[i] = static_cast<BYTE>(id * 31 + i);
    return b;
}

} // namespace

TEST(QueTest, TwentySlotsKeepOrderAcrossTheWrap)
{
    ZQ_QUE q;
    std::vector<BYTE> buf(ZQ_QUE::SLOT_SIZE, 0xAB);
    EXPECT_EQ(q.dequeue(buf.data()), 0);
    EXPECT_EQ(buf, std::vector<BYTE>(ZQ_QUE::SLOT_SIZE, 0xAB)); // empty: untouched
    int next = 0, expect = 0;
    for (; next < 20; ++next)
        ASSERT_EQ(q.enqueue(item(next).data(), 100), 1);
    EXPECT_EQ(q.enqueue(item(99).data(), 100), 0);
    for (int round = 0; round < 30; ++round) {
        for (int i = 0; i < 1 + (round * 7) % 20 && q.freeCount() > 0; ++i)
            ASSERT_EQ(q.enqueue(item(next++).data(), 100), 1);
        for (int i = 0; i < 1 + (round * 5) % 17 && q.dequeue(buf.data()) == 1; ++i)
            ASSERT_EQ(std::memcmp(buf.data(), item(expect++).data(), 100), 0) << expect;
    }
    while (q.dequeue(buf.data()) == 1)
        ASSERT_EQ(std::memcmp(buf.data(), item(expect++).data(), 100), 0);
    EXPECT_EQ(expect, next);
    EXPECT_EQ(q.freeCount(), 20);
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
    std::vector<BYTE> buf(ZQ_QUE::SLOT_SIZE);
    ASSERT_EQ(q.dequeue(buf.data()), 1);
    EXPECT_EQ(std::memcmp(buf.data(), full.data(), ZQ_QUE::SLOT_SIZE), 0);
}
