#include "adapters/linux/system/HeapTuning.h"

#include <cstdlib> // defines __GLIBC__ on glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace sorvane {

void retainHeapForLargeFrames() {
#if defined(__GLIBC__)
    // Blocks up to 32 MiB come from the heap, and up to 64 MiB of free heap is
    // kept instead of being trimmed after each frame.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}

void releaseFreeHeap() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace sorvane
