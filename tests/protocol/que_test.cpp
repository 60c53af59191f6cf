// The frame queue: capacity, order across the wrap, the size limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
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

// Slots get storage only as frames come, yet each behaves as a zeroed slot of
// full length that frames overwrite from the start: checked byte for byte
// against such slots over many wraps, with frames of every length and clears.
TEST(QueTest, SlotsBehaveAsZeroedFullSlotsWhileHoldingOnlyTheirLongestFrame)
{
    ZQ_QUE q;
    EXPECT_EQ(q.storageBytes(), 0u);
    std::vector<std::vector<BYTE>> model(ZQ_QUE::SLOT_COUNT, std::vector<BYTE>(ZQ_QUE::SLOT_SIZE, 0));
    std::vector<std::size_t> longest(ZQ_QUE::SLOT_COUNT, 0);
    int write = 0, read = 0, count = 0;
    std::vector<BYTE> out(ZQ_QUE::SLOT_SIZE);
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    const std::size_t sizes[] = {0, 1, 3, 48, 100, 4000, 65000, ZQ_QUE::SLOT_SIZE};
    for (int step = 0; step < 2000; ++step) {
        const unsigned what = next() % 10;
        if (what < 5) {
            const std::size_t size = sizes[next() % std::size(sizes)];
            const auto frame = item(step, size);
            const int stored = q.enqueue(frame.data(), unsigned(size));
            ASSERT_EQ(stored, count < ZQ_QUE::SLOT_COUNT ? 1 : 0);
            if (stored) {
                std::copy(frame.begin(), frame.end(), model[std::size_t(write)].begin());
                longest[std::size_t(write)] = std::max(longest[std::size_t(write)], size);
                write = (write + 1) % ZQ_QUE::SLOT_COUNT;
                ++count;
            }
        } else if (what < 9) {
            std::fill(out.begin(), out.end(), BYTE(0xCD));
            ASSERT_EQ(q.dequeue(out.data()), count > 0 ? 1 : 0);
            if (count > 0) {
                ASSERT_EQ(out, model[std::size_t(read)]) << "step " << step;
                read = (read + 1) % ZQ_QUE::SLOT_COUNT;
                --count;
            }
        } else {
            q.clear();
            std::fill_n(model[0].begin(), 4, BYTE(0));
            write = read = count = 0;
        }
        ASSERT_EQ(q.freeCount(), ZQ_QUE::SLOT_COUNT - count);
    }
    std::size_t held = 0;
    for (std::size_t n : longest)
        held += n;
    EXPECT_EQ(q.storageBytes(), held);

    // An idle link's small frames keep the queue small however long it runs.
    ZQ_QUE idle;
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(idle.enqueue(item(i, 100).data(), 100), 1);
        ASSERT_EQ(idle.dequeue(out.data()), 1);
    }
    EXPECT_EQ(idle.storageBytes(), std::size_t(ZQ_QUE::SLOT_COUNT) * 100);
}
