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
bool startsWith(std::string_view text, std::string_view part) {
    return text.starts_with(part);
}

} // namespace

int64_t RankedCandidates::rankOf(std::string_view name) const {
    int64_t rank = name == query_             ? 10000
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
    : reader_(reader), query_(std::move(query)), tokens_(std::move(tokens)) {
    if (tokens_.size() - 1 <= 64) {
        for (size_t i = 0; i + 1 < tokens_.size(); ++i) {
            allEarlierWords_ |= uint64_t(1) << i;
        }
    }
    CandidateSource source = candidateSource(query_, tokens_);
    if (source.kind == CandidateSource::Kind::fullText && tokens_.size() == 1 &&
        tokens_[0] == query_) {
        // A one-word query ranks every name that starts with it (at least 8500) above every
        // name that merely contains it (at most 6399), and the names that start with it are
        // a range of the name index: the trigram index is needed only when they run out.
        CandidateSource prefix = prefixRangeSource(query_, 1);
        std::string prefixEnd = prefix.parameter;
        tiers_.emplace_back(std::move(prefix));
        tiers_.emplace_back(source, prefixEnd);
    } else {
        tiers_.emplace_back(source);
    }
}

void RankedCandidates::rank(Tier& tier) {
    if (tier.ranked) {
        return;
    }
    tier.ranked = true;
    // Only the full-text join reads rows anyway; elsewhere kind and parent stay unread so the
    // statement is answered from the name index alone. The last word's condition and the
    // rank are computed here, exactly as the statement would, which is several times faster
    // than SQLite's expression evaluation over a large range.
    const CandidateSource& source = tier.source;
    bool readsRows = source.kind == CandidateSource::Kind::fullText;
    std::string text = "SELECT e.id, e.search_name" +
                       std::string(readsRows ? ", e.is_directory, e.parent_id" : "") + " FROM " +
                       source.from +
                       (source.narrowing.empty() ? "" : " WHERE " + source.narrowing) + ";";
    sql::Statement statement(reader_, text);
    if (!source.parameter.empty()) {
        statement.bindText(int(tokens_.size() + 2), source.parameter);
    }
    if (source.kind == CandidateSource::Kind::prefixRange) {
        statement.bindText(1, query_);
    }
    const std::string& lastToken = tokens_.back();
    int result;
    while ((result = statement.step()) == SQLITE_ROW) {
        auto bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 1));
        std::string_view name(bytes ? bytes : "", size_t(sqlite3_column_bytes(statement.get(), 1)));
        bool inTierBefore = !tier.skipRangeEnd.empty() && name >= std::string_view(query_) &&
                            name < std::string_view(tier.skipRangeEnd);
        if (!contains(name, lastToken) || inTierBefore) {
            continue;
        }
        tier.entries.push_back({rankOf(name), statement.columnInt(0),
                                readsRows ? statement.columnInt(3) : -1,
                                readsRows ? int(statement.columnInt(2)) : -1,
                                allEarlierWords_ & ~earlierWordsIn(name)});
    }
    if (result != SQLITE_DONE) {
        throw sql::error(reader_, "Search failed");
    }
    sortByRank(tier.entries);
}

uint64_t RankedCandidates::earlierWordsIn(std::string_view searchName) const {
    uint64_t words = 0;
    for (size_t i = 0; i + 1 < tokens_.size() && i < 64; ++i) {
        if (contains(searchName, tokens_[i])) {
            words |= uint64_t(1) << i;
        }
    }
    return words;
}

void RankedCandidates::sortByRank(std::vector<Ranked>& entries) {
    if (entries.size() < 2) {
        return;
    }
    auto [low, high] =
        std::minmax_element(entries.begin(), entries.end(),
                            [](const Ranked& a, const Ranked& b) { return a.rank < b.rank; });
    int64_t lowest = low->rank;
    uint64_t span = uint64_t(high->rank - lowest) + 1;
    if (span > (1u << 16)) {
        std::sort(entries.begin(), entries.end(),
                  [](const Ranked& a, const Ranked& b) { return a.rank > b.rank; });
        return;
    }
    // Ranks lie in a narrow band: a counting sort, best rank first.
    auto bucket = [&](const Ranked& entry) { return span - 1 - uint64_t(entry.rank - lowest); };
    std::vector<size_t> start(span + 1, 0);
    for (const Ranked& entry : entries) {
        start[bucket(entry) + 1]++;
    }
    for (size_t i = 1; i <= span; ++i) {
        start[i] += start[i - 1];
    }
    std::vector<Ranked> sorted(entries.size());
    for (const Ranked& entry : entries) {
        sorted[start[bucket(entry)]++] = entry;
    }
    entries = std::move(sorted);
}

