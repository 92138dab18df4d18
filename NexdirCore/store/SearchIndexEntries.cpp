// Entry writes: batches of records, subtree removal, and resolving paths to entries.

#include "DebugLog.h"
#include "IndexLocks.h"
#include "Paths.h"
#include "SQLite.h"
#include "SearchIndex.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace nexdir {

using detail::lockMeasured;
using sql::joinedIDs;

namespace {

// The conditional DO UPDATE leaves an unchanged row alone, so re-scanning an unchanged folder
// fires no trigger and causes no churn in the full-text index.
// A group's transaction is committed about this often, so searches see a long walk advance.
constexpr double groupCommitSeconds = 1.0;
// The writer's page cache for a write that changes pages all over the index, which also holds
// every page such a write reads (see readWriterPagesThroughCache). The default of 2 MiB spills
// such a write's changed pages to the WAL and reads them back: removing 285,000 entries took
// 9.8 s with it and 6.7 s with 64 MiB. A quarter of that kept a catch-up at 1,000,000
// entries within 150 MB at its peak (170 MB with 32 MiB), in about the time it took with
// 32 MiB.
constexpr int64_t largeWriteCacheKiB = 16 * 1024;

const std::string entryColumns =
    "id, parent_id, name, search_name, is_directory, modified_at, size, allocated_size, "
    "is_dataless";
const std::string updateWhenChanged = R"(
ON CONFLICT(parent_id, name) DO UPDATE SET
    search_name = excluded.search_name,
    is_directory = excluded.is_directory,
    modified_at = excluded.modified_at,
    size = excluded.size,
    allocated_size = excluded.allocated_size,
    is_dataless = excluded.is_dataless
WHERE entries.search_name != excluded.search_name
   OR entries.is_directory != excluded.is_directory
   OR entries.modified_at != excluded.modified_at
   OR entries.size != excluded.size
   OR entries.allocated_size IS NOT excluded.allocated_size
   OR entries.is_dataless != excluded.is_dataless;)";

const std::string upsertStatement = "INSERT INTO entries(" + entryColumns +
                                    ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)" + updateWhenChanged;
// A batch of records staged in the writer's memory goes in as one statement. Every statement
// that writes `entries` makes the full-text index write out what it holds in memory as a new
// segment (the triggers' writes to it need a statement savepoint, and the full-text index
// writes out at each one): a statement per record made that a fifth of catching up.
const std::string stageStatement =
    "INSERT INTO temp.staged_entries(" + entryColumns + ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?);";
const std::string upsertStagedStatement =
    "INSERT INTO entries(" + entryColumns + ") SELECT " + entryColumns +
    " FROM temp.staged_entries ORDER BY rowid" + updateWhenChanged;
const std::string clearStagedStatement = "DELETE FROM temp.staged_entries;";
// Fewer records than this go in one statement each, which costs less than staging them.
constexpr size_t stagedRecords = 3;
// At most this many are staged at once: the staging table keeps the memory its largest batch
// took for as long as the writer is open.
constexpr size_t stagedChunk = 2048;

void bindRecord(sql::Statement& statement, const FileRecord& record) {
    statement.reset();
    statement.bindInt(1, record.id);
    statement.bindInt(2, record.parentID);
    statement.bindText(3, record.name);
    statement.bindText(4, record.searchName);
    statement.bindInt(5, record.isDirectory ? 1 : 0);
    statement.bindDouble(6, record.modifiedAt);
    statement.bindInt(7, record.size);
    if (record.allocatedSize) {
        statement.bindInt(8, *record.allocatedSize);
    } else {
        statement.bindNull(8);
    }
    statement.bindInt(9, record.isDataless ? 1 : 0);
}

// Deletes the entries `seed` (a SELECT of ids) answers and everything below them, in one
// statement: each deleted row takes its full-text entry with it through the delete trigger.
std::string subtreeDeletion(const std::string& seed) {
    return "WITH RECURSIVE subtree(id) AS (\n    " + seed +
           "\n    UNION ALL SELECT e.id FROM entries e JOIN subtree s ON e.parent_id = s.id\n) "
           "DELETE FROM entries WHERE id IN (SELECT id FROM subtree);";
}

} // namespace

