// Name search: candidate queries, ranking, path rebuilding and scoring.

#include "IndexLocks.h"
#include "Paths.h"
#include "SQLite.h"
#include "SearchIndex.h"
#include "Unicode.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace nexdir {

using detail::lockMeasured;
using detail::ReadOperationTiming;

namespace {

constexpr int maximumLimit = 1000;
constexpr size_t pathChunkSize = 500;
constexpr int progressInstructions = 1000;

// The first code point past every valid one: q followed by it bounds the names starting
// with q.
constexpr const char* highestScalar = "\xF4\x8F\xBF\xBF";

std::string parameter(size_t index) { return "?" + std::to_string(index); }

std::string joinedIDs(const std::vector<int64_t>& ids) {
    std::string text;
    for (int64_t id : ids) {
        if (!text.empty()) {
            text += ',';
        }
        text += std::to_string(id);
    }
    return text;
}

// The FTS5 text asking for every distinct trigram of `words`, each quoted.
std::string trigramMatchText(const std::vector<std::string>& words) {
    std::vector<std::string> trigrams;
    std::unordered_set<std::string> seen;
    for (const std::string& word : words) {
        std::vector<std::string> scalars = unicodeScalars(word);
        for (size_t i = 0; i + 3 <= scalars.size(); ++i) {
            std::string trigram = scalars[i] + scalars[i + 1] + scalars[i + 2];
            if (seen.insert(trigram).second) {
                trigrams.push_back(std::move(trigram));
            }
        }
    }
    std::string text;
    for (const std::string& trigram : trigrams) {
        if (!text.empty()) {
            text += " AND ";
        }
        text += '"';
        for (char c : trigram) {
            text += c;
            if (c == '"') {
                text += '"';
            }
        }
        text += '"';
    }
    return text;
}

// The SQL pieces of one candidate query that do not depend on the source of candidates.
struct CandidateQuery {
    std::vector<std::string> tokenConditions;
    std::string kindCondition;
    std::string groupingCondition; // empty when nothing is grouped
    std::string rankExpression;
    std::vector<std::string> parameters; // ?1 = query, then the tokens
};

CandidateQuery candidateQuery(const std::string& query, const std::vector<std::string>& tokens,
                              bool directories, const std::vector<int64_t>& groupedFolderIDs) {
    CandidateQuery built;
    built.parameters.push_back(query);
    std::string tokenTerms;
    for (size_t i = 0; i < tokens.size(); ++i) {
        std::string p = parameter(i + 2);
        built.parameters.push_back(tokens[i]);
        if (i + 1 == tokens.size()) {
            built.tokenConditions.push_back("instr(e.search_name, " + p + ") > 0");
        } else {
            // All words but the last may instead be in the name of any folder above.
            built.tokenConditions.push_back(
                "(instr(e.search_name, " + p +
                ") > 0 OR EXISTS (\n    WITH RECURSIVE ancestors(id, parent_id, search_name) AS "
                "(\n        SELECT id, parent_id, search_name FROM entries WHERE id = "
                "e.parent_id\n        UNION ALL SELECT p.id, p.parent_id, p.search_name FROM "
                "entries p JOIN ancestors a ON p.id = a.parent_id\n    ) SELECT 1 FROM ancestors "
                "WHERE instr(search_name, " +
                p + ") > 0\n))");
        }
        if (!tokenTerms.empty()) {
            tokenTerms += " + ";
        }
        tokenTerms += "CASE WHEN e.search_name = " + p + " THEN 1000 WHEN instr(e.search_name, " +
                      p + ") = 1 THEN 700 ELSE 400 END";
    }
    built.kindCondition = std::string("e.is_directory = ") + (directories ? "1" : "0");
    if (!groupedFolderIDs.empty()) {
        // A file anywhere below a folder already listed is not listed again.
        built.groupingCondition =
            "NOT EXISTS (\n    WITH RECURSIVE ancestors(id) AS (\n        SELECT e.parent_id\n     "
            "   UNION ALL SELECT p.parent_id FROM entries p JOIN ancestors a ON p.id = a.id\n    ) "
            "SELECT 1 FROM ancestors WHERE id IN (" +
            joinedIDs(groupedFolderIDs) + ")\n)";
    }
    built.rankExpression = "(CASE WHEN e.search_name = ?1 THEN 10000\n      WHEN "
                           "instr(e.search_name, ?1) = 1 THEN 8000\n      WHEN "
                           "instr(e.search_name, ?1) > 0 THEN 6000 ELSE 0 END\n + " +
                           tokenTerms + " - min(length(e.search_name), 200))";
    return built;
}

std::string candidateStatement(const CandidateQuery& query, const std::string& source,
                               const std::string& narrowing, int limit) {
    std::vector<std::string> conditions = query.tokenConditions;
    conditions.push_back(query.kindCondition);
    if (!query.groupingCondition.empty()) {
        conditions.push_back(query.groupingCondition);
    }
    if (!narrowing.empty()) {
        conditions.push_back(narrowing);
    }
    std::string where;
    for (const std::string& condition : conditions) {
        if (!where.empty()) {
            where += " AND ";
        }
        where += condition;
    }
    return "SELECT e.id, e.name, e.is_directory, e.modified_at, e.size, e.allocated_size, "
           "e.is_dataless\nFROM " +
           source + " WHERE " + where + "\nORDER BY e.is_directory DESC, " + query.rankExpression +
           " DESC, length(e.name), e.name, e.id\nLIMIT " + std::to_string(limit) + ";";
}

std::vector<IndexedEntry> runCandidateStatement(sqlite3* reader, const std::string& text,
                                                const std::vector<std::string>& parameters) {
    sql::Statement statement(reader, text);
    for (size_t i = 0; i < parameters.size(); ++i) {
        statement.bindText(int(i + 1), parameters[i]);
    }
    return sql::readEntries(statement);
}

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

bool SearchIndex::rankedPrefixScan_ = true;

void SearchIndex::setRankedPrefixScan(bool enabled) { rankedPrefixScan_ = enabled; }

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
    ProgressHandler handler(reader, cancellation.get());
    sql::execute(reader, "BEGIN;"); // one snapshot for both passes and the path lookups

