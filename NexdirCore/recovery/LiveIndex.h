#pragma once

// What the application and `quelmo-cli watch` decide and run alike, so that neither has a
// copy of the other's logic: the launch check (resume, recover or scan), the full scan with
// the event position it starts from, and the texts they show for both.

#include "FileIndexer.h"
#include "IndexProgress.h"
#include "IndexSynchronization.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nexdir::LiveIndex {

// What the index says at launch.
struct LaunchCheck {
    // The checkpoint to resume from: a complete scan of the same format, roots, exclusions and
    // volume history, with no recovery pending.
    std::optional<uint64_t> resumePoint;
    // No resume point, but a complete scan that needs recovery: recover from `storedEventID`.
    bool recover = false;
    uint64_t storedEventID = 0;
    int64_t inaccessible = 0; // "scanErrors"
    // Neither: a full scan.
    bool needsFullScan() const { return !resumePoint && !recover; }
};

// Clears abandoned rebuilds and built-in locations an older index holds, repairs paths that
// became readable, then asks the whole-index synchronization whether it may resume. Throws.
LaunchCheck checkLaunch(FileIndexer& indexer, IndexSynchronization& whole,
                        const std::vector<std::string>& roots,
                        const std::vector<std::string>& excludedPaths);

struct FullScan {
    IndexSummary summary;
    uint64_t baseline = 0; // watching starts here: nothing changed during the scan is lost
};

// A complete new index of `roots`, installed in one step; the event position and the volume
// history identity are taken first (`began` is told the position). Throws
// (IndexCapacityError when the disk is too full).
FullScan runFullScan(FileIndexer& indexer, const std::vector<std::string>& roots,
                     const IndexProgressHandler& progress,
                     const std::function<void(uint64_t)>& began = {});

// The status texts of the launch and the scan.
std::string resumingText(int64_t inaccessible);
std::string reindexingText();
// A scan's progress, or absent when this report is not one to show (they are thinned out).
std::optional<std::string> progressText(const IndexProgress& progress);
std::string scannedText(int64_t indexed);

} // namespace nexdir::LiveIndex
