#include "ProcessHeap.h"

#include <malloc.h>

namespace nexdir {

namespace {

// A block this large or larger is mapped alone when the heap has no free room for it, and
// goes back to the system when it is freed.
constexpr int heapMapsAloneBytes = 1 << 20;
// Free room at the end of a heap beyond this goes back to the system as soon as a block next
// to it is freed.
constexpr int keptAtEndBytes = 256 << 10;

} // namespace

void settleProcessHeap() {
#ifdef __GLIBC__
    // Three catch-ups at 1,000,000 entries each way: 89–91 MB idle afterwards with these
    // settings, 106–119 MB without; the peak 333–350 MB against 354–372 MB, the processor
    // time alike.
    mallopt(M_MMAP_THRESHOLD, heapMapsAloneBytes);
    mallopt(M_TRIM_THRESHOLD, keptAtEndBytes);
#endif
}

} // namespace nexdir
