// The process's heap and the system.
#pragma once

namespace platform {

// Gives the pages of freed heap memory back to the system. The allocator
// keeps what a burst of allocations freed (a catalog loaded and shown, a
// large folder listed) for its own reuse, and the node would otherwise stay
// as large as its largest burst. Cheap when little lies free.
void releaseFreeMemory();

// Makes every thread allocate from the one heap that releaseFreeMemory
// trims whole. A worker's own heap would keep what it freed (the SEND scan's
// listing, tens of megabytes with a large folder) for as long as the
// process lives. Called first thing in main, before any thread starts.
void useOneHeap();

} // namespace platform
