// Frame copies are megabytes each and made at frame rate. Left to the C
// allocator's defaults, every one is a fresh mapping whose pages are faulted
// in and zeroed by the kernel on the capture thread, then unmapped again.
// Serving them from the heap, and keeping freed memory there, recycles the
// same pages instead.
#pragma once

#include <malloc.h>

namespace qva {

inline void keepFrameBuffersInHeap() {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest the allocator allows
    mallopt(M_TRIM_THRESHOLD, 512 << 20);
}

}  // namespace qva
