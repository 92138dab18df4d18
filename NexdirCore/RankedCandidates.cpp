#include "RankedCandidates.h"

#include "SQLite.h"

#include <algorithm>
#include <string_view>

namespace nexdir::detail {

namespace {

// The statement's text functions, byte for byte as SQLite computes them on TEXT values.

// length(): characters before the first NUL, a character being a lead byte and the
// continuation bytes after it.
int64_t sqliteLength(std::string_view text) {
    int64_t length = 0;
    size_t i = 0;
    while (i < text.size() && text[i] != '\0') {
        ++length;
        if (static_cast<unsigned char>(text[i++]) >= 0xC0) {
            while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) {
                ++i;
            }
        }
    }
    return length;
}

// instr() > 0 and instr() = 1. A needle that is valid UTF-8 starts with a lead byte, so a
// byte match is always at a character boundary, where instr looks.
bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}
bool startsWith(std::string_view text, std::string_view part) { return text.starts_with(part); }

} // namespace

int64_t RankedCandidates::rankOf(std::string_view name) const {
    int64_t rank = name == query_              ? 10000
                   : startsWith(name, query_) ? 8000
                   : contains(name, query_)   ? 6000
                                              : 0;
    for (const std::string& token : tokens_) {
        rank += name == token ? 1000 : startsWith(name, token) ? 700 : 400;
    }
    return rank - std::min<int64_t>(sqliteLength(name), 200);
}

RankedCandidates::RankedCandidates(sqlite3* reader, std::string query,
                                   std::vector<std::string> tokens)
    : reader_(reader), query_(std::move(query)), tokens_(std::move(tokens)),
      source_(candidateSource(query_, tokens_)) {}

void RankedCandidates::rankOnce() {
    if (rankedAlready_) {
        return;
    }
    rankedAlready_ = true;
    // Only the full-text join reads rows anyway; elsewhere the kind stays unread so the
    // statement is answered from the name index alone. The last word's condition and the
    // rank are computed here, exactly as the statement would, which is several times faster
    // than SQLite's expression evaluation over a large range.
    bool readsKind = source_.kind == CandidateSource::Kind::fullText;
    std::string text = "SELECT e.id, e.search_name" + std::string(readsKind ? ", e.is_directory" : "") +
                       " FROM " + source_.from +
                       (source_.narrowing.empty() ? "" : " WHERE " + source_.narrowing) + ";";
    sql::Statement statement(reader_, text);
    if (!source_.parameter.empty()) {
        statement.bindText(int(tokens_.size() + 2), source_.parameter);
    }
    if (source_.kind == CandidateSource::Kind::prefixRange) {
        statement.bindText(1, query_);
    }
    const std::string& lastToken = tokens_.back();
    int result;
    while ((result = statement.step()) == SQLITE_ROW) {
        auto bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 1));
        std::string_view name(bytes ? bytes : "", size_t(sqlite3_column_bytes(statement.get(), 1)));
        if (!contains(name, lastToken)) {
            continue;
        }
        ranked_.push_back({rankOf(name), statement.columnInt(0),
                           readsKind ? int(statement.columnInt(2)) : -1});
    }
    if (result != SQLITE_DONE) {
        throw sql::error(reader_, "Search failed");
    }
    sortByRank();
}

void RankedCandidates::sortByRank() {
    if (ranked_.size() < 2) {
        return;
    }
    auto [low, high] = std::minmax_element(ranked_.begin(), ranked_.end(),
                                           [](const Ranked& a, const Ranked& b) { return a.rank < b.rank; });
    int64_t lowest = low->rank;
    uint64_t span = uint64_t(high->rank - lowest) + 1;
    if (span > (1u << 16)) {
        std::sort(ranked_.begin(), ranked_.end(),
                  [](const Ranked& a, const Ranked& b) { return a.rank > b.rank; });
        return;
    }
    // Ranks lie in a narrow band: a counting sort, best rank first.
    std::vector<size_t> start(span + 1, 0);
    for (const Ranked& entry : ranked_) {
        start[span - 1 - uint64_t(entry.rank - lowest) + 1]++;
    }
    for (size_t i = 1; i <= span; ++i) {
        start[i] += start[i - 1];
    }
    std::vector<Ranked> sorted(ranked_.size());
    for (const Ranked& entry : ranked_) {
        sorted[start[span - 1 - uint64_t(entry.rank - lowest)]++] = entry;
    }
    ranked_ = std::move(sorted);
}

std::vector<IndexedEntry> RankedCandidates::select(int limit, bool directories,
                                                   const std::vector<int64_t>& groupedFolderIDs) {
    std::vector<IndexedEntry> found;
    if (limit < 1) {
        return found;
    }
    rankOnce();
    CandidateQuery built = candidateQuery(query_, tokens_, directories, groupedFolderIDs);
    int wantedKind = directories ? 1 : 0;
    size_t position = 0;
    size_t batchTarget = std::max<size_t>(64, size_t(limit) * 2);
    while (position < ranked_.size() && found.size() < size_t(limit)) {
        // A batch holds whole groups of equal rank, so ordering inside the batch is the
        // statement's own tie-break.
        std::vector<int64_t> ids;
        size_t end = position;
        while (end < ranked_.size() &&
               (ids.size() < batchTarget || ranked_[end].rank == ranked_[end - 1].rank)) {
            if (ranked_[end].kind < 0 || ranked_[end].kind == wantedKind) {
                ids.push_back(ranked_[end].id);
            }
            ++end;
        }
        position = end;
        if (ids.empty()) {
            continue;
        }
        std::vector<IndexedEntry> batch = runCandidateStatement(
            reader_,
            candidateStatement(built, "entries AS e", "e.id IN (" + joinedIDs(ids) + ")",
                               limit - int(found.size())),
            built.parameters);
        std::move(batch.begin(), batch.end(), std::back_inserter(found));
        batchTarget *= 4; // few rows passed so far: widen quickly
    }
    return found;
}

} // namespace nexdir::detail
