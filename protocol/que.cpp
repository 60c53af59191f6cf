#include "protocol/que.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

ZQ_QUE::ZQ_QUE()
{
    clear();
}

ZQ_QUE::~ZQ_QUE() = default;

void ZQ_QUE::clear()
{
    platform::CMutexLock lock(m_mutex);
    m_count = 0;
    m_write = 0;
    m_read = 0;
    std::vector<BYTE>& first = m_slots[0];
    std::fill_n(first.begin(), std::min<std::size_t>(first.size(), 4), BYTE(0));
}

int ZQ_QUE::enqueue(const void* data, unsigned size)
{
    if (size > SLOT_SIZE) {
        std::printf("ENQENTRY DATA_SIZE_OVER:size=%d\n", static_cast<int>(size));
        return 0;
    }
    platform::CMutexLock lock(m_mutex);
    if (m_count >= SLOT_COUNT)
        return 0;
    std::vector<BYTE>& slot = m_slots[std::size_t(m_write)];
    // A longer frame than the slot ever held covers all the old bytes; a
    // shorter one leaves the previous frames' bytes after it, as a slot of
    // full length would.
    if (slot.size() < size)
        std::vector<BYTE>(size).swap(slot);
    if (size > 0)
        std::memcpy(slot.data(), data, size);
    ++m_count;
    ++m_enqueued;
    if (++m_write >= SLOT_COUNT)
        m_write = 0;
    return 1;
}

int ZQ_QUE::dequeue(void* buffer)
{
    platform::CMutexLock lock(m_mutex);
    if (m_count < 1)
        return 0;
    const std::vector<BYTE>& slot = m_slots[std::size_t(m_read)];
    BYTE* out = static_cast<BYTE*>(buffer);
    if (!slot.empty())
        std::memcpy(out, slot.data(), slot.size());
    std::memset(out + slot.size(), 0, SLOT_SIZE - slot.size());
    --m_count;
    ++m_dequeued;
    if (++m_read >= SLOT_COUNT)
        m_read = 0;
    return 1;
}

int ZQ_QUE::freeCount() const
{
    platform::CMutexLock lock(m_mutex);
    return SLOT_COUNT - m_count;
}

std::size_t ZQ_QUE::storageBytes() const
{
    platform::CMutexLock lock(m_mutex);
    std::size_t n = 0;
    for (const auto& slot : m_slots)
        n += slot.capacity();
    return n;
}
