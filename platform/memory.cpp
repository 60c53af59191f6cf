#include "platform/memory.h"

#include <cstddef> // defines __GLIBC__ on glibc systems

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace platform {

void releaseFreeMemory()
{
#if defined(__GLIBC__)
    // A trim walks the free chunks; below a few megabytes it is not worth it.
    constexpr std::size_t WORTH_IT = std::size_t(4) << 20;
    if (mallinfo2().fordblks >= WORTH_IT)
        malloc_trim(0);
#endif
}

void useOneHeap()
{
#if defined(__GLIBC__)
    mallopt(M_ARENA_MAX, 1);
#endif
}

} // namespace platform
