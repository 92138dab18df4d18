#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nexdir {

class SearchIndex;

// What the index covers, as the coverage window and `quelmo-cli coverage` tell it: how much
// is indexed, what could not be read, what the user left out, and whether the index is
// complete and live. Read from the index alone, except the watch fields, which only the
// process that keeps the index live knows (it fills them in).
struct IndexCoverage {
    int64_t indexedItems = 0;
    // "scanErrors"; 0 when absent or not a count.
    int64_t inaccessibleCount = 0;
    // "inaccessiblePaths", as the file system's bytes; empty when it is not a list of paths.
    std::vector<std::string> paths;
    // The custom exclusions the index was last brought in line with ("excludedPaths").
    std::vector<std::string> excluded;
    bool needsRecovery = false;
    bool completed = false;
    // Folders the watch limit leaves to be checked by polling, and the limit itself
    // (fs.inotify.max_user_watches; absent when it cannot be read).
    int64_t unwatchedFolders = 0;
    std::optional<int64_t> watchLimit;

    // Any thread; the index's own reads take its locks. Throws NexdirError.
    static IndexCoverage read(SearchIndex& index);
};

} // namespace nexdir
