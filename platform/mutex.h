// A recursive in-process mutex for the unnamed mutexes of the program: the
// thread holding it may take it again without blocking.
#pragma once

#include <mutex>

namespace platform {

class CRecursiveMutex {
public:
    void lock() { m_m.lock(); }
    void unlock() { m_m.unlock(); }
    bool try_lock() { return m_m.try_lock(); }

private:
    std::recursive_mutex m_m;
};

using CMutexLock = std::lock_guard<CRecursiveMutex>;

} // namespace platform
