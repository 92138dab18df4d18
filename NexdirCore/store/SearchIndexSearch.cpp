// Name search: candidate queries, ranking, path rebuilding and scoring.

#include "CandidateQuery.h"
#include "DebugLog.h"
#include "IndexLocks.h"
#include "NameCatalogue.h"
#include "Paths.h"
#include "RankedCandidates.h"
#include "SQLite.h"
#include "SearchIndex.h"
#include "Unicode.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>
#include <unordered_map>

namespace nexdir {

using detail::lockMeasured;
using detail::ReadOperationTiming;
using namespace detail;

namespace {
constexpr int maximumLimit = 1000;
constexpr size_t pathChunkSize = 500;
constexpr int progressInstructions = 1000;
// How long a search waits for a write in progress before it reads rows instead of using
// the catalogue.
constexpr auto catalogueWriteWait = std::chrono::milliseconds(50);

int progressCallback(void* context) {
    return static_cast<SearchCancellation*>(context)->isCancelled() ? 1 : 0;
}

// Installs the cancellation check on the reader for the duration of one search.
class ProgressHandler {
public:
    ProgressHandler(sqlite3* db, SearchCancellation* token) : db_(token ? db : nullptr) {
        if (db_) {
            sqlite3_progress_handler(db_, progressInstructions, progressCallback, token);
        }
    }
    ~ProgressHandler() {
        if (db_) {
            sqlite3_progress_handler(db_, 0, nullptr, nullptr);
        }
    }
    ProgressHandler(const ProgressHandler&) = delete;
    ProgressHandler& operator=(const ProgressHandler&) = delete;

private:
    sqlite3* db_;
};

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

} // namespace
std::atomic<bool> SearchIndex::rankedScan_{true};

void SearchIndex::setRankedScan(bool enabled) {
    rankedScan_ = enabled;
}

SearchResponse SearchIndex::search(const std::string& query, int limit,
                                   const std::shared_ptr<SearchCancellation>& cancellation) {
    uint64_t started = uptimeNanoseconds();
    std::string q = normalize(trimmedWhitespace(query));
    std::vector<std::string> tokens = whitespaceSeparatedWords(q);
    // A query that folds down to white space alone (a lone accent, say) asks for nothing, and
    // no file name holds a NUL character.
    if (q.empty() || tokens.empty() || limit < 1 || q.find('\0') != std::string::npos) {
        return {};
    }
    limit = std::min(limit, maximumLimit);

    auto guard = lockMeasured(readLock_, detail::phaseReadLockWait);
    ReadOperationTiming timing;
    if (cancellation && cancellation->isCancelled()) {
        throw SearchCancelledError();
    }
    sqlite3* reader = reader_.get();
    sql::execute(reader, "BEGIN;"); // one snapshot for both passes and the path lookups

    SearchResponse response;
    std::optional<ProgressHandler> handler;
    try {
        // Loading the catalogue is not cancelled: the next search would only start it again.
        const NameCatalogue* catalogue = rankedScan_ ? synchronizedCatalogue() : nullptr;
        handler.emplace(reader, cancellation.get());
        try {
            response.results = passes(q, tokens, limit, catalogue, cancellation.get());
        } catch (const CatalogueMismatch&) {
            discardCatalogue("a search found the name catalogue out of step with the index");
            response.results = passes(q, tokens, limit, nullptr, cancellation.get());
        }
    } catch (...) {
        sql::executeIgnoringFailure(reader, "ROLLBACK;");
        throw;
    }
    for (SearchResult& result : response.results) {
        result.score = score(normalize(result.name), q, tokens);
    }
    response.durationMilliseconds = double(uptimeNanoseconds() - started) / 1'000'000.0;
    sql::executeIgnoringFailure(reader, "ROLLBACK;");
    return response;
}

std::vector<SearchResult> SearchIndex::passes(const std::string& q,
                                              const std::vector<std::string>& tokens, int limit,
                                              const NameCatalogue* catalogue,
                                              const SearchCancellation* cancellation) {
    std::optional<RankedCandidates> ranked;
    if (rankedScan_) {
        ranked.emplace(reader_.get(), q, tokens, catalogue, cancellation);
    }
    auto pass = [&](int passLimit, bool directories, const std::vector<int64_t>& grouped) {
        return results(ranked ? ranked->select(passLimit, directories, grouped)
                              : candidates(q, tokens, passLimit, directories, grouped),
                       catalogue);
    };
    std::vector<SearchResult> folders = pass(std::max(limit, 2) / 2, true, {});
    std::vector<int64_t> folderIDs;
    for (const SearchResult& folder : folders) {
        folderIDs.push_back(folder.id);
    }
    std::vector<SearchResult> files = pass(limit - int(folders.size()), false, folderIDs);

    // Folders take at most half of the places (at least one); files fill the rest.
    size_t folderCount = std::min(folders.size(), size_t(limit) - files.size());
    std::vector<SearchResult> combined(folders.begin(), folders.begin() + long(folderCount));
    combined.insert(combined.end(), files.begin(), files.end());
    return combined;
}

void SearchIndex::setNameCatalogueEnabled(bool enabled) {
    catalogueEnabled_ = enabled;
}

void SearchIndex::prepareSearch() {
    if (!rankedScan_) {
        return;
    }
    auto guard = lockMeasured(readLock_, detail::phaseReadLockWait);
    sqlite3* reader = reader_.get();
    sql::execute(reader, "BEGIN;");
    try {
        synchronizedCatalogue();
    } catch (...) {
        sql::executeIgnoringFailure(reader, "ROLLBACK;");
        throw;
    }
    sql::executeIgnoringFailure(reader, "ROLLBACK;");
}

const NameCatalogue* SearchIndex::synchronizedCatalogue() {
    sqlite3* reader = reader_.get();
    sqlite3* writer = writer_.get();
    auto snapshotCounts = [&] {
        sql::Statement counts(reader, "SELECT total, directories FROM file_stats WHERE id = 1;");
        if (counts.step() != SQLITE_ROW) {
            throw sql::error(reader, "Search failed");
        }
        return std::pair(counts.columnInt(0), counts.columnInt(1));
    };
    if (!catalogueUsable_ || !catalogueEnabled_) {
        return nullptr;
    }
    // Until a reset or an install rewrites the file, trying again would fail the same way.
    auto giveUp = [&](const char* reason) -> const NameCatalogue* {
        discardCatalogue(reason);
        catalogueUsable_ = false;
        return nullptr;
    };
    // With the writer idle, every change the hooks journaled is committed and nothing is
    // half done; the writer's data version moves only when another connection, in this
    // process or another, commits. Read before and after the snapshot starts, it tells
    // whether the snapshot holds changes the journal never saw.
    std::unique_lock<std::mutex> writing(writeLock_, std::try_to_lock);
    for (auto deadline = std::chrono::steady_clock::now() + catalogueWriteWait;
         !writing.owns_lock() && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        writing.try_lock();
    }
    if (!writing.owns_lock()) {
        return nullptr;
    }
    int64_t versionBefore = sql::readInt(writer, "PRAGMA data_version;");
    auto [total, directories] = snapshotCounts();
    if (sql::readInt(writer, "PRAGMA data_version;") != versionBefore) {
        return nullptr; // another connection committed just now: the journal may not match
    }
    CatalogueJournal::Taken taken = journal_->take();
    bool reload = !catalogue_ || !taken.valid || versionBefore != writerDataVersion_;
    if (reload) {
        journal_->startRecording();
    }
    writing.unlock();

    if (!reload) {
        for (const EntryChange& change : taken.changes) {
            if (!catalogue_->apply(change)) {
                return giveUp("an identifier is too large for the name catalogue");
            }
        }
    } else {
        catalogue_.reset();
        writerDataVersion_ = versionBefore;
        auto loaded = std::make_unique<NameCatalogue>();
        if (!loaded->load(reader)) {
            return giveUp("identifiers too large or sparse for the name catalogue");
        }
        catalogue_ = std::move(loaded);
    }
    if (catalogue_->count() != size_t(total) || catalogue_->directories() != size_t(directories)) {
        // The counters are kept by the database's own triggers, so they are the check on
        // what the hooks reported.
        return giveUp("the name catalogue's counts differ from the index's");
    }
    return catalogue_.get();
}

void SearchIndex::discardCatalogue(const char* reason) {
    ++catalogueDiscards_;
    catalogue_.reset();
    journal_->invalidate();
    DebugLog::write(std::string("Search reads rows: ") + reason);
}

std::vector<IndexedEntry> SearchIndex::candidates(const std::string& query,
                                                  const std::vector<std::string>& tokens, int limit,
                                                  bool directories,
                                                  const std::vector<int64_t>& groupedFolderIDs) {
    if (limit < 1) {
        return {};
    }
    CandidateQuery built = candidateQuery(query, tokens, directories, groupedFolderIDs);
    CandidateSource source = candidateSource(query, tokens);
    if (!source.parameter.empty()) {
        built.parameters.push_back(source.parameter);
    }
    return runCandidateStatement(reader_.get(),
                                 candidateStatement(built, source.from, source.narrowing, limit),
                                 built.parameters);
}

std::vector<SearchResult> SearchIndex::results(const std::vector<IndexedEntry>& entries,
                                               const NameCatalogue* catalogue) {
    std::vector<int64_t> ids;
    ids.reserve(entries.size());
    for (const IndexedEntry& entry : entries) {
        ids.push_back(entry.id);
    }
    std::unordered_map<int64_t, std::string> paths =
        catalogue ? catalogue->paths(ids) : resolvedPaths(ids);
    std::vector<SearchResult> found;
    found.reserve(entries.size());
    for (const IndexedEntry& entry : entries) {
        auto path = paths.find(entry.id);
        if (path == paths.end()) {
            continue; // the ancestor chain is broken: the entry has no path
        }
        SearchResult result;
        result.id = entry.id;
        result.name = entry.name.size() > 1 && entry.name.front() == '/'
                          ? lastPathComponent(entry.name)
                          : entry.name;
        result.path = path->second;
        result.isDirectory = entry.isDirectory;
        result.modifiedAt = entry.modifiedAt;
        result.size = entry.size;
        if (entry.allocatedSize && *entry.allocatedSize >= 0) {
            result.allocatedSize = entry.allocatedSize;
        }
        result.isDataless = entry.isDataless;
        found.push_back(std::move(result));
    }
    return found;
}

std::unordered_map<int64_t, std::string>
SearchIndex::resolvedPaths(const std::vector<int64_t>& ids) {
    std::unordered_map<int64_t, std::string> paths;
    sqlite3* reader = reader_.get();
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

int SearchIndex::score(const std::string& name, const std::string& query,
                       const std::vector<std::string>& tokens) {
    int value = 0;
    if (name == query) {
        value = 10000;
    } else if (name.starts_with(query)) {
        value = 8000;
    } else if (contains(name, query)) {
        value = 6000;
    }
    for (const std::string& token : tokens) {
        if (name == token) {
            value += 1000;
        } else if (name.starts_with(token)) {
            value += 700;
        } else if (contains(name, token)) {
            value += 400;
        }
    }
    return value - int(std::min<size_t>(graphemeCount(name), 200));
}

} // namespace nexdir
