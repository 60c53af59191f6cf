// A fixed ring of 20 frame slots behind a mutex. It never grows and never
// blocks a producer: a full queue refuses the frame, and the producer learns
// it from the result.
#pragma once

#include <memory>

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

private:
    char m_name[8] = "ZQ_QUE";
    int m_count = 0;
    int m_write = 0;
    int m_read = 0;
    std::unique_ptr<BYTE[]> m_slots;
    mutable platform::CRecursiveMutex m_mutex;
};
