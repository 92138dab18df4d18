#pragma once

#include "FileSystemEvent.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace nexdir {

// Event counts of one stream's current window, for the debug log: where the events of a
// busy tree come from, by top-level child of the root. Bounded to 64 children. Confined to
// the watcher's stream queue.
struct EventActivity {
    std::string root = "/";
    int limit = 64;
    int64_t total = 0;
    int64_t drops = 0;
    int64_t unassigned = 0;
    int64_t other = 0;
    std::map<std::string, int64_t> children;

    void record(const std::vector<FileSystemEvent>& batch);
    // The window as compact JSON with sorted keys; the 8 busiest children.
    std::string summary() const;
    void reset();
};

} // namespace nexdir