int64_t SearchIndex::upsert(const std::vector<FileRecord>& records,
                            const std::vector<int64_t>& removingIDs,
                            const std::vector<int64_t>& pruningIDs) {
    if (records.empty() && removingIDs.empty() && pruningIDs.empty()) {
        return 0;
    }
    auto guard = lockMeasured(writeLock_, detail::phaseWriteLockWait);
    if (groupDepth_ == 0) {
        return writeEntries(records, removingIDs, pruningIDs);
    }
    keepInGroup(records, removingIDs, pruningIDs);
    return 0;
}

void SearchIndex::keepInGroup(std::span<const FileRecord> records,
                              std::span<const int64_t> removingIDs,
                              std::span<const int64_t> pruningIDs) {
    if (groupFailed_) {
        throw NexdirError::sqlite("Could not index " +
                                  (records.empty() ? std::string("entries") : records[0].name) +
                                  ": an earlier write of the same walk failed");
    }
    groupRecords_.insert(groupRecords_.end(), records.begin(), records.end());
    groupRemoving_.insert(groupRemoving_.end(), removingIDs.begin(), removingIDs.end());
    groupPruning_.insert(groupPruning_.end(), pruningIDs.begin(), pruningIDs.end());
    if (uptimeSeconds() - groupCommitted_ >= groupCommitSeconds) {
        commitGroup();
    }
}

int64_t SearchIndex::writeEntries(std::span<const FileRecord> records,
                                  std::span<const int64_t> removingIDs,
                                  std::span<const int64_t> pruningIDs) {
    double started = uptimeSeconds();
    struct AfterTransaction {
        SearchIndex& index;
        double started;
        ~AfterTransaction() {
            // After the commit (or the rollback): a path resolved from here on reads its rows.
            ++index.entriesWritten_;
            DiagnosticTiming::record(detail::phaseWriteTransaction, started);
            index.renewWriterMapping();
        }
    } afterTransaction{*this, started};

    commitAppends();
    sqlite3* writer = writer_.get();
    sql::WriteTransaction transaction(writer);
    catchUpIdentifiers();
    int64_t removed = 0;
    if (!removingIDs.empty() || !pruningIDs.empty()) {
        // Removals first, so one batch can replace a subtree with freshly numbered children.
        // Only a list that holds ids makes a condition: beside an OR, an empty "IN ()" made
        // SQLite read every entry, 10 ms a batch at 250,000 entries where the removal itself
        // takes under one.
        std::string tops = removingIDs.empty() ? "" : "id IN (" + joinedIDs(removingIDs) + ")";
        std::string below =
            pruningIDs.empty() ? "" : "parent_id IN (" + joinedIDs(pruningIDs) + ")";
        sql::Statement removal(
            writer, subtreeDeletion("SELECT id FROM entries WHERE " + tops +
                                    (tops.empty() || below.empty() ? "" : " OR ") + below));
        if (removal.step() != SQLITE_DONE) {
            throw sql::error(writer, "Could not remove stale entries");
        }
        removed = sqlite3_changes64(writer);
    }
    // A bulk load has no triggers, and so nothing to gain from staging.
    if (records.size() >= stagedRecords && !bulkLoading_ && writeStaged(records)) {
        transaction.commit();
        return removed;
    }
    {
        sql::Statement statement(writer, upsertStatement);
        for (const FileRecord& record : records) {
            bindRecord(statement, record);
            if (statement.step() != SQLITE_DONE) {
                throw sql::error(writer, "Could not index " + record.name);
            }
        }
    }
    transaction.commit();
    return removed;
}

bool SearchIndex::writeStaged(std::span<const FileRecord> records) {
    sqlite3* writer = writer_.get();
    sql::Statement stage(writer, stageStatement);
    sql::Statement upsert(writer, upsertStagedStatement);
    for (size_t start = 0; start < records.size(); start += stagedChunk) {
        for (const FileRecord& record :
             records.subspan(start).first(std::min(stagedChunk, records.size() - start))) {
            bindRecord(stage, record);
            if (stage.step() != SQLITE_DONE) {
                throw sql::error(writer, "Could not index " + record.name);
            }
        }
        int result = upsert.step();
        upsert.reset();
        sql::execute(writer, clearStagedStatement);
        // A failed statement is undone by itself; written one by one (those staged before
        // rewrite nothing), the record at fault is named.
        if (result != SQLITE_DONE) {
            return false;
        }
    }
    return true;
}

