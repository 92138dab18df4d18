#include "MappedAllocator.h"

#include <sys/mman.h>

namespace nexdir::detail {

void* mapAlone(size_t bytes) {
    void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) {
        return nullptr;
    }
    // Only the whole 2 MiB pieces inside the block can be huge pages; the kernel leaves out the
    // rest. Refused where huge pages are not built in, which costs nothing but speed.
    madvise(data, bytes, MADV_HUGEPAGE);
    return data;
}

void unmapAlone(void* data, size_t bytes) { munmap(data, bytes); }

} // namespace nexdir::detail
