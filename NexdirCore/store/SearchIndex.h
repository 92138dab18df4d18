#pragma once

#include "FileRecord.h"
#include "IndexMaintenance.h"
#include "IndexStatistics.h"
#include "IndexedEntry.h"
#include "MeasuredFile.h"
#include "RowChangeJournal.h"
#include "SQLite.h"
#include "SearchResult.h"

#include <sqlite3.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace nexdir {

// One index database file: every indexed entry, a trigram full-text index over their search
// names, counters, engine state (metadata) and the schema version. The name search
// (`NameSearch`) reads it through `read`.
//
// Two connections: `writer_` makes every change, `reader_` answers every query; WAL mode lets
// the reader see the last committed state while the writer works. Every operation holds one of
// `writeLock_` (writer operations) or `readLock_` (reader operations) for its whole duration,
// so any thread may call any operation. Two locks are ever held at once, and neither wait can
// deadlock: `idLock_`, which guards only `nextID_`, is taken inside `writeLock_` when a reset
// or an install moves the counter; and a read that follows row changes tries `writeLock_`
// while it holds `readLock_`, without blocking on it (no writer operation ever takes
// `readLock_`). Operations throw NexdirError.
class SearchIndex {
public:
    enum class Access {
        readWrite,
        // Reads only: nothing is created or written (no folder, no "-wal" or "-shm", no
        // upgrade), so an index the user may only read, or one on a full disk, still
        // answers. Every write throws. An index written by an older release is refused.
        // An index no engine holds is read without locks; a read that then finds it damaged
        // reads once more with the WAL's locks (creating the "-wal" and "-shm" if it must)
        // before the damage is reported, as a writer that opened meanwhile may have been
        // checkpointing under it.
        readOnly,
    };

    // Opens or creates the file, creating its folder, and creates or upgrades the schema.
    // A newer release's index, another program's database and a damaged file are refused
    // untouched.
    explicit SearchIndex(std::string databasePath, Access access = Access::readWrite);
    ~SearchIndex();
    SearchIndex(const SearchIndex&) = delete;
    SearchIndex& operator=(const SearchIndex&) = delete;

    // As the constructor, but a file that is corrupt or not a database is moved, with its
    // "-wal" and "-shm" companions, into a new "corrupt-index-<UUID>" folder beside it and a
    // fresh index takes its place. Nothing is deleted.
    static std::unique_ptr<SearchIndex> openRecoveringCorruption(const std::string& databasePath);

    // The search form of a name or a query (normalizeForSearch). Pure; any thread.
    static std::string normalize(std::string_view text);

    const std::string& databasePath() const { return databasePath_; }

    // The names file beside the index (see NamesFile), and the partial one it is written as
    // first, whose path extends it.
    static constexpr const char* namesFileSuffix = "-names";
    std::string namesFilePath() const { return databasePath_ + namesFileSuffix; }

    // Engine state as text. The map form stores all pairs or none.
    std::optional<std::string> metadata(const std::string& key);
    void setMetadata(const std::string& key, const std::string& value);
    void setMetadata(const std::map<std::string, std::string>& values);

    // Writes a new names stamp (IndexMetadata::namesStamp) and answers it, for a names file
    // about to be saved; nothing while a full scan loads rows in bulk, which no trigger sees.
    std::optional<std::string> stampNames();

    bool hasCompletedFullScan();
    void markFullScanCompleted();

    IndexStatistics statistics();

    // The next free entry identifier; never touches the database.
    int64_t reserveID();

    // Bulk-load mode for a full scan into this file: the reset empties the file and drops the
    // triggers, the full-text table and the secondary indexes; the finish builds them again
    // in one pass from the loaded rows.
    void resetForFullScan();
    void finishBulkLoad();

    // Copies `other`'s whole database into this one by online backup, 256 pages a step,
    // calling `didCopyBatch` after each step (it may throw to abandon the copy). Busy steps
    // are retried for up to 2 seconds.
    void replaceContents(SearchIndex& other, const std::function<void()>& didCopyBatch = {});

