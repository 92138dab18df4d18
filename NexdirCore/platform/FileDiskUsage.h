#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace nexdir {

// The space one regular file occupies on disk. `isDataless` is always false on Linux, which
// has no such flag.
struct FileDiskUsage {
    int64_t bytes = 0;
    bool isDataless = false;

    // Measures the item itself (`lstat`, links are not followed). Absent when the call
    // fails, the item is not a regular file, or the block count is implausibly large.
    // Any thread; no lock.
    static std::optional<FileDiskUsage> read(const std::string& path);
    static std::optional<int64_t> allocatedBytes(const std::string& path);

    // The same rule for values a caller already has from one stat call.
    static std::optional<FileDiskUsage> fromStat(bool isRegularFile, uint64_t blocks512);

    bool operator==(const FileDiskUsage&) const = default;
};

} // namespace nexdir
