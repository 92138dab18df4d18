#pragma once

#include <cstdint>

namespace nexdir {

// What one call of SearchIndex::maintain did. Every outcome before `optimised` is a refusal
// that wrote nothing; from `optimised` on, the attempt was recorded first.
enum class MaintenanceOutcome {
    stopped,           // the caller's shouldContinue said no before anything was read
    noCompletedScan,   // the index has never held a complete scan
    recoveryPending,   // "needsRecovery" is set: the index is about to change wholesale
    attemptedRecently, // the last attempt is less than the interval ago
    tooSmall,          // the file is smaller than the caller's minimum
    notEnoughSpace,    // free space is under three times the file plus 256 MiB
    optimised,         // the full-text index was optimised; the budget left no time to compact
    completed,         // optimised and compacted
};

// The limits of one maintenance run. The defaults are the application's; a forced run from
// the command line sets the interval to 0, and tests shorten the budget.
struct MaintenanceRules {
    // At most one attempt in this many seconds, whatever its outcome.
    double minimumIntervalSeconds = 7 * 24 * 3600;
    // Seconds of SQLite work (optimise and compaction together) before it is interrupted.
    double budgetSeconds = 10.0;
};

// VACUUM writes a new copy of the file and, in WAL mode, the pages again into the WAL: three
// times the file must fit, with this much to spare for everything else on the volume.
inline constexpr int64_t maintenanceSpareBytes = 268'435'456;

// A WAL file larger than this (64 MiB or more) is truncated by every maintenance call,
// whether or not it maintains: readers that overlapped the checkpoints let it grow.
inline constexpr int64_t maintenanceWALLimitBytes = 67'108'863;

} // namespace nexdir
