// A fixed ring of 20 frame slots behind a mutex. It never grows beyond its
// 20 slots and never blocks a producer: a full queue refuses the frame, and
// the producer learns it from the result.
//
// A slot behaves as SLOT_SIZE bytes that start zeroed and that each frame
// overwrites from its start, and dequeue hands out all SLOT_SIZE bytes. Its
// storage, though, is only as long as the longest frame it has held (the
// bytes after that are zero anyway), so an idle link with its small frames
// does not hold 20 slots of 64 KiB for each of its two queues.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/mutex.h"
#include "platform/wintypes.h"

class ZQ_QUE {
public:
    static constexpr int SLOT_COUNT = 20;
    static constexpr unsigned SLOT_SIZE = 0x10100; // 65792

    ZQ_QUE();
    ~ZQ_QUE();
    ZQ_QUE(const ZQ_QUE&) = delete;
    ZQ_QUE& operator=(const ZQ_QUE&) = delete;

    // Drops every frame held.
    void clear();
    // Copies size bytes into the next slot: 1 stored, 0 refused (more than
    // SLOT_SIZE bytes, or all 20 slots full).
    int enqueue(const void* data, unsigned size);
    // Copies the oldest slot, all SLOT_SIZE bytes of it, into buffer (which
    // must hold that many): 1 done, 0 when empty (buffer untouched). The
    // frame's length is in its header.
    int dequeue(void* buffer);
    // Slots still free.
    int freeCount() const;
    // Frames stored and handed out since the queue was made (a cleared
    // frame was never handed out): the n-th frame stored has left the queue
    // once dequeuedTotal() >= n.
    std::uint64_t enqueuedTotal() const { return m_enqueued; }
    std::uint64_t dequeuedTotal() const { return m_dequeued; }
    // Bytes of slot storage held (for tests and measurements).
    std::size_t storageBytes() const;

private:
    char m_name[8] = "ZQ_QUE";
    int m_count = 0;
    int m_write = 0;
    int m_read = 0;
    std::uint64_t m_enqueued = 0;
    std::uint64_t m_dequeued = 0;
    std::array<std::vector<BYTE>, SLOT_COUNT> m_slots;
    mutable platform::CRecursiveMutex m_mutex;
};
