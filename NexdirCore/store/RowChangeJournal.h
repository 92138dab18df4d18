#pragma once

// What the writer connection committed to `entries`, row by row (internal to the index store).
// The name search keeps a copy of every entry's name in memory and follows the index through
// these changes instead of reading every row again after each write.

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace nexdir {

// One committed change to a row of `entries`.
struct EntryChange {
    bool removed = false; // otherwise inserted or rewritten
    int64_t id = 0;
    int64_t parent = 0;
    bool isDirectory = false;
    std::string name;
    std::string searchName;
    int64_t size = 0;
    double modifiedAt = 0;
};

// A write of a whole folder journals tens of thousands of changes: a deque grows without
// copying them, where a vector held its old and its new copy at once each time it doubled.
using EntryChanges = std::deque<EntryChange>;

namespace detail {

// The changes the writer's hooks collect between two reads that follow them. The hooks run on
// the writer's thread inside its transactions; a reader takes the changes either while it
// holds the write lock, so no transaction is half journaled when it does, or between two
// marks with no commit under way (see `commitMark`). Fields guarded by `lock_`, except
// `transaction_`, which only the writer's thread touches.
class RowChangeJournal {
public:
    // Installs the hooks; false when this SQLite cannot report row changes. The WAL hook it
    // installs takes over checkpoints as `PRAGMA wal_autocheckpoint` would, at the size
    // `checkpointEvery` sets (none until then).
    bool install(sqlite3* writer);

    // Start journaling from now (the caller holds the write lock, so no transaction is open).
    void startRecording();
    // Something changed that the hooks cannot follow: stop recording until a reader starts
    // it again from a fresh load.
    void invalidate();

    struct Taken {
        bool valid = false; // false: the reader must load its copy again
        EntryChanges changes;
    };
    Taken take();
    // The committed changes waiting for a reader.
    size_t held();

    // Without the write lock: a mark taken while no commit is under way, before a read's
    // snapshot starts, and handed to `takeCommitted` after it started. The changes come only
    // when no commit began in between, and then they are exactly what that snapshot holds
    // beyond the previous take: every commit they hold was complete before the mark, and the
    // open transaction's changes are not among them.
    std::optional<uint64_t> commitMark();
    std::optional<Taken> takeCommitted(uint64_t mark);

    // From the next commit on, checkpoints once the log holds `frames` pages.
    void checkpointEvery(int frames) { checkpointFrames_ = frames; }

private:
    static constexpr size_t maximumChanges = 262144;

    static void preupdate(void* context, sqlite3* db, int operation, const char* database,
                          const char* table, sqlite3_int64 oldKey, sqlite3_int64 newKey);
    static int committed(void* context);
    static int walWritten(void* context, sqlite3* db, const char* database, int frames);
    void discardLocked();
    void forgetTransaction(); // writer thread only
    static void rolledBack(void* context);

    std::mutex lock_;
    bool recording_ = false;               // guarded by lock_
    bool valid_ = false;                   // guarded by lock_
    bool awaitingCommit_ = false;          // guarded by lock_: a commit hook ran, not yet confirmed
    uint64_t commits_ = 0;                 // guarded by lock_: commit hooks run
    std::atomic<int> checkpointFrames_{0}; // set under the write lock, read by the WAL hook
    EntryChanges changes_;     // guarded by lock_: committed, oldest first
    EntryChanges transaction_; // the open transaction's, writer thread only
};

} // namespace detail

} // namespace nexdir
