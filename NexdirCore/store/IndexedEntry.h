#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace nexdir {

// One row of the `entries` table as read back. When a query selects only the first five
// columns, `allocatedSize` is absent and `isDataless` false.
struct IndexedEntry {
    int64_t id = 0;
    std::string name;
    bool isDirectory = false;
    double modifiedAt = 0;
    int64_t size = 0;
    std::optional<int64_t> allocatedSize;
    bool isDataless = false;

    bool operator==(const IndexedEntry&) const = default;
};

} // namespace nexdir