    SearchResponse response;
    try {
        std::vector<SearchResult> folders =
            results(candidates(q, tokens, std::max(limit, 2) / 2, true, {}));
        std::vector<int64_t> folderIDs;
        for (const SearchResult& folder : folders) {
            folderIDs.push_back(folder.id);
        }
        std::vector<SearchResult> files =
            results(candidates(q, tokens, limit - int(folders.size()), false, folderIDs));

        // Folders take at most half of the places (at least one); files fill the rest.
        size_t folderCount = std::min(folders.size(), size_t(limit) - files.size());
        response.results.assign(folders.begin(), folders.begin() + long(folderCount));
        response.results.insert(response.results.end(), files.begin(), files.end());
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

std::vector<IndexedEntry> SearchIndex::candidates(const std::string& query,
                                                  const std::vector<std::string>& tokens, int limit,
                                                  bool directories,
                                                  const std::vector<int64_t>& groupedFolderIDs) {
    if (limit < 1) {
        return {};
    }
    CandidateQuery built = candidateQuery(query, tokens, directories, groupedFolderIDs);
    std::string matchText = trigramMatchText(tokens.size() == 1 ? tokens : std::vector<std::string>{tokens.back()});
    if (!matchText.empty()) {
        built.parameters.push_back(matchText);
        return runCandidateStatement(
            reader_.get(),
            candidateStatement(built, "entries_fts JOIN entries AS e ON e.id = entries_fts.rowid",
                               "entries_fts MATCH " + parameter(built.parameters.size()), limit),
            built.parameters);
    }
    if (tokens.size() == 1) {
        if (rankedPrefixScan_) {
            return prefixCandidates(query, tokens, limit, directories, groupedFolderIDs);
        }
        built.parameters.push_back(query + highestScalar);
        return runCandidateStatement(
            reader_.get(),
            candidateStatement(built, "entries AS e",
                               "e.search_name >= ?1 AND e.search_name < " +
                                   parameter(built.parameters.size()),
                               limit),
            built.parameters);
    }
    return runCandidateStatement(reader_.get(), candidateStatement(built, "entries AS e", "", limit),
                                 built.parameters);
}

std::vector<IndexedEntry> SearchIndex::prefixCandidates(const std::string& query,
                                                        const std::vector<std::string>& tokens,
                                                        int limit, bool directories,
                                                        const std::vector<int64_t>& groupedFolderIDs) {
    // Every name in the prefix range starts with the query, so its rank depends on its search
    // name alone, which the name index holds. One pass over the index ranks the whole range
    // without reading a row; rows are then read, and kind and grouping tested, only for whole
    // groups of equal rank in rank order until the limit is filled. Each batch is ordered by
    // the plain statement's own ORDER BY, so the result is the plain statement's, row for row.
    sqlite3* reader = reader_.get();
    CandidateQuery built = candidateQuery(query, tokens, directories, groupedFolderIDs);

    std::vector<std::pair<int64_t, int64_t>> ranked; // (rank, id)
    {
        sql::Statement scan(reader, "SELECT e.id, " + built.rankExpression + " FROM entries AS e WHERE " +
                                        built.tokenConditions.front() +
                                        " AND e.search_name >= ?1 AND e.search_name < ?3;");
        scan.bindText(1, query);
        scan.bindText(2, tokens.front());
        scan.bindText(3, query + highestScalar);
        int result;
        while ((result = scan.step()) == SQLITE_ROW) {
            ranked.emplace_back(scan.columnInt(1), scan.columnInt(0));
        }
        if (result != SQLITE_DONE) {
            throw sql::error(reader, "Search failed");
        }
    }
    std::sort(ranked.begin(), ranked.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });

    std::vector<IndexedEntry> found;
    size_t position = 0;
    size_t batchTarget = std::max<size_t>(64, size_t(limit) * 2);
    while (position < ranked.size() && found.size() < size_t(limit)) {
        size_t end = std::min(ranked.size(), position + batchTarget);
        while (end < ranked.size() && ranked[end].first == ranked[end - 1].first) {
            ++end; // a batch always holds whole rank groups
        }
        std::vector<int64_t> ids;
        ids.reserve(end - position);
        for (size_t i = position; i < end; ++i) {
            ids.push_back(ranked[i].second);
        }
        std::vector<IndexedEntry> batch = runCandidateStatement(
            reader,
            candidateStatement(built, "entries AS e", "e.id IN (" + joinedIDs(ids) + ")",
                               limit - int(found.size())),
            built.parameters);
        std::move(batch.begin(), batch.end(), std::back_inserter(found));
        position = end;
        batchTarget *= 4; // few rows of the wanted kind so far: widen quickly
    }
    return found;
}

std::vector<SearchResult> SearchIndex::results(const std::vector<IndexedEntry>& entries) {
    std::vector<int64_t> ids;
    ids.reserve(entries.size());
    for (const IndexedEntry& entry : entries) {
        ids.push_back(entry.id);
    }
    std::unordered_map<int64_t, std::string> paths = resolvedPaths(ids);
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

std::unordered_map<int64_t, std::string> SearchIndex::resolvedPaths(const std::vector<int64_t>& ids) {
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
