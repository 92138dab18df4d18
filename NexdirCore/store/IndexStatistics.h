#pragma once

#include <cstdint>

namespace nexdir {

// Counters for the interface. `indexBytes` is the allocated size of the database file and
// its "-wal" and "-shm" companions; `indexBytesComplete` is false when one of the three
// could not be measured.
struct IndexStatistics {
    int64_t indexedItems = 0;
    int64_t files = 0;
    int64_t directories = 0;
    int64_t indexBytes = 0;
    bool indexBytesComplete = true;

    bool operator==(const IndexStatistics&) const = default;
};

} // namespace nexdir