    // For a file deleted once it is closed (a rebuild): closing then writes nothing of the
    // WAL back into the file (0.3 s of a rebuild of 500,000 items), and its writes are
    // neither synced nor read through a mapping.
    void discardWhenClosed();

    // Gives back what the connections hold for speed alone: their unused cache pages and the
    // pages of the index they have mapped, and the process's free heap. For an engine that
    // has become idle after a burst of writes; the next reads map and cache again.
    void releaseMemory();

    // ---- Entry writes ----

    // During a bulk load only: numbers `records` with the next free ids, in their order, and
    // writes them after every row appended before, so that the rows go in as by an append and
    // fill the table's pages; answers the first id. Appends share a transaction, committed
    // every few thousand rows and by any other write of entries or the load's finish.
    int64_t appendNumbered(std::vector<FileRecord>& records);
    bool isBulkLoading() const { return bulkLoading_; }

    // In one transaction: removes the subtrees rooted at `removingIDs`, removes everything
    // below `pruningIDs` (keeping those entries), then inserts or updates `records` in order.
    // A record whose (parent, name) exists keeps the row's id and rewrites it only when a
    // stored value differs. Answers how many entries the removals took. While a group of
    // writes is open (GroupedWrites), the call is kept for the group's transaction and
    // answers 0; the group's `finish` counts its removals.
    int64_t upsert(const std::vector<FileRecord>& records,
                   const std::vector<int64_t>& removingIDs = {},
                   const std::vector<int64_t>& pruningIDs = {});

    // The entry at `path` below the volume root `volumeRoot`; both are standardised first.
    std::optional<int64_t> entryID(const std::string& path, const std::string& volumeRoot);

    std::vector<IndexedEntry> children(int64_t parentID);

    // The row of entry `id` (all seven columns); absent when there is none.
    std::optional<IndexedEntry> entry(int64_t id);
    // The row of the child `name` of the entry `parentID`; absent when there is none.
    std::optional<IndexedEntry> child(int64_t parentID, std::string_view name);

    // Removes the entry at `path` and everything below it; nothing when it is not indexed.
    // Answers how many entries went; while a group of writes is open, the removal is kept for
    // the group's transaction (see GroupedWrites) and the call answers 0.
    int64_t removeRecursively(const std::string& path, const std::string& volumeRoot);

    // How many entries the entry at `path` and everything below it make; 0 when it is not
    // indexed.
    int64_t subtreeSize(const std::string& path, const std::string& volumeRoot);

    // The writes of one long walk, or of one step of a walk, into the live index, grouped:
    // while a group is open, what `upsert` is given, by any thread, is kept and written
    // together in one transaction about once a second and when the group finishes, with a
    // page cache that holds what the transaction changes: first every removal the group was
    // given, then every record, in id order. So the writes of a group must stay apart: no
    // removal may take what a record of the same group writes (the folders one walk step
    // reconciles lie apart; a walk writes records only). A row is never committed without the
    // rows given before it: a walk that writes each folder before its contents leaves no
    // orphans however it ends. Reads see only what was committed, so a walk reads nothing the
    // open group holds. A failed write fails the group's later calls. Written as they came,
    // one transaction per folder with two workers' ids interleaved, 285,000 items took 52 s
    // to read back in; grouped, 13 s.
    class GroupedWrites {
    public:
        explicit GroupedWrites(SearchIndex& index);
        // Unfinished (an exception on its way): what the group kept is written all the same,
        // or, should that fail, logged.
        ~GroupedWrites();
        GroupedWrites(const GroupedWrites&) = delete;
        GroupedWrites& operator=(const GroupedWrites&) = delete;
        // Writes what the group kept and answers how many entries its removals took; throws
        // when that or an earlier write of it failed. An inner group answers 0: the outermost
        // one writes and counts.
        int64_t finish();

    private:
        SearchIndex& index_;
        bool finished_ = false;
    };

    // Removes everything below the entry `id`, keeping the entry.
    void removeChildren(int64_t id);

    // ---- Disk usage and maintenance ----
    //
    // A file's allocated size is NULL until measured, then its bytes, or -1 when it could not
    // be measured; any write that changes the row without a measurement makes it NULL again.
    // Folders are never measured.