RankedCandidates::Folder& RankedCandidates::folder(int64_t id) {
    auto known = folders_.find(id);
    if (known != folders_.end()) {
        return known->second;
    }
    if (!folderLookup_) {
        folderLookup_.emplace(reader_, "SELECT parent_id, search_name FROM entries WHERE id = ?;");
    }
    sql::Statement& lookup = *folderLookup_;
    lookup.reset();
    lookup.bindInt(1, id);
    Folder found;
    switch (lookup.step()) {
    case SQLITE_ROW: {
        auto bytes = reinterpret_cast<const char*>(sqlite3_column_text(lookup.get(), 1));
        found.exists = true;
        found.parent = lookup.columnInt(0);
        found.ownWords = earlierWordsIn(
            std::string_view(bytes ? bytes : "", size_t(sqlite3_column_bytes(lookup.get(), 1))));
        break;
    }
    case SQLITE_DONE:
        break;
    default:
        throw sql::error(reader_, "Search failed");
    }
    return folders_.emplace(id, found).first->second;
}

uint64_t RankedCandidates::wordsAtOrAbove(int64_t folderID) {
    // Climb to the first folder whose answer is known (or past the top), then settle the
    // answers on the way down. A damaged tree with a loop ends the climb where it repeats.
    std::vector<int64_t> chain;
    std::unordered_set<int64_t> seen;
    uint64_t above = 0;
    for (int64_t id = folderID;;) {
        Folder& current = folder(id);
        if (!current.exists) {
            break;
        }
        if (current.wordsKnown) {
            above = current.wordsAtOrAbove;
            break;
        }
        if (!seen.insert(id).second) {
            break;
        }
        chain.push_back(id);
        id = current.parent;
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        Folder& current = folders_.at(*it);
        above |= current.ownWords;
        current.wordsAtOrAbove = above;
        current.wordsKnown = true;
    }
    return above;
}

bool RankedCandidates::underAny(int64_t folderID, const std::unordered_set<int64_t>& grouped,
                                std::unordered_map<int64_t, bool>& memo) {
    std::vector<int64_t> chain;
    std::unordered_set<int64_t> seen;
    bool under = false;
    for (int64_t id = folderID;;) {
        if (auto known = memo.find(id); known != memo.end()) {
            under = known->second;
            break;
        }
        if (grouped.count(id)) {
            under = true;
            break;
        }
        chain.push_back(id);
        const Folder& current = folder(id);
        if (!current.exists || !seen.insert(id).second) {
            break;
        }
        id = current.parent;
    }
    for (int64_t id : chain) {
        memo[id] = under;
    }
    return under;
}

bool RankedCandidates::mayPass(const Ranked& candidate, int wantedKind,
                               const std::unordered_set<int64_t>& grouped,
                               std::unordered_map<int64_t, bool>& underGrouped) {
    if (candidate.kind >= 0 && candidate.kind != wantedKind) {
        return false;
    }
    if (candidate.parent < 0) {
        return true; // nothing read: the statement decides
    }
    if (candidate.missingWords != 0 &&
        (candidate.missingWords & ~wordsAtOrAbove(candidate.parent)) != 0) {
        return false;
    }
    return grouped.empty() || !underAny(candidate.parent, grouped, underGrouped);
}

std::vector<IndexedEntry> RankedCandidates::select(int limit, bool directories,
                                                   const std::vector<int64_t>& groupedFolderIDs) {
    std::vector<IndexedEntry> found;
    if (limit < 1) {
        return found;
    }
    CandidateQuery built = candidateQuery(query_, tokens_, directories, groupedFolderIDs);
    std::unordered_set<int64_t> grouped(groupedFolderIDs.begin(), groupedFolderIDs.end());
    std::unordered_map<int64_t, bool> underGrouped;
    int wantedKind = directories ? 1 : 0;
    size_t batchTarget = std::max<size_t>(64, size_t(limit) * 2);
    for (Tier& tier : tiers_) {
        if (found.size() >= size_t(limit)) {
            break;
        }
        rank(tier);
        const std::vector<Ranked>& ranked = tier.entries;
        size_t position = 0;
        while (position < ranked.size() && found.size() < size_t(limit)) {
            // A batch holds whole groups of equal rank, so ordering inside the batch is the
            // statement's own tie-break.
            std::vector<int64_t> ids;
            size_t end = position;
            while (end < ranked.size() &&
                   (ids.size() < batchTarget || ranked[end].rank == ranked[end - 1].rank)) {
                if (mayPass(ranked[end], wantedKind, grouped, underGrouped)) {
                    ids.push_back(ranked[end].id);
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
    }
    return found;
}

} // namespace nexdir::detail
