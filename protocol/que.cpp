#include "protocol/que.h"

#include <cstdio>
#include <cstring>

ZQ_QUE::ZQ_QUE() : m_slots(new BYTE[std::size_t(SLOT_COUNT) * SLOT_SIZE]())
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
    std::memset(m_slots.get(), 0, 4);
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
    if (size > 0)
        std::memcpy(m_slots.get() + std::size_t(m_write) * SLOT_SIZE, data, size);
    ++m_count;
    if (++m_write >= SLOT_COUNT)
        m_write = 0;
    return 1;
}

int ZQ_QUE::dequeue(void* buffer)
{
    platform::CMutexLock lock(m_mutex);
    if (m_count < 1)
        return 0;
    std::memcpy(buffer, m_slots.get() + std::size_t(m_read) * SLOT_SIZE, SLOT_SIZE);
    --m_count;
    if (++m_read >= SLOT_COUNT)
        m_read = 0;
    return 1;
}

int ZQ_QUE::freeCount() const
{
    platform::CMutexLock lock(m_mutex);
    return SLOT_COUNT - m_count;
}