int64_t SearchIndex::appendNumbered(std::vector<FileRecord>& records) {
    // A commit writes the pages it changed to the WAL again, however few rows they gained.
    constexpr int64_t rowsPerCommit = 8192;
    auto guard = lockMeasured(writeLock_, detail::phaseWriteLockWait);
    if (!bulkLoading_) {
        throw NexdirError::sqlite("Could not index entries: the index is not being rebuilt");
    }
    sqlite3* writer = writer_.get();
    if (!appendTransaction_) {
        appendTransaction_ = std::make_unique<sql::WriteTransaction>(writer);
        appendStatement_ = std::make_unique<sql::Statement>(writer, upsertStatement);
    }
    int64_t first;
    {
        std::lock_guard idGuard(idLock_);
        first = nextID_;
        nextID_ += int64_t(records.size());
    }
    for (size_t i = 0; i < records.size(); ++i) {
        records[i].id = first + int64_t(i);
        bindRecord(*appendStatement_, records[i]);
        if (appendStatement_->step() != SQLITE_DONE) {
            NexdirError failure = sql::error(writer, "Could not index " + records[i].name);
            appendStatement_.reset();
            appendTransaction_.reset(); // rolls back
            throw failure;
        }
    }
    appendedUncommitted_ += int64_t(records.size());
    if (appendedUncommitted_ >= rowsPerCommit) {
        commitAppends();
    }
    return first;
}

void SearchIndex::commitAppends() {
    if (!appendTransaction_) {
        return;
    }
    appendStatement_.reset();
    std::unique_ptr<sql::WriteTransaction> transaction = std::move(appendTransaction_);
    appendedUncommitted_ = 0;
    transaction->commit();
}

SearchIndex::GroupedWrites::GroupedWrites(SearchIndex& index) : index_(index) {
    auto guard = lockMeasured(index_.writeLock_, detail::phaseWriteLockWait);
    if (index_.groupDepth_++ == 0) {
        index_.groupOpen_ = true;
        index_.groupCommitted_ = uptimeSeconds();
        index_.groupFailed_ = false;
        index_.groupRemoved_ = 0;
        index_.useLargeWriteSettings(true);
    }
}

SearchIndex::GroupedWrites::~GroupedWrites() {
    if (finished_) {
        return;
    }
    try {
        finish();
    } catch (const std::exception& error) {
        DebugLog::write(std::string("grouped index writes failed error=") + error.what());
    }
}

int64_t SearchIndex::GroupedWrites::finish() {
    finished_ = true;
    auto guard = lockMeasured(index_.writeLock_, detail::phaseWriteLockWait);
    if (--index_.groupDepth_ > 0) {
        return 0;
    }
    // The large cache stays until the index is idle (releaseMemory): a catch-up is one group
    // after another, and each would otherwise read its pages back one by one.
    bool failed = index_.groupFailed_;
    index_.groupOpen_ = false;
    index_.commitGroup();
    if (failed) {
        throw NexdirError::sqlite("Could not index the walk's entries: an earlier write failed");
    }
    return std::exchange(index_.groupRemoved_, 0);
}

void SearchIndex::commitGroup() {
    groupCommitted_ = uptimeSeconds();
    std::vector<FileRecord> records;
    std::vector<int64_t> removing;
    std::vector<int64_t> pruning;
    records.swap(groupRecords_);
    removing.swap(groupRemoving_);
    pruning.swap(groupPruning_);
    if ((records.empty() && removing.empty() && pruning.empty()) || groupFailed_) {
        return;
    }
    // In id order: the full-text index writes out what it holds in memory whenever an id
    // comes below the last one, and the workers' batches interleave their ids. Stable, so that
    // a row written twice ends as it was written last.
    std::stable_sort(records.begin(), records.end(),
                     [](const FileRecord& a, const FileRecord& b) { return a.id < b.id; });
    try {
        groupRemoved_ += writeEntries(records, removing, pruning);
    } catch (...) {
        groupFailed_ = true;
        throw;
    }
}

