#pragma once

// An allocator for arrays that grow to many megabytes and are read all through, such as the
// search names kept in memory.
//
// A block of `mappedAloneBytes` or more is a mapping of its own: it goes back to the system
// the moment it is freed, and it is asked for huge pages: loading 5,000,000 search names from
// their file spent 0.7 s in page faults on 4 KiB pages and 0.1 s on huge pages, and scans of
// such an array miss fewer address translations. Smaller blocks come from the heap. Huge
// pages must never be asked for on memory the heap hands out again: once the array moves on,
// the kernel may fill every sparsely used 2 MiB of that range to a whole huge page, and that
// memory stays with the process.

#include <cstddef>
#include <memory>
#include <new>

namespace nexdir {

namespace detail {

inline constexpr size_t mappedAloneBytes = size_t(2) << 20;
// nullptr when the system refuses the mapping.
void* mapAlone(size_t bytes);
void unmapAlone(void* data, size_t bytes);

} // namespace detail

template <typename T> struct MappedAllocator {
    using value_type = T;

    MappedAllocator() = default;
    template <typename U> MappedAllocator(const MappedAllocator<U>&) noexcept {}

    T* allocate(size_t count) {
        if (count * sizeof(T) < detail::mappedAloneBytes) {
            return std::allocator<T>().allocate(count);
        }
        void* data = detail::mapAlone(count * sizeof(T));
        if (data == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(data);
    }

    void deallocate(T* data, size_t count) noexcept {
        if (count * sizeof(T) < detail::mappedAloneBytes) {
            std::allocator<T>().deallocate(data, count);
        } else {
            detail::unmapAlone(data, count * sizeof(T));
        }
    }

    template <typename U> bool operator==(const MappedAllocator<U>&) const noexcept { return true; }
};

} // namespace nexdir
