// The process's heap and the system.
#pragma once

namespace platform {

// Gives the pages of freed heap memory back to the system. The allocator
// keeps what a burst of allocations freed (a catalog loaded and shown, a
// large folder listed) for its own reuse, and the node would otherwise stay
// as large as its largest burst. Cheap when little lies free.
void releaseFreeMemory();

} // namespace platform
