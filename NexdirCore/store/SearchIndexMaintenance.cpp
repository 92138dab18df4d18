// Occasional maintenance: the full-text index optimised and the file compacted, within a time
// budget and the free space there is, and the WAL truncated without waiting for readers.

#include "DebugLog.h"
#include "IndexLocks.h"
#include "IndexMetadata.h"
#include "SQLite.h"
#include "SearchIndex.h"

#include <sys/stat.h>

#include <cmath>

namespace nexdir {

namespace {

// SQLite calls the budget back every this many virtual-machine instructions: often enough to
// stop within milliseconds, rarely enough to cost nothing measurable.
constexpr int budgetCheckInstructions = 10000;

// What the writer's progress handler asks while maintenance works.
struct MaintenanceBudget {
    double deadline; // uptime seconds
    const std::function<bool()>& shouldContinue;

    bool allows() const {
        return uptimeSeconds() < deadline && (!shouldContinue || shouldContinue());
    }
};

int interruptsWhenSpent(void* context) {
    auto* budget = static_cast<const MaintenanceBudget*>(context);
    return budget && budget->allows() ? 0 : 1;
}

int64_t fileBytes(sqlite3* db) {
    return sql::readInt(db, "PRAGMA page_count;") * sql::readInt(db, "PRAGMA page_size;");
}

} // namespace

void SearchIndex::truncateWALWithoutWaiting() {
    sqlite3* writer = writer_.get();
    sqlite3_busy_timeout(writer, 0);
    int result =
        sqlite3_wal_checkpoint_v2(writer, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    if (result != SQLITE_OK) {
        DebugLog::write("maintenance WAL checkpoint deferred code=" + std::to_string(result));
    }
    sqlite3_busy_timeout(writer, detail::busyTimeoutMilliseconds);
}

void SearchIndex::releaseWALSpace() {
    auto guard = detail::lockMeasured(writeLock_, detail::phaseWriteLockWait);
    truncateWALWithoutWaiting();
}

MaintenanceOutcome SearchIndex::maintain(int64_t availableBytes, double now, int64_t minimumBytes,
                                         const std::function<bool()>& shouldContinue,
                                         const MaintenanceRules& rules) {
    auto guard = detail::lockMeasured(writeLock_, detail::phaseWriteLockWait);
    if (shouldContinue && !shouldContinue()) {
        return MaintenanceOutcome::stopped;
    }
    sqlite3* writer = writer_.get();
    if (sql::readInt(writer, "SELECT completed FROM scan_state WHERE id = 1") != 1) {
        return MaintenanceOutcome::noCompletedScan;
    }
    // (Read on the writer: a write operation never takes the read lock.)
    if (sql::readInt(writer, std::string("SELECT count(*) FROM metadata WHERE key = '") +
                                 IndexMetadata::needsRecovery + "' AND value = '" +
                                 IndexMetadata::flag(true) + "'") != 0) {
        return MaintenanceOutcome::recoveryPending;
    }
    struct stat wal {};
    if (stat((databasePath_ + "-wal").c_str(), &wal) == 0 &&
        wal.st_size > maintenanceWALLimitBytes) {
        truncateWALWithoutWaiting();
    }
    double lastAttempt = double(sql::readInt(
        writer, std::string("SELECT coalesce((SELECT CAST(value AS INTEGER) FROM metadata WHERE "
                            "key = '") +
                    IndexMetadata::maintenanceAttempt + "'), 0)"));
    // An attempt recorded in the future comes from a clock that was wrong then or is wrong
    // now; it must not put maintenance off until that date.
    if (lastAttempt <= now && now - lastAttempt < rules.minimumIntervalSeconds) {
        return MaintenanceOutcome::attemptedRecently;
    }
    int64_t size = fileBytes(writer);
    if (size < minimumBytes) {
        return MaintenanceOutcome::tooSmall;
    }
    if (availableBytes < 3 * size + maintenanceSpareBytes) {
        return MaintenanceOutcome::notEnoughSpace;
    }
    // Recorded before any work, so an attempt that fails or is killed also waits its interval.
    sql::execute(writer, std::string("INSERT OR REPLACE INTO metadata VALUES('") +
                             IndexMetadata::maintenanceAttempt + "', '" +
                             std::to_string(int64_t(std::floor(now))) + "')");

    MaintenanceBudget budget{uptimeSeconds() + rules.budgetSeconds, shouldContinue};
    // However the work ends, the handler goes before the WAL is truncated (a truncation
    // interrupted by a spent budget would leave the WAL as large as the work made it).
    struct AfterWork {
        SearchIndex& index;
        ~AfterWork() {
            sqlite3_progress_handler(index.writer_.get(), 0, nullptr, nullptr);
            index.truncateWALWithoutWaiting();
        }
    } afterWork{*this};
    sqlite3_progress_handler(writer, budgetCheckInstructions, interruptsWhenSpent, &budget);

    DebugLog::write("index maintenance started bytes=" + std::to_string(size));
    sql::execute(writer, "INSERT INTO entries_fts(entries_fts) VALUES('optimize')");
    if (!budget.allows()) {
        return MaintenanceOutcome::optimised;
    }
    sql::execute(writer, "VACUUM");
    DebugLog::write("index maintenance completed before=" + std::to_string(size) +
                    " after=" + std::to_string(fileBytes(writer)));
    return MaintenanceOutcome::completed;
}

} // namespace nexdir