void SearchIndex::useLargeWriteSettings(bool large) {
    sqlite3* writer = writer_.get();
    largeWrites_.store(large, std::memory_order_relaxed);
    if (large) {
        logMayBeLarge_ = true;
        sql::execute(writer, "PRAGMA cache_size=" + std::to_string(-largeWriteCacheKiB) + ";");
        checkpointEvery(largeWritesCheckpointFrames);
        readWriterPagesThroughCache(true);
        return;
    }
    // The memory goes back at once: a live index spends most of its time on small writes.
    sql::executeIgnoringFailure(writer, "PRAGMA cache_size=-2000;");
    sqlite3_db_release_memory(writer);
    checkpointEvery(checkpointFrames);
    readWriterPagesThroughCache(false);
}

void SearchIndex::checkpointEvery(int frames) {
    if (journal_ && rowChangesSupported_) {
        journal_->checkpointEvery(frames);
    } else {
        sql::executeIgnoringFailure(
            writer_.get(), ("PRAGMA wal_autocheckpoint=" + std::to_string(frames) + ";").c_str());
    }
}

void SearchIndex::catchUpIdentifiers() {
    // data_version moves only when another connection commits. The counter hands out ids
    // from memory, so after another program wrote (an installed rebuild, a reconcile from the
    // command line) it restarts above every id now stored; ids reserved before this batch may
    // still meet theirs once, and that write fails instead of mixing two entries.
    sqlite3* writer = writer_.get();
    int64_t version = sql::readInt(writer, "PRAGMA data_version;");
    if (version == writerDataVersion_) {
        return;
    }
    writerDataVersion_ = version;
    // Nor did the journal see those rows: a copy that follows it loads afresh.
    journal_->invalidate();
    int64_t stored = sql::readInt(writer, "SELECT coalesce(max(id), 0) + 1 FROM entries;");
    std::lock_guard idGuard(idLock_);
    nextID_ = std::max(nextID_, stored);
}

std::optional<int64_t> SearchIndex::entryID(const std::string& path,
                                            const std::string& volumeRoot) {
    std::optional<int64_t> id;
    readOperation([&] { id = resolveEntryID(path, volumeRoot); });
    return id;
}

std::optional<int64_t> SearchIndex::resolveEntryID(const std::string& rawPath,
                                                   const std::string& rawRoot) {
    sqlite3* reader = reader_.get();
    std::string path = standardizePath(rawPath);
    std::string root = standardizePath(rawRoot);
    if (!isAtOrUnder(path, root)) {
        return std::nullopt;
    }
    // Read before any row: a write that ends after this makes the answers below stale.
    uint64_t written = entriesWritten_;
    bool caching = groupOpen_;
    if (!caching || written != resolvedAtWrite_ || resolvedPaths_.size() > 100000) {
        resolvedPaths_.clear();
        resolvedAtWrite_ = written;
    }

    sql::Statement& statement =
        readerStatement("SELECT id FROM entries WHERE parent_id = ? AND name = ? LIMIT 1;");
    sql::ResetOnExit done(statement);
    // The child `name` of the entry `parent` (0: a volume root).
    auto child = [&](int64_t parent, std::string_view name) -> std::optional<int64_t> {
        statement.reset();
        statement.bindInt(1, parent);
        statement.bindText(2, name);
        int result = statement.step();
        if (result == SQLITE_DONE) {
            return std::nullopt;
        }
        if (result != SQLITE_ROW) {
            throw sql::error(reader, "Could not resolve indexed path");
        }
        return statement.columnInt(0);
    };
    // The deepest folder on the way that is known already, else the volume root.
    std::optional<int64_t> current;
    size_t resolved = path.size(); // of `path`, how much `current` stands for
    for (std::string_view known(path); caching && known.size() > root.size();
         known = known.substr(0, std::max(known.rfind('/'), size_t(1)))) {
        if (auto found = resolvedPaths_.find(std::string(known)); found != resolvedPaths_.end()) {
            current = found->second;
            resolved = known.size();
            break;
        }
    }
    if (!current) {
        current = child(0, root);
        resolved = root.size();
    }
    if (!current || path == root) {
        return current;
    }
    // What is left after the folder found; a leading slash makes an empty component.
    std::string_view rest = std::string_view(path).substr(resolved);
    while (current && !rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view component = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (!component.empty()) {
            current = child(*current, component);
            if (current && caching) {
                resolvedPaths_.emplace(path.substr(0, path.size() - rest.size() -
                                                          (rest.empty() ? 0 : 1)),
                                       *current);
            }
        }
    }
    return current;
}

