#include "Arguments.h"

#include "Clock.h"
#include "DataDirectory.h"
#include "FileSystem.h"
#include "Format.h"
#include "NexdirError.h"
#include "SearchIndex.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <iostream>

namespace quelmo::cli {

namespace {

// Ctrl+C or a polite kill stops the work through the budget's own check, so the WAL is still
// truncated on the way out. (A hard kill leaves the index whole too: SQLite rolls the
// unfinished work back at the next open.)
volatile std::sig_atomic_t stopRequested = 0;

extern "C" void requestStop(int) {
    stopRequested = 1;
}

const char* outcomeName(nexdir::MaintenanceOutcome outcome) {
    using Outcome = nexdir::MaintenanceOutcome;
    switch (outcome) {
    case Outcome::stopped:
        return "stopped";
    case Outcome::noCompletedScan:
        return "noCompletedScan";
    case Outcome::recoveryPending:
        return "recoveryPending";
    case Outcome::attemptedRecently:
        return "attemptedRecently";
    case Outcome::tooSmall:
        return "tooSmall";
    case Outcome::notEnoughSpace:
        return "notEnoughSpace";
    case Outcome::optimised:
        return "optimised";
    case Outcome::completed:
        return "completed";
    }
    return "";
}

std::string explanation(nexdir::MaintenanceOutcome outcome, int64_t available, int64_t fileBytes) {
    using Outcome = nexdir::MaintenanceOutcome;
    switch (outcome) {
    case Outcome::stopped:
        return "stopped before it began";
    case Outcome::noCompletedScan:
        return "nothing done: the index holds no complete scan yet";
    case Outcome::recoveryPending:
        return "nothing done: the index is waiting for recovery";
    case Outcome::attemptedRecently:
        return "nothing done: maintenance runs at most once in 7 days (--force ignores this)";
    case Outcome::tooSmall:
        return "nothing done: the index is too small";
    case Outcome::notEnoughSpace:
        return "nothing done: compacting needs " +
               nexdir::formatFileBytes(3 * fileBytes + nexdir::maintenanceSpareBytes) +
               " free; available " + nexdir::formatFileBytes(available);
    case Outcome::optimised:
        return "optimised the full-text index; no time was left in the budget to compact the file";
    case Outcome::completed:
        return "optimised the full-text index and compacted the file";
    }
    return "";
}

} // namespace

int runMaintain(Arguments arguments) {
    std::string database = nexdir::defaultIndexPath();
    bool force = false;
    while (!arguments.empty()) {
        std::string word = arguments.next();
        if (word == "--db") {
            database = arguments.value(word);
        } else if (word == "--force") {
            force = true;
        } else {
            throw UsageError("unknown argument for maintain: " + word);
        }
    }
    struct stat info = requireIndex(database);
    auto instance = claimIndex(database, "maintain");
    std::string folder = dataDirectoryOf(database);
    std::optional<int64_t> available = nexdir::availableCapacity(folder);
    if (!available) {
        throw std::runtime_error("Could not read the free space of " + folder);
    }
    nexdir::SearchIndex index(database);
    int64_t before = index.statistics().indexBytes;

    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    nexdir::MaintenanceRules rules;
    if (force) {
        rules.minimumIntervalSeconds = 0;
    }
    double started = nexdir::uptimeSeconds();
    std::string outcome;
    std::string detail;
    int status = 0;
    try {
        nexdir::MaintenanceOutcome done = index.maintain(
            *available, nexdir::unixSeconds(), 0, [] { return stopRequested == 0; }, rules);
        outcome = outcomeName(done);
        detail = explanation(done, *available, int64_t(info.st_size));
    } catch (const nexdir::NexdirError& error) {
        if ((error.code() & 0xff) != SQLITE_INTERRUPT) {
            throw;
        }
        // The step under way was rolled back; one that finished before it stays.
        outcome = "interrupted";
        detail = std::string(stopRequested ? "interrupted on request"
                                           : "interrupted by its 10-second budget") +
                 "; the index is whole and searchable";
        status = stopRequested ? 130 : 0;
    }
    int64_t after = index.statistics().indexBytes;
    nlohmann::ordered_json output = {
        {"maintenance", outcome},
        {"indexBytesBefore", before},
        {"indexBytesAfter", after},
        {"seconds", nexdir::uptimeSeconds() - started},
    };
    std::cout << output.dump() << '\n';
    std::cerr << detail << " \u2022 index " << nexdir::formatFileBytes(before) << " before, "
              << nexdir::formatFileBytes(after) << " after\n";
    return status;
}

} // namespace quelmo::cli
