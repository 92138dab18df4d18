// The row-change hooks are declared only when this is defined before SQLite's header; the
// library itself must have been built with them, which `install` checks.
#define SQLITE_ENABLE_PREUPDATE_HOOK 1

#include "RowChangeJournal.h"

#include <cstring>
#include <string_view>

namespace nexdir::detail {

namespace {
// Columns of `entries` as the hooks see them.
constexpr int parentColumn = 1;
constexpr int nameColumn = 2;
constexpr int searchNameColumn = 3;
constexpr int directoryColumn = 4;
constexpr int modifiedColumn = 5;
constexpr int sizeColumn = 6;

// The bytes of a text value.
std::string_view valueText(sqlite3_value* value) {
    auto bytes = reinterpret_cast<const char*>(sqlite3_value_text(value));
    return std::string_view(bytes ? bytes : "", size_t(sqlite3_value_bytes(value)));
}

// True when an update leaves every column a follower copies as it was: a measurement of disk
// usage is nothing to the copy, and measuring a whole index would otherwise journal every
// file.
bool keepsFollowedColumns(sqlite3* db) {
    for (int column : {parentColumn, nameColumn, searchNameColumn, directoryColumn, modifiedColumn,
                       sizeColumn}) {
        sqlite3_value* before = nullptr;
        sqlite3_value* after = nullptr;
        if (sqlite3_preupdate_old(db, column, &before) != SQLITE_OK ||
            sqlite3_preupdate_new(db, column, &after) != SQLITE_OK ||
            sqlite3_value_type(before) != sqlite3_value_type(after)) {
            return false;
        }
        bool same = false;
        switch (sqlite3_value_type(before)) {
        case SQLITE_INTEGER:
            same = sqlite3_value_int64(before) == sqlite3_value_int64(after);
            break;
        case SQLITE_FLOAT:
            same = sqlite3_value_double(before) == sqlite3_value_double(after);
            break;
        case SQLITE_TEXT:
            same = valueText(before) == valueText(after);
            break;
        default: // not a value these columns hold: take it as a change
            break;
        }
        if (!same) {
            return false;
        }
    }
    return true;
}
} // namespace

bool RowChangeJournal::install(sqlite3* writer) {
    if (!sqlite3_compileoption_used("ENABLE_PREUPDATE_HOOK")) {
        return false;
    }
    sqlite3_preupdate_hook(writer, &RowChangeJournal::preupdate, this);
    sqlite3_commit_hook(writer, &RowChangeJournal::committed, this);
    sqlite3_rollback_hook(writer, &RowChangeJournal::rolledBack, this);
    sqlite3_wal_hook(writer, &RowChangeJournal::walWritten, this);
    return true;
}

void RowChangeJournal::startRecording() {
    std::lock_guard guard(lock_);
    recording_ = true;
    valid_ = true;
    changes_.clear();
    transaction_.clear();
}

void RowChangeJournal::invalidate() {
    std::lock_guard guard(lock_);
    discardLocked();
}

void RowChangeJournal::discardLocked() {
    recording_ = false;
    valid_ = false;
    awaitingCommit_ = false;
    changes_.clear();
    changes_.shrink_to_fit();
}

size_t RowChangeJournal::held() {
    std::lock_guard guard(lock_);
    return changes_.size();
}

RowChangeJournal::Taken RowChangeJournal::take() {
    std::lock_guard guard(lock_);
    awaitingCommit_ = false; // the caller holds the write lock: no commit is under way
    Taken taken;
    taken.valid = valid_;
    taken.changes.swap(changes_);
    return taken;
}

std::optional<uint64_t> RowChangeJournal::commitMark() {
    std::lock_guard guard(lock_);
    if (!valid_ || awaitingCommit_) {
        return std::nullopt;
    }
    return commits_;
}

std::optional<RowChangeJournal::Taken> RowChangeJournal::takeCommitted(uint64_t mark) {
    std::lock_guard guard(lock_);
    if (!valid_ || awaitingCommit_ || commits_ != mark) {
        return std::nullopt;
    }
    Taken taken;
    taken.valid = true;
    taken.changes.swap(changes_);
    return taken;
}

void RowChangeJournal::preupdate(void* context, sqlite3* db, int operation, const char* database,
                                 const char* table, sqlite3_int64 oldKey, sqlite3_int64 newKey) {
    auto* journal = static_cast<RowChangeJournal*>(context);
    if (std::strcmp(table, "entries") != 0 || std::strcmp(database, "main") != 0) {
        return;
    }
    {
        std::lock_guard guard(journal->lock_);
        // A row changes in a new transaction, so the last commit went through.
        journal->awaitingCommit_ = false;
        if (!journal->recording_) {
            return;
        }
        if (journal->changes_.size() + journal->transaction_.size() >= maximumChanges) {
            // Loading afresh will be cheaper than replaying: stop collecting now rather than at
            // the commit, after a removal of a large subtree has journaled every row.
            journal->discardLocked();
            journal->forgetTransaction();
            return;
        }
    }
    if (operation == SQLITE_UPDATE && oldKey == newKey && keepsFollowedColumns(db)) {
        return;
    }
    if (operation == SQLITE_DELETE || (operation == SQLITE_UPDATE && oldKey != newKey)) {
        EntryChange removal;
        removal.removed = true;
        removal.id = oldKey;
        journal->transaction_.push_back(std::move(removal));
    }
    if (operation == SQLITE_INSERT || operation == SQLITE_UPDATE) {
        EntryChange write;
        write.id = newKey;
        sqlite3_value* value = nullptr;
        if (sqlite3_preupdate_new(db, parentColumn, &value) == SQLITE_OK) {
            write.parent = sqlite3_value_int64(value);
        }
        if (sqlite3_preupdate_new(db, directoryColumn, &value) == SQLITE_OK) {
            write.isDirectory = sqlite3_value_int64(value) != 0;
        }
        if (sqlite3_preupdate_new(db, modifiedColumn, &value) == SQLITE_OK) {
            write.modifiedAt = sqlite3_value_double(value);
        }
        if (sqlite3_preupdate_new(db, sizeColumn, &value) == SQLITE_OK) {
            write.size = sqlite3_value_int64(value);
        }
        auto text = [&](int column, std::string& into) {
            if (sqlite3_preupdate_new(db, column, &value) == SQLITE_OK) {
                into.assign(valueText(value));
            }
        };
        text(nameColumn, write.name);
        text(searchNameColumn, write.searchName);
        journal->transaction_.push_back(std::move(write));
    }
}

int RowChangeJournal::committed(void* context) {
    auto* journal = static_cast<RowChangeJournal*>(context);
    std::lock_guard guard(journal->lock_);
    journal->commits_ += 1;
    if (journal->recording_ && !journal->transaction_.empty()) {
        if (journal->changes_.size() + journal->transaction_.size() > maximumChanges) {
            // Nobody has searched for a long while: loading afresh is cheaper than replaying.
            journal->discardLocked();
        } else if (journal->changes_.empty()) {
            journal->changes_.swap(journal->transaction_);
            journal->awaitingCommit_ = true;
        } else {
            std::move(journal->transaction_.begin(), journal->transaction_.end(),
                      std::back_inserter(journal->changes_));
            journal->awaitingCommit_ = true;
        }
    }
    journal->forgetTransaction();
    return 0;
}

void RowChangeJournal::forgetTransaction() {
    transaction_.clear();
}

int RowChangeJournal::walWritten(void* context, sqlite3* db, const char* database, int frames) {
    auto* journal = static_cast<RowChangeJournal*>(context);
    {
        // SQLite calls this once the commit is in the log and its write lock is released:
        // from here on every new snapshot holds it.
        std::lock_guard guard(journal->lock_);
        journal->awaitingCommit_ = false;
    }
    if (journal->checkpointFrames_ > 0 && frames >= journal->checkpointFrames_) {
        sqlite3_wal_checkpoint(db, database);
    }
    return SQLITE_OK;
}

void RowChangeJournal::rolledBack(void* context) {
    auto* journal = static_cast<RowChangeJournal*>(context);
    std::lock_guard guard(journal->lock_);
    journal->forgetTransaction();
    if (journal->awaitingCommit_) {
        // A commit that fails after its hook is rolled back; which changes that undid cannot
        // be told apart from an empty transaction's rollback, so start afresh.
        journal->discardLocked();
    }
}

} // namespace nexdir::detail