sql::Statement& SearchIndex::readerStatement(const char* sql) {
    std::unique_ptr<sql::Statement>& statement = readerStatements_[sql];
    if (!statement) {
        statement = std::make_unique<sql::Statement>(reader_.get(), sql);
    }
    statement->reset(); // and its bindings cleared; each use resets it again as it ends
    return *statement;
}

std::vector<IndexedEntry> SearchIndex::readerEntries(const char* sql, int64_t value,
                                                     std::optional<std::string_view> name) {
    std::vector<IndexedEntry> found;
    readOperation([&] {
        sql::Statement& statement = readerStatement(sql);
        sql::ResetOnExit done(statement);
        statement.bindInt(1, value);
        if (name) {
            statement.bindText(2, *name);
        }
        found = sql::readEntries(statement);
    });
    return found;
}

std::vector<IndexedEntry> SearchIndex::children(int64_t parentID) {
    return readerEntries("SELECT id, name, is_directory, modified_at, size, allocated_size, "
                         "is_dataless FROM entries WHERE parent_id = ?;",
                         parentID);
}

std::optional<IndexedEntry> SearchIndex::entry(int64_t id) {
    std::vector<IndexedEntry> found =
        readerEntries("SELECT id, name, is_directory, modified_at, size, allocated_size, "
                      "is_dataless FROM entries WHERE id = ?;",
                      id);
    if (found.empty()) {
        return std::nullopt;
    }
    return std::move(found.front());
}

std::optional<IndexedEntry> SearchIndex::child(int64_t parentID, std::string_view name) {
    std::vector<IndexedEntry> found =
        readerEntries("SELECT id, name, is_directory, modified_at, size, allocated_size, "
                      "is_dataless FROM entries WHERE parent_id = ? AND name = ?;",
                      parentID, name);
    if (found.empty()) {
        return std::nullopt;
    }
    return std::move(found.front());
}

int64_t SearchIndex::removeRecursively(const std::string& path, const std::string& volumeRoot) {
    // Resolved under the read lock, removed under the write lock: another writer may act in
    // between, and the removal then takes whatever subtree the id has at that moment.
    std::optional<int64_t> id = entryID(path, volumeRoot);
    if (!id) {
        return 0;
    }
    std::vector<int64_t> removing{*id};
    auto guard = lockMeasured(writeLock_, detail::phaseWriteLockWait);
    if (groupDepth_ > 0) {
        keepInGroup({}, removing, {});
        return 0;
    }
    // A folder's removal may change pages all over the index.
    useLargeWriteSettings(true);
    struct SmallCache {
        SearchIndex& index;
        ~SmallCache() { index.useLargeWriteSettings(false); }
    } smallCache{*this};
    return writeEntries({}, removing, {});
}

int64_t SearchIndex::subtreeSize(const std::string& path, const std::string& volumeRoot) {
    int64_t size = 0;
    readOperation([&] {
        std::optional<int64_t> id = resolveEntryID(path, volumeRoot);
        if (!id) {
            return;
        }
        sql::Statement& statement = readerStatement(R"(WITH RECURSIVE subtree(id) AS (
    SELECT ?
    UNION ALL
    SELECT e.id FROM entries AS e JOIN subtree AS s ON e.parent_id = s.id
) SELECT count(*) FROM subtree;)");
        sql::ResetOnExit done(statement);
        statement.bindInt(1, *id);
        if (statement.step() != SQLITE_ROW) {
            throw sql::error(reader_.get(), "Could not count indexed entries");
        }
        size = statement.columnInt(0);
    });
    return size;
}

void SearchIndex::removeChildren(int64_t id) {
    auto guard = lockMeasured(writeLock_, detail::phaseWriteLockWait);
    sql::execute(writer_.get(),
                 subtreeDeletion("SELECT id FROM entries WHERE parent_id = " + std::to_string(id)));
    ++entriesWritten_;
}

} // namespace nexdir