    // The largest files of at least `minimumSize` logical bytes (raised to 0), at most
    // `limit` (0 to 1000). Ranked by disk usage: measured files by allocated size, then those
    // that could not be measured, then unmeasured ones; otherwise by logical size. Ties by
    // logical size, then id. An entry without a path is left out.
    SearchResponse largestFiles(int64_t limit, int64_t minimumSize, bool rankedByDiskUsage);

    // Files never measured, by id, at most `limit` (1 to 1000), only ids above `afterID`: a
    // caller that leaves some unsaved (they changed on disk) pages on past them.
    std::vector<SearchResult> unmeasuredFiles(int64_t limit, int64_t afterID = 0);

    // In one transaction, stores each measurement (an absent usage as -1) where the row still
    // has the listed id, name, size and modification time and is still unmeasured; a row that
    // changed or was measured meanwhile is left as it is. Answers how many rows were written.
    int64_t saveDiskUsage(const std::vector<MeasuredFile>& measurements);

    // Gives the disk back what the WAL holds beyond its content (a write that failed on a
    // full disk may have grown it to every free byte), unless a reader holds it.
    void releaseWALSpace();

    // Optimises the full-text index and compacts the file, when the index holds a completed
    // scan, no recovery is pending, the last attempt is at least the rules' interval before
    // `now` (Unix seconds), the file holds at least `minimumBytes` and `availableBytes` leave
    // room for the copies (see IndexMaintenance.h). The attempt is recorded before any work.
    // The work stops with the SQLite interrupt error (thrown) once the budget is spent or
    // `shouldContinue` answers false; the index stays whole either way. Every call that gets
    // past the scan and recovery checks truncates a WAL of 64 MiB or more, and maintenance
    // truncates it as it ends, never waiting for readers. Holds the write lock throughout;
    // reads go on meanwhile.
    MaintenanceOutcome maintain(int64_t availableBytes, double now, int64_t minimumBytes,
                                const std::function<bool()>& shouldContinue,
                                const MaintenanceRules& rules = {});
    // True when maintenance ran to completion.
    bool maintainIfNeeded(int64_t availableBytes, double now, int64_t minimumBytes,
                          const std::function<bool()>& shouldContinue) {
        return maintain(availableBytes, now, minimumBytes, shouldContinue) ==
               MaintenanceOutcome::completed;
    }

    // ---- Reads that keep a copy of the entries in step ----

    // How many committed changes wait for the follower (see RowChanges). Each holds two
    // names: a catch-up that nobody searches during piled up 130,000 of them, 25 MB, at
    // 250,000 entries.
    size_t rowChangesHeld() const { return journal_ ? journal_->held() : 0; }

    // How a reader that keeps its own copy of every entry's names (the name search) brings
    // that copy to the snapshot of its read.
    struct RowChanges {
        enum class Kind {
            // A write is in flight, or changes cannot be followed until the content is
            // replaced: use no copy for this read.
            unavailable,
            // `changes` lead from the snapshot the previous follower saw to this read's.
            changes,
            // What changed since then is not known (the first read, a reset, an installed
            // copy, another connection's write): load the copy from this read's snapshot.
            reload,
        };
        Kind kind = Kind::unavailable;
        EntryChanges changes;
        // The entry and folder counts of the read's snapshot, kept by the database's own
        // triggers: the check on a copy brought in step (absent with `unavailable`).
        int64_t total = 0;
        int64_t directories = 0;
        // `changes` were taken while the writer was busy: a copy that then disagrees with
        // the counts may have met another connection's commit the writer has not seen yet,
        // and only needs loading afresh.
        bool committedOnly = false;
    };

    // One read operation: the reader connection inside one read transaction, whose snapshot
    // every statement of the read sees.
    class Reader {
    public:
        sqlite3* connection() const { return index_.reader_.get(); }

        // See RowChanges; `holdsCopy` false asks for a reload. One follower per index: the
        // changes are handed out once.
        RowChanges followRowChanges(bool holdsCopy);
        // The follower's copy cannot hold what the index holds: changes are not followed
        // (every later read answers unavailable) until a reset or an install replaces the
        // content. With `permanently` false, the next read only loads afresh.
        void stopFollowingRowChanges(bool permanently);

