#pragma once

#include "FileRecord.h"
#include "IndexStatistics.h"
#include "IndexedEntry.h"
#include "SearchCancellation.h"
#include "SearchResult.h"

#include <sqlite3.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace nexdir {

namespace detail {
class NameCatalogue;
class CatalogueJournal;
} // namespace detail

// One index database file: every indexed entry, a trigram full-text index over their search
// names, counters, engine state (metadata) and the schema version.
//
// Two connections: `writer_` makes every change, `reader_` answers every query; WAL mode lets
// the reader see the last committed state while the writer works. Every operation holds
// exactly one of `writeLock_` (writer operations) or `readLock_` (reader operations) for its
// whole duration, so any thread may call any operation; `idLock_` guards only `nextID_` and is
// the one lock ever taken inside another (inside `writeLock_`, when a reset or an install
// moves the counter). Operations throw NexdirError.
class SearchIndex {
public:
    // Opens or creates the file, creating its folder, and creates or upgrades the schema.
    explicit SearchIndex(std::string databasePath);
    ~SearchIndex();
    SearchIndex(const SearchIndex&) = delete;
    SearchIndex& operator=(const SearchIndex&) = delete;

    // As the constructor, but a file that is corrupt or not a database is moved, with its
    // "-wal" and "-shm" companions, into a new "corrupt-index-<UUID>" folder beside it and a
    // fresh index takes its place. Nothing is deleted.
    static std::unique_ptr<SearchIndex> openRecoveringCorruption(const std::string& databasePath);

    // The search form of a name or a query: NFC, then case and diacritic folding, then
    // lower case. Pure; any thread.
    static std::string normalize(std::string_view text);

    const std::string& databasePath() const { return databasePath_; }

    // Engine state as text. The map form stores all pairs or none.
    std::optional<std::string> metadata(const std::string& key);
    void setMetadata(const std::string& key, const std::string& value);
    void setMetadata(const std::map<std::string, std::string>& values);

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

    // ---- Entry writes ----

    // In one transaction: removes the subtrees rooted at `removingIDs`, removes everything
    // below `pruningIDs` (keeping those entries), then inserts or updates `records` in order.
    // A record whose (parent, name) exists keeps the row's id and rewrites it only when a
    // stored value differs.
    void upsert(const std::vector<FileRecord>& records,
                const std::vector<int64_t>& removingIDs = {},
                const std::vector<int64_t>& pruningIDs = {});

    // The entry at `path` below the volume root `volumeRoot`; both are standardised first.
    std::optional<int64_t> entryID(const std::string& path, const std::string& volumeRoot);

    std::vector<IndexedEntry> children(int64_t parentID);

    // Removes the entry at `path` and everything below it; nothing when it is not indexed.
    void removeRecursively(const std::string& path, const std::string& volumeRoot);

    // Removes everything below the entry `id`, keeping the entry.
    void removeChildren(int64_t id);

    // ---- Search ----

    // At most `limit` (capped at 1000) entries whose names match `query`, folders first,
    // best matches first, each with its full path. Throws SearchCancelledError when
    // `cancellation` is already cancelled; a cancel during the search interrupts it with
    // SQLite's interrupt error.
    SearchResponse search(const std::string& query, int limit,
                          const std::shared_ptr<SearchCancellation>& cancellation = nullptr);

    // The relevance of a normalised name for a normalised query and its tokens.
    static int score(const std::string& name, const std::string& query,
                     const std::vector<std::string>& tokens);

    // Searches rank their candidates from the names alone and read rows, test ancestors and
    // group only for the best ranks (the same results, in the same order). Off, each pass
    // runs its plain statement over all candidates; tests and benchmarks compare the two.
    static void setRankedScan(bool enabled);

    // Whether searches keep every name in memory (on by default). A program that searches
    // once and exits is faster without.
    void setNameCatalogueEnabled(bool enabled);

    // Loads what searches keep in memory, so that the first search does not wait for it.
    // Any thread; searches wait meanwhile.
    void prepareSearch();

    // How many times a search found the in-memory names out of step with the file and read
    // rows instead (logged each time); tests expect none.
    int64_t catalogueDiscards() const { return catalogueDiscards_; }

private:
    static std::atomic<bool> rankedScan_;

    struct Connection {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };
    using ConnectionPointer = std::unique_ptr<sqlite3, Connection>;

    static ConnectionPointer openConnection(const std::string& path);
    void createOrUpgradeSchema();
    void ensureFullTextTable();

    // Reader helpers; the caller holds readLock_. `passes` runs the folder and the file pass
    // and combines them; `candidates` runs one pass's plain statement.
    std::vector<SearchResult> passes(const std::string& q, const std::vector<std::string>& tokens,
                                     int limit, const detail::NameCatalogue* catalogue,
                                     const SearchCancellation* cancellation);
    std::vector<IndexedEntry> candidates(const std::string& query,
                                         const std::vector<std::string>& tokens, int limit,
                                         bool directories,
                                         const std::vector<int64_t>& groupedFolderIDs);
    // Paths come from `catalogue` when given, from the database otherwise.
    std::vector<SearchResult> results(const std::vector<IndexedEntry>& entries,
                                      const detail::NameCatalogue* catalogue = nullptr);
    std::unordered_map<int64_t, std::string> resolvedPaths(const std::vector<int64_t>& ids);
    std::optional<int64_t> resolveEntryID(const std::string& path, const std::string& volumeRoot);

    // The catalogue brought in step with the reader's open transaction, whose snapshot this
    // call starts; nullptr when it cannot be had now (the search then reads rows). The
    // caller holds readLock_ and not writeLock_.
    const detail::NameCatalogue* synchronizedCatalogue();
    void discardCatalogue(const char* reason);

    std::string databasePath_;
    ConnectionPointer writer_; // guarded by writeLock_; declared first so it closes last
    ConnectionPointer reader_; // guarded by readLock_
    std::mutex writeLock_;
    std::mutex readLock_;
    std::mutex idLock_;
    int64_t nextID_ = 1; // guarded by idLock_

    std::unique_ptr<detail::CatalogueJournal> journal_;
    std::unique_ptr<detail::NameCatalogue> catalogue_; // guarded by readLock_
    bool catalogueSupported_ = false;                  // set once by the constructor
    std::atomic<bool> catalogueUsable_{false};
    std::atomic<bool> catalogueEnabled_{true};
    std::atomic<int64_t> catalogueDiscards_{0};
    int64_t writerDataVersion_ = 0; // as the catalogue last saw it; guarded by readLock_
};

} // namespace nexdir
