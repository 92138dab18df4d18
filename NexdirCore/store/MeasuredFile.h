#pragma once

#include "FileDiskUsage.h"
#include "SearchResult.h"

#include <functional>
#include <optional>
#include <vector>

namespace nexdir {

class SearchIndex;

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

// How far a measurement of the unmeasured files has come.
struct MeasurementTally {
    int64_t checked = 0; // files listed as unmeasured and looked at
    int64_t saved = 0;   // of those, measurements written
};

// Measures the files `index` has not measured yet, `batch` at a time, and saves each batch
// before the next; `afterBatch` hears the tally after each. Ends when every file has been
// looked at once, or when `shouldContinue` answers false (checked before every file; what was
// measured by then is saved). A file that changed on disk since it was listed stays
// unmeasured for a later round. Throws what the index throws. Any thread but the writer's
// lock holder.
//
// With `leaveWriterIdle`, each save is followed by a pause as long as it took: a search waits
// for the writer to be idle before it reads (50 ms at most, then it reads without its copy of
// the names, many times slower), and saves back to back would keep it waiting.
MeasurementTally
measureUnmeasuredFiles(SearchIndex& index, int64_t batch,
                       const std::function<bool()>& shouldContinue,
                       const std::function<void(const MeasurementTally&)>& afterBatch = {},
                       bool leaveWriterIdle = false);

} // namespace nexdir