        // The names stamp of this snapshot (see stampNames); absent once entries changed.
        std::optional<std::string> namesStamp();

        // The entry and folder counts of this snapshot (kept by the database's triggers).
        std::pair<int64_t, int64_t> counts();

        // The full path of each entry whose chain of parents reaches a volume root.
        std::unordered_map<int64_t, std::string> paths(const std::vector<int64_t>& ids);
        // The rows as results with those paths; a row without one is left out.
        std::vector<SearchResult> results(const std::vector<IndexedEntry>& entries);

    private:
        friend class SearchIndex;
        explicit Reader(SearchIndex& index) : index_(index) {}
        // Ends the snapshot and opens the next read transaction, before anything was read.
        void restartSnapshot();
        SearchIndex& index_;
    };

    // Runs `work` as one read, under the read lock, timed as every read is; the read
    // transaction ends when it returns or throws.
    void read(const std::function<void(Reader&)>& work);

private:
    using ConnectionPointer = sql::Connection;

    // How a connection opens the file: to write, or only to read (see detail::readOnlyURI).
    enum class Opening { readWrite, readOnly, readOnlyWithLocks };

    static ConnectionPointer openConnection(const std::string& path, Opening opening);
    void openReadOnly();
    // Runs `operation` on reader_ as one read: under readLock_, timed, and, when the reader
    // reads without locks, once more on a reader with locks if it fails as a damaged file
    // would (detail::readRetryingWithLocks).
    void readOperation(const std::function<void()>& operation);
    void createOrUpgradeSchema();
    void ensureFullTextTable();
    // The content was replaced wholesale: row changes can be followed again from a reload.
    void contentReplaced();
    // Inside a write transaction: moves the id counter above another connection's writes.
    void catchUpIdentifiers();
    // A truncating checkpoint that gives up at once when a reader holds the WAL (logged, never
    // thrown); the caller holds writeLock_.
    void truncateWALWithoutWaiting();

    std::optional<int64_t> resolveEntryID(const std::string& path, const std::string& volumeRoot);
    // The writer's settings while one write changes pages all over the index (a subtree
    // removal, a group) and until the index is idle: a large page cache, which the writer
    // reads through instead of its mapping, and checkpoints only of a large log. Small again
    // after; the caller holds writeLock_.
    void useLargeWriteSettings(bool large);
    // Checkpoints the log once it holds this many pages; writeLock_ held.
    void checkpointEvery(int frames);
    // Checkpoints of a large log, rather than the default's every 1,000 pages: a live index
    // writes in many small transactions, and each checkpoint rewrites pages of the index that
    // the next batch dirties again.
    static constexpr int checkpointFrames = 16000;
    // During large writes, up to 256 MiB of log (4 KiB pages): each commit of a catch-up
    // writes again every page it changed, scattered over four indexes, and checkpointing each
    // 64 MiB copied the same pages into the index over and over, a seventh of a catch-up's
    // time. The idle release checkpoints what is left and gives the log's space back.
    static constexpr int largeWritesCheckpointFrames = 65536;
    // Lets the pages the writer read through its mapping go, at most every
    // `mappingSeconds`; after each write transaction, writeLock_ held.
    void renewWriterMapping();
    // The same for the reader's, after each read, which reads through its page cache instead
    // while the writer's large settings hold; readLock_ held.
    void renewReaderMapping();
    // While the large settings hold, the writer reads the index through its page cache
    // instead of its mapping; writeLock_ held.
    void readWriterPagesThroughCache(bool cached);
    // Maps `db` afresh if its mapping is `mappingSeconds` old; `mappedAt` is when it last was.
    static void renewMapping(sqlite3* db, double& mappedAt);
    // Keeps an upsert's writes for the open group; writeLock_ held.
    void keepInGroup(std::span<const FileRecord> records, std::span<const int64_t> removingIDs,
                     std::span<const int64_t> pruningIDs);
    // Writes what a group kept; writeLock_ held.
    void commitGroup();
    // In one transaction: the removals, then the records; answers how many entries the
    // removals took.
    int64_t writeEntries(std::span<const FileRecord> records, std::span<const int64_t> removingIDs,
                         std::span<const int64_t> pruningIDs);
    // Commits what appendNumbered left open; writeLock_ held.
    void commitAppends();
    // Inside writeEntries: the records as one statement; false when it failed (and was undone).
    bool writeStaged(std::span<const FileRecord> records);
    // A reader statement that walks repeat for every folder, prepared once and reset for
    // this use; the caller holds readLock_.
    sql::Statement& readerStatement(const char* sql);
    // The rows of the reader statement `sql` with its first parameter bound to `value` and its
    // second, when given, to `name`, read as one read operation.
    std::vector<IndexedEntry> readerEntries(const char* sql, int64_t value,
                                            std::optional<std::string_view> name = std::nullopt);

