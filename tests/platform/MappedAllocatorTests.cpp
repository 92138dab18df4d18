#include "MappedAllocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using namespace nexdir;

namespace {

struct Mapping {
    uintptr_t begin = 0;
    uintptr_t end = 0;
    bool hugePages = false; // asked for with MADV_HUGEPAGE
};

// The mapping of this process that holds `address`, from /proc/self/smaps.
std::optional<Mapping> mappingHolding(const void* address) {
    uintptr_t at = reinterpret_cast<uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    std::optional<Mapping> found;
    std::string line;
    while (std::getline(smaps, line)) {
        uintptr_t begin = 0, end = 0;
        char dash = 0;
        std::istringstream fields(line);
        if (fields >> std::hex >> begin >> dash >> end && dash == '-' && line.find(':') > 20) {
            found.reset();
            if (at >= begin && at < end) {
                found = Mapping{begin, end, false};
            }
        } else if (found && line.rfind("VmFlags:", 0) == 0) {
            found->hugePages = (line + " ").find(" hg ") != std::string::npos;
            return found;
        }
    }
    return std::nullopt;
}

} // namespace

TEST(MappedAllocator, ALargeArrayIsAMappingOfItsOwnAndGoesWhenFreedASmallOneStaysInTheHeap) {
    std::vector<uint32_t, MappedAllocator<uint32_t>> large(3 << 20, 7);
    std::optional<Mapping> own = mappingHolding(large.data());
    ASSERT_TRUE(own);
    EXPECT_EQ(own->begin, reinterpret_cast<uintptr_t>(large.data()));
    EXPECT_TRUE(own->hugePages);
    EXPECT_EQ(large[(3 << 20) - 1], 7u);

    // Growing moves it to a mapping of its own again and gives the first one back.
    const uint32_t* first = large.data();
    large.resize(large.size() * 2, 8);
    EXPECT_EQ(large[0], 7u);
    EXPECT_EQ(large.back(), 8u);
    EXPECT_EQ(mappingHolding(large.data())->begin, reinterpret_cast<uintptr_t>(large.data()));
    EXPECT_FALSE(mappingHolding(first));

    // Huge pages are never asked for on memory the heap hands out again.
    std::basic_string<char, std::char_traits<char>, MappedAllocator<char>> small(4096, 'x');
    std::optional<Mapping> heap = mappingHolding(small.data());
    ASSERT_TRUE(heap);
    EXPECT_FALSE(heap->hugePages);
    EXPECT_NE(heap->begin, reinterpret_cast<uintptr_t>(small.data()));
}
