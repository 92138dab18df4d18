// Reads for the search layer: one snapshot per read, the row changes that keep a reader's own
// copy of the entries in step, and result paths rebuilt from the rows.

#include "IndexFile.h"
#include "IndexLocks.h"
#include "IndexMetadata.h"
#include "Paths.h"
#include "SQLite.h"
#include "SearchIndex.h"

#include <chrono>
#include <thread>
#include <tuple>

namespace nexdir {

using detail::lockMeasured;
using detail::ReadOperationTiming;

namespace {
// How long a read waits for a write in progress before it goes without its copy.
constexpr auto writeInFlightWait = std::chrono::milliseconds(50);
constexpr size_t pathChunkSize = 500;
} // namespace

void SearchIndex::readOperation(const std::function<void()>& operation) {
    auto guard = lockMeasured(readLock_, detail::phaseReadLockWait);
    ReadOperationTiming timing;
    if (!detail::readsWithoutLocks(reader_.get())) {
        operation();
        renewReaderMapping();
        return;
    }
    detail::readRetryingWithLocks([&](bool withLocks) {
        if (withLocks) {
            ConnectionPointer locked = openConnection(databasePath_, Opening::readOnlyWithLocks);
            readerStatements_.clear(); // prepared on the connection that goes
            reader_ = std::move(locked);
            readerReadsCached_ = false; // a new connection maps
        }
        operation();
    });
    renewReaderMapping();
}

void SearchIndex::read(const std::function<void(Reader&)>& work) {
    readOperation([&] {
        sqlite3* reader = reader_.get();
        sql::execute(reader, "BEGIN;");
        Reader session(*this);
        try {
            work(session);
        } catch (...) {
            sql::executeIgnoringFailure(reader, "ROLLBACK;");
            throw;
        }
        sql::executeIgnoringFailure(reader, "ROLLBACK;");
    });
}

std::pair<int64_t, int64_t> SearchIndex::Reader::counts() {
    sql::Statement counts(connection(), "SELECT total, directories FROM file_stats WHERE id = 1;");
    if (counts.step() != SQLITE_ROW) {
        throw sql::error(connection(), "Search failed");
    }
    return {counts.columnInt(0), counts.columnInt(1)};
}

std::optional<std::string> SearchIndex::Reader::namesStamp() {
    sql::Statement statement(connection(), "SELECT value FROM metadata WHERE key = ?;");
    statement.bindText(1, IndexMetadata::namesStamp);
    int result = statement.step();
    if (result == SQLITE_ROW) {
        return statement.columnText(0);
    }
    if (result != SQLITE_DONE) {
        throw sql::error(connection(), "Search failed");
    }
    return std::nullopt;
}

SearchIndex::RowChanges SearchIndex::Reader::followRowChanges(bool holdsCopy) {
    SearchIndex& index = index_;
    RowChanges answer;
    if (!index.rowChangesFollowable_) {
        return answer;
    }
    std::unique_lock<std::mutex> writing(index.writeLock_, std::try_to_lock);
    if (!writing.owns_lock() && holdsCopy) {
        // A catch-up keeps the writer busy for seconds at a time: a copy is brought to
        // what was committed before this read began instead, which needs no wait.
        for (auto deadline = std::chrono::steady_clock::now() + writeInFlightWait;
             std::chrono::steady_clock::now() < deadline;) {
            if (std::optional<uint64_t> mark = index.journal_->commitMark()) {
                // The first statement of the read transaction starts its snapshot.
                std::tie(answer.total, answer.directories) = counts();
                if (std::optional<detail::RowChangeJournal::Taken> taken =
                        index.journal_->takeCommitted(*mark)) {
                    answer.kind = RowChanges::Kind::changes;
                    answer.changes = std::move(taken->changes);
                    answer.committedOnly = true;
                    return answer;
                }
                // A commit began meanwhile: the snapshot may or may not hold it.
                restartSnapshot();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return answer;
    }
    // With the writer idle, every change the hooks journaled is committed and nothing is
    // half done; the writer's data version moves only when another connection, in this
    // process or another, commits. Read before and after this read's snapshot starts, it tells
    // whether the snapshot holds changes the journal never saw.
    for (auto deadline = std::chrono::steady_clock::now() + writeInFlightWait;
         !writing.owns_lock() && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        writing.try_lock();
    }
    if (!writing.owns_lock()) {
        return answer;
    }
    sqlite3* writer = index.writer_.get();
    int64_t versionBefore = sql::readInt(writer, "PRAGMA data_version;");
    std::tie(answer.total, answer.directories) = counts();
    if (sql::readInt(writer, "PRAGMA data_version;") != versionBefore) {
        return answer; // another connection committed just now: the journal may not match
    }
    detail::RowChangeJournal::Taken taken = index.journal_->take();
    bool reload = !holdsCopy || !taken.valid || versionBefore != index.followerDataVersion_;
    if (reload) {
        index.journal_->startRecording();
        index.followerDataVersion_ = versionBefore;
        answer.kind = RowChanges::Kind::reload;
    } else {
        answer.kind = RowChanges::Kind::changes;
        answer.changes = std::move(taken.changes);
    }
    return answer;
}

void SearchIndex::Reader::restartSnapshot() {
    sql::execute(connection(), "ROLLBACK;");
    sql::execute(connection(), "BEGIN;");
}

void SearchIndex::Reader::stopFollowingRowChanges(bool permanently) {
    index_.journal_->invalidate();
    if (permanently) {
        index_.rowChangesFollowable_ = false;
    }
}

std::unordered_map<int64_t, std::string>
SearchIndex::Reader::paths(const std::vector<int64_t>& ids) {
    std::unordered_map<int64_t, std::string> paths;
    sqlite3* reader = connection();
    for (size_t begin = 0; begin < ids.size(); begin += pathChunkSize) {
        size_t end = std::min(ids.size(), begin + pathChunkSize);
        std::string placeholders;
        for (size_t i = begin; i < end; ++i) {
            placeholders += i == begin ? "?" : ",?";
        }
        sql::Statement statement(
            reader, "WITH RECURSIVE ancestors(origin, id, parent_id, name, depth) AS (\n    SELECT "
                    "id, id, parent_id, name, 0 FROM entries WHERE id IN (" +
                        placeholders +
                        ")\n    UNION ALL\n    SELECT a.origin, p.id, p.parent_id, p.name, a.depth "
                        "+ 1\n    FROM ancestors AS a JOIN entries AS p ON p.id = a.parent_id\n)\n"
                        "SELECT origin, parent_id, name, depth\nFROM ancestors\nORDER BY origin, "
                        "depth DESC;");
        for (size_t i = begin; i < end; ++i) {
            statement.bindInt(int(i - begin + 1), ids[i]);
        }
        // Rows come per origin from the top ancestor down to the entry itself; the chain
        // gives a path only when its top is a volume root (parent 0).
        int64_t origin = 0;
        bool haveOrigin = false;
        bool reachesRoot = false;
        std::string path;
        auto finish = [&] {
            if (haveOrigin && reachesRoot) {
                paths[origin] = std::move(path);
            }
        };
        int result;
        while ((result = statement.step()) == SQLITE_ROW) {
            int64_t rowOrigin = statement.columnInt(0);
            if (!haveOrigin || rowOrigin != origin) {
                finish();
                origin = rowOrigin;
                haveOrigin = true;
                reachesRoot = statement.columnInt(1) == 0;
                path = statement.columnText(2);
            } else if (reachesRoot) {
                path = appendingPathComponent(path, statement.columnText(2));
            }
        }
        if (result != SQLITE_DONE) {
            throw sql::error(reader, "Could not rebuild result paths");
        }
        finish();
    }
    return paths;
}

std::vector<SearchResult> SearchIndex::Reader::results(const std::vector<IndexedEntry>& entries) {
    std::vector<int64_t> ids;
    ids.reserve(entries.size());
    for (const IndexedEntry& entry : entries) {
        ids.push_back(entry.id);
    }
    return SearchResult::fromRows(entries, paths(ids));
}

} // namespace nexdir