    std::string databasePath_;
    ConnectionPointer writer_; // guarded by writeLock_; declared first so it closes last
    ConnectionPointer reader_; // guarded by readLock_
    std::mutex writeLock_;
    std::mutex readLock_;
    std::mutex idLock_;
    int64_t nextID_ = 1;            // guarded by idLock_
    int64_t writerDataVersion_ = 0; // as the last write transaction saw it; guarded by writeLock_
    // Between resetForFullScan and finishBulkLoad: rows go in bare, without triggers, the
    // full-text index or secondary indexes. Set and cleared under writeLock_; read by any
    // thread (a scan's workers ask whether to append).
    std::atomic<bool> bulkLoading_{false};
    // The appends' open transaction and their statement; guarded by writeLock_.
    std::unique_ptr<sql::WriteTransaction> appendTransaction_;
    std::unique_ptr<sql::Statement> appendStatement_;
    int64_t appendedUncommitted_ = 0; // guarded by writeLock_
    int groupDepth_ = 0;        // open GroupedWrites; guarded by writeLock_
    double groupCommitted_ = 0; // uptime of the group's last commit; guarded by writeLock_
    bool groupFailed_ = false;  // a write of the open group failed; guarded by writeLock_
    // Kept by the open group; guarded by writeLock_.
    std::vector<FileRecord> groupRecords_;
    std::vector<int64_t> groupRemoving_;
    std::vector<int64_t> groupPruning_;
    int64_t groupRemoved_ = 0; // entries the open group's removals took; guarded by writeLock_

    // Paths resolved while a group is open, with the ids they resolved to: a catch-up resolves
    // the folders of thousands of changed paths, most of them the same few folders, each
    // otherwise one lookup per path component. Kept for as long as `entriesWritten_` does not
    // move: it moves after every write of entries (a group's commit among them), so that no
    // answer outlives the rows it was read from. Guarded by readLock_.
    std::unordered_map<std::string, int64_t> resolvedPaths_;
    uint64_t resolvedAtWrite_ = 0;
    std::atomic<uint64_t> entriesWritten_{0};
    std::atomic<bool> groupOpen_{false};
    // Guarded by writeLock_: large writes since the last idle release, which may have left a
    // large log behind.
    bool logMayBeLarge_ = false;
    bool writerMaps_ = true;  // false for a file written once and thrown away; writeLock_
    double writerMapped_ = 0; // uptime of the last renewal of the writer's mapping; writeLock_
    double readerMapped_ = 0; // the same for the reader's; readLock_
    bool writerReadsCached_ = false; // its mapping is off during large writes; writeLock_
    bool readerReadsCached_ = false; // the same for the reader's; readLock_
    std::atomic<bool> largeWrites_{false}; // the writer's large settings hold

    // Keyed by the statement's text (a literal); guarded by readLock_; finalised before the
    // reader closes.
    std::unordered_map<const char*, std::unique_ptr<sql::Statement>> readerStatements_;

    std::unique_ptr<detail::RowChangeJournal> journal_;
    bool rowChangesSupported_ = false; // set once by the constructor
    std::atomic<bool> rowChangesFollowable_{false};
    int64_t followerDataVersion_ = 0; // the writer's data version the follower last saw;
                                      // guarded by readLock_
};

} // namespace nexdir
