#pragma once

#include "FileDiskUsage.h"
#include "SearchResult.h"

#include <functional>
#include <optional>
#include <vector>

namespace nexdir {

// A file as the index listed it, and the space it occupies on disk.
struct MeasuredFile {
    SearchResult file;
    std::optional<FileDiskUsage> usage; // absent: it cannot be measured (not a regular file,
                                        // gone, unreadable), stored as unavailable

    // Measures each listed file by one stat of its path, links never followed, as the walks
    // measure what they list. A file whose kind, size or modification time on disk differ from
    // its listing is no longer the file the row describes: it is left out, so its row stays
    // unmeasured until a walk records it afresh. Stops early, with what it has, when
    // `shouldContinue` answers false. No lock; any thread.
    static std::vector<MeasuredFile> measure(const std::vector<SearchResult>& files,
                                             const std::function<bool()>& shouldContinue = {});
};

} // namespace nexdir
