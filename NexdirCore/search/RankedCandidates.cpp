#include "RankedCandidates.h"

#include "Ranking.h"
#include "SQLite.h"
#include "TwoHalves.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>

namespace nexdir::detail {

namespace {

// Deeper than any path can be (a path of 4096 bytes has at most 2048 components).
constexpr size_t maximumDepth = 1 << 16;

// When the trigram index is cheaper than a scan of every name's byte-pair mark (about a
// millisecond per million names, on two threads for several words), as measured on the
// search benchmark. For one word the index's cost is what it reads: the occurrences of all
// the word's trigrams. For several words every name it returns is ranked at once, and the
// index wins only when one trigram is rare enough to bound those names.
constexpr uint64_t fullTextReadsForOneWord = 60000;
constexpr uint64_t fullTextNamesForWords = 300;

// From about this many names holding a word (as its rarest trigram bounds them), the names
// starting with it are found faster by a scan of every name's first byte than by the name
// index, which reads a row for each of them.
constexpr uint64_t widePrefixNames = 20000;

// From about this many entries, a scan of every name is split between two threads.
constexpr int64_t parallelScanEntries = 200000;
// From about this many names, a group of equal rank is read on two threads too.
constexpr size_t parallelGroupNames = 20000;

// The earlier words a bit set holds.
constexpr size_t screenedWordsLimit = 64;

// The statement's text functions, byte for byte as SQLite computes them on TEXT values:
// instr() > 0 and instr() = 1. A needle that is valid UTF-8 starts with a lead byte, so a
// byte match is always at a character boundary, where instr looks. Names are short: a plain
// loop beats a library search that pays its setup on every call.
size_t find(std::string_view text, std::string_view part) {
    if (part.empty()) {
        return 0;
    }
    if (part.size() > text.size()) {
        return std::string_view::npos;
    }
    const char first = part.front();
    const size_t last = text.size() - part.size();
    for (size_t i = 0; i <= last; ++i) {
        if (text[i] == first &&
            std::memcmp(text.data() + i + 1, part.data() + 1, part.size() - 1) == 0) {
            return i;
        }
    }
    return std::string_view::npos;
}

bool contains(std::string_view text, std::string_view part) {
    return find(text, part) != std::string_view::npos;
}
bool startsWith(std::string_view text, std::string_view part) {
    return text.starts_with(part);
}

// Whether a name whose byte-pair mark is `mark` can contain a text whose mark is `wanted`.
bool mayContain(uint64_t mark, uint64_t wanted) {
    return (mark & wanted) == wanted;
}

} // namespace

int64_t RankedCandidates::rankOf(std::string_view name, int64_t cappedLength, uint64_t mark) const {
    using namespace Ranking;
    int64_t rank = name == query_                                           ? queryEqual
                   : startsWith(name, query_)                               ? queryPrefix
                   : mayContain(mark, queryMark_) && contains(name, query_) ? queryInside
                                                                            : 0;
    rank += words_.wordRank(name);
    return rank - (cappedLength >= 0 ? cappedLength
                                     : std::min<int64_t>(sqliteTextLength(name), lengthCap));
}

RankedCandidates::RankedCandidates(sqlite3* reader, std::string query, const QueryWords& words,
                                   const NameCatalogue* catalogue,
                                   const SearchCancellation* cancellation, QueryFilter* filter)
    : reader_(reader), catalogue_(catalogue), cancellation_(cancellation), filter_(filter),
      filterMark_(filter ? filter->requiredMark() : 0), query_(std::move(query)), words_(words),
      screenedCount_(std::min(words.earlier().size(), screenedWordsLimit)),
      queryMark_(NameCatalogue::pairMark(query_)),
      lastWordMark_(NameCatalogue::pairMark(words.last())) {
    for (size_t i = 0; i < screenedCount_; ++i) {
        screenedWords_ |= uint64_t(1) << i;
        screenedMarks_.push_back(NameCatalogue::pairMark(words_.earlier()[i]));
    }
    CandidateSource source = candidateSource(query_, words_);
    if (source.kind == CandidateSource::Kind::fullText && words_.occurrences() == 1 &&
        words_.last() == query_) {
        // A one-word query ranks every name that starts with it (at least 8500) above every
        // name that merely contains it (at most 6399), and the names that start with it are
        // a range of the name index: the trigram index is needed only when they run out.
        CandidateSource prefix = prefixRangeSource(query_);
        std::string prefixEnd = prefix.parameter;
        tiers_.emplace_back(std::move(prefix)).everyNameStartingWithWord = true;
        tiers_.emplace_back(source, prefixEnd);
    } else {
        tiers_.emplace_back(source);
    }
}

void RankedCandidates::addCandidate(Tier& tier, int64_t id, std::string_view name, int64_t parent,
                                    int kind, int64_t cappedLength, uint64_t mark) {
    bool inTierBefore = !tier.skipRangeEnd.empty() && name >= std::string_view(query_) &&
                        name < std::string_view(tier.skipRangeEnd);
    if (!inTierBefore) {
        rankIfLastWordIn(name, id, parent, kind, cappedLength, mark, tier.entries);
    }
}

void RankedCandidates::rankIfLastWordIn(std::string_view name, int64_t id, int64_t parent, int kind,
                                        int64_t cappedLength, uint64_t mark,
                                        std::vector<Ranked>& into) const {
    if (contains(name, words_.last())) {
        into.push_back({rankOf(name, cappedLength, mark), id, parent, kind,
                        screenedWords_ & ~earlierWordsIn(name, mark)});
    }
}

void RankedCandidates::checkCancelledNow() const {
    if (cancellation_ && cancellation_->isCancelled()) {
        throw NexdirError::database(SQLITE_INTERRUPT, "Search failed: interrupted");
    }
}

namespace {
// The first text above every text that starts with `prefix`; empty when there is none.
std::string prefixSuccessor(std::string prefix) {
    while (!prefix.empty() && uint8_t(prefix.back()) == 0xFF) {
        prefix.pop_back();
    }
    if (!prefix.empty()) {
        prefix.back() = char(uint8_t(prefix.back()) + 1);
    }
    return prefix;
}
} // namespace

template <typename Visit> void RankedCandidates::forEachPossible(const Tier& tier, Visit&& visit) {
    const NameCatalogue& catalogue = *catalogue_;
    const CandidateSource& source = tier.source;
    // What `collect(begin, end, found)` finds over every identifier, in order, found on two
    // cores where the index is large; `visit` runs here.
    auto collectThenVisit = [&](auto&& collect) {
        std::vector<int64_t> lower;
        std::vector<int64_t> upper;
        if (catalogue.idLimit() >= parallelScanEntries) {
            inTwoHalves(1, catalogue.idLimit(), lower, upper, collect);
        } else {
            collect(1, catalogue.idLimit(), lower);
        }
        for (const std::vector<int64_t>* found : {&lower, &upper}) {
            for (int64_t id : *found) {
                visit(id);
            }
        }
    };
    auto keep = [&](int64_t id, std::vector<int64_t>& found) {
        if (admits(id)) {
            found.push_back(id);
        }
    };
    auto scanMarks = [&](std::string_view word) {
        // The byte-pair marks rule out most names without reading them.
        uint64_t wanted = NameCatalogue::pairMark(word) | filterMark_;
        collectThenVisit([&](int64_t begin, int64_t end, std::vector<int64_t>& found) {
            forEachMarked(
                begin, end, wanted, [](int64_t) {}, [&](int64_t id) { keep(id, found); });
        });
    };
    auto readIDs = [&](sql::Statement& statement) {
        int result;
        while ((result = statement.step()) == SQLITE_ROW) {
            int64_t id = statement.columnInt(0);
            if (catalogue.contains(id) && admits(id)) {
                visit(id);
            }
        }
        if (result != SQLITE_DONE) {
            throw sql::error(reader_, "Search failed");
        }
    };
    switch (source.kind) {
    case CandidateSource::Kind::prefixRange: {
        if (query_.size() < 3 ||
            (tier.everyNameStartingWithWord &&
             (filter_ || catalogue.rarestTripleOccurrences(query_) >= widePrefixNames))) {
            // A short prefix covers much of the index: scan the first bytes of all names,
            // which are never NUL where an entry is held. So does a common word's, and a
            // filter's, which the byte-pair marks test before any name is read, where the
            // name index would read every name in the range.
            const uint8_t* firstBytes = catalogue.firstBytes();
            const int64_t chunk = 1 << 16;
            if (query_.size() < 3) {
                for (int64_t start = 0; start < catalogue.idLimit(); start += chunk) {
                    checkCancelled(start);
                    const uint8_t* end = firstBytes + std::min(start + chunk, catalogue.idLimit());
                    for (const uint8_t* at = firstBytes + start;
                         (at = static_cast<const uint8_t*>(
                              std::memchr(at, query_.front(), size_t(end - at))));
                         ++at) {
                        if (admits(at - firstBytes)) {
                            visit(at - firstBytes);
                        }
                    }
                }
                break;
            }
            const uint64_t wanted = queryMark_ | filterMark_;
            const uint64_t* marks = catalogue.pairMarks();
            collectThenVisit([&](int64_t begin, int64_t end, std::vector<int64_t>& found) {
                std::vector<int64_t> possible;
                for (int64_t start = begin; start < end; start += chunk) {
                    checkCancelledNow();
                    const uint8_t* stop = firstBytes + std::min(start + chunk, end);
                    possible.clear();
                    for (const uint8_t* at = firstBytes + start;
                         (at = static_cast<const uint8_t*>(
                              std::memchr(at, query_.front(), size_t(stop - at))));
                         ++at) {
                        if (mayContain(marks[at - firstBytes], wanted)) {
                            possible.push_back(at - firstBytes);
                        }
                    }
                    for (size_t i = 0; i < possible.size(); ++i) {
                        if (i + 8 < possible.size()) {
                            catalogue.prefetchName(possible[i + 8]);
                        }
                        if (catalogue.searchName(possible[i]).starts_with(query_)) {
                            keep(possible[i], found);
                        }
                    }
                }
            });
            break;
        }
        // A long prefix is a narrow range: the name index finds it at once.
        std::string high =
            tier.everyNameStartingWithWord ? prefixSuccessor(query_) : source.parameter;
        sql::Statement range(reader_, high.empty()
                                          ? "SELECT id FROM entries WHERE search_name >= ?1;"
                                          : "SELECT id FROM entries WHERE search_name >= ?1 "
                                            "AND search_name < ?2;");
        range.bindText(1, query_);
        if (!high.empty()) {
            range.bindText(2, high);
        }
        readIDs(range);
        break;
    }
    case CandidateSource::Kind::fullText:
        if (!scansMarks(tier)) {
            // The trigram index reads every occurrence of each trigram; when they are few
            // that is cheaper than looking at every name.
            sql::Statement matches(reader_,
                                   "SELECT rowid FROM entries_fts WHERE entries_fts MATCH ?;");
            matches.bindText(1, source.parameter);
            readIDs(matches);
            break;
        }
        scanMarks(words_.last());
        break;
    case CandidateSource::Kind::everything:
        scanMarks(words_.last());
        break;
    }
}

int64_t RankedCandidates::oneWordBonus(const Tier& tier, std::string_view name) const {
    std::string_view word(query_);
    bool equal = name.size() == word.size();
    if (tier.source.kind == CandidateSource::Kind::prefixRange) {
        // A name starting with the word lies below the range's end unless the byte after the
        // word is U+10FFFF's lead byte or above.
        bool inRange = name.starts_with(word) && (tier.everyNameStartingWithWord || equal ||
                                                  uint8_t(name[word.size()]) < 0xF4 ||
                                                  name < std::string_view(tier.source.parameter));
        return !inRange ? -1 : equal ? 11000 : 8700;
    }
    size_t at = find(name, word);
    if (at == std::string_view::npos) {
        return -1;
    }
    if (at == 0) {
        // With the catalogue the tier before holds every name that starts with the word.
        return !tier.skipRangeEnd.empty() ? -1 : equal ? 11000 : 8700;
    }
    return 6400;
}

bool RankedCandidates::produce(Tier& tier, int kind) {
    // One length at a time: for one word the rank is a bonus for where the word is found
    // minus the length, and the bonuses of a tier are too far apart for two lengths to share
    // a rank, so each length adds whole groups, below every group added before. Folders and
    // files are apart, so that a pass reads the names of its own kind only.
    const NameCatalogue& catalogue = *catalogue_;
    Tier::Stream& stream = tier.streams[kind];
    while (stream.nextLength < stream.byLength.size()) {
        size_t length = stream.nextLength++;
        std::vector<int64_t> ids = std::move(stream.byLength[length]);
        checkCancelled(0);
        size_t first = stream.entries.size();
        for (size_t i = 0; i < ids.size(); ++i) {
            if (i + 8 < ids.size()) {
                catalogue.prefetchName(ids[i + 8]);
            }
            int64_t id = ids[i];
            int64_t bonus = oneWordBonus(tier, catalogue.searchName(id));
            if (bonus >= 0) {
                stream.entries.push_back({bonus - int64_t(length), id, -1, kind, 0});
            }
        }
        std::stable_sort(stream.entries.begin() + long(first), stream.entries.end(),
                         [](const Ranked& a, const Ranked& b) { return a.rank > b.rank; });
        if (stream.entries.size() > first) {
            return true;
        }
    }
    return false;
}

bool RankedCandidates::scansMarks(const Tier& tier) const {
    return tier.source.kind == CandidateSource::Kind::everything ||
           (tier.source.kind == CandidateSource::Kind::fullText &&
            (words_.occurrences() == 1
                 ? catalogue_->tripleOccurrences(query_) >= fullTextReadsForOneWord
                 : catalogue_->rarestTripleOccurrences(words_.last()) >= fullTextNamesForWords));
}

template <typename Ahead, typename Visit>
void RankedCandidates::forEachMarked(int64_t begin, int64_t end, uint64_t wanted, Ahead&& ahead,
                                     Visit&& visit) const {
    // A block's possible entries first, from the marks alone; then each of them, with what it
    // reads asked for a few entries ahead: they lie far apart, and waiting on memory for each
    // in turn took most of a scan.
    const NameCatalogue& catalogue = *catalogue_;
    const uint64_t* marks = catalogue.pairMarks();
    constexpr int64_t block = 4096;
    constexpr size_t distance = 8;
    std::vector<int64_t> possible(block);
    for (int64_t start = begin; start < end; start += block) {
        checkCancelledNow();
        int64_t stop = std::min(start + block, end);
        size_t count = 0;
        for (int64_t id = start; id < stop; ++id) {
            possible[count] = id;
            count += mayContain(marks[id], wanted) ? 1 : 0;
        }
        for (size_t i = 0; i < std::min(count, 2 * distance); ++i) {
            catalogue.prefetchEntry(possible[i]);
        }
        for (size_t i = 0; i < count; ++i) {
            if (i + 2 * distance < count) {
                catalogue.prefetchEntry(possible[i + 2 * distance]);
            }
            if (i + distance < count && catalogue.contains(possible[i + distance])) {
                ahead(possible[i + distance]);
            }
            if (catalogue.contains(possible[i])) {
                visit(possible[i]);
            }
        }
    }
}

void RankedCandidates::rankWordsInRange(int64_t begin, int64_t end,
                                        std::vector<Ranked>& into) const {
    const NameCatalogue& catalogue = *catalogue_;
    const uint64_t* marks = catalogue.pairMarks();
    std::vector<int64_t> chain;
    // Both lambdas are inlined by force: called through the scan they were not, and the scan
    // took a quarter longer.
    auto ahead = [&](int64_t id) __attribute__((always_inline)) {
        catalogue.prefetchName(id);
        size_t parent = size_t(catalogue.parent(id));
        if (parent < knownWords_.size()) {
            __builtin_prefetch(&knownWords_[parent]);
        }
    };
    auto rankOne = [&](int64_t id) __attribute__((always_inline)) {
        int64_t parent = catalogue.parent(id);
        // The words no folder above holds must be in the name: most names are ruled out by
        // their marks before they are read.
        uint64_t above = ~uint64_t(0);
        if (!wordsMarks_.empty()) {
            uint8_t known = parent < catalogue.idLimit()
                                ? std::atomic_ref<uint8_t>(knownWords_[size_t(parent)])
                                      .load(std::memory_order_relaxed)
                                : 0;
            above = known != 0 ? known & knownWordsMask : catalogueWordsAtOrAbove(parent, chain);
            if (!mayContain(marks[id], wordsMarks_[screenedWords_ & ~above])) {
                return;
            }
        }
        if (admits(id)) {
            size_t before = into.size();
            rankIfLastWordIn(catalogue.searchName(id), id, parent,
                             catalogue.isDirectory(id) ? 1 : 0, catalogue.cappedLength(id),
                             marks[id], into);
            if (into.size() > before && (into.back().missingWords & ~above) != 0) {
                into.pop_back();
            }
        }
    };
    forEachMarked(begin, end, lastWordMark_ | filterMark_, ahead, rankOne);
}

void RankedCandidates::rankFromCatalogue(Tier& tier) {
    const NameCatalogue& catalogue = *catalogue_;
    if (words_.occurrences() == 1) {
        // Names are read only as far as the lengths the passes reach.
        tier.lazy = true;
        for (Tier::Stream& stream : tier.streams) {
            stream.byLength.assign(201, {});
        }
        forEachPossible(tier, [&](int64_t id) {
            tier.streams[catalogue.isDirectory(id) ? 1 : 0]
                .byLength[size_t(catalogue.cappedLength(id))]
                .push_back(id);
        });
        return;
    }
    if (scansMarks(tier) && catalogue.idLimit() >= parallelScanEntries) {
        if (screenedCount_ < 8) {
            // Each name is read only when it holds the words its folders lack: what a folder
            // holds is settled once, by the first candidate below it.
            knownWords_.assign(size_t(catalogue.idLimit()), 0);
            wordsMarks_.assign(size_t(1) << screenedCount_, 0);
            for (size_t words = 1; words < wordsMarks_.size(); ++words) {
                for (size_t i = 0; i < screenedCount_; ++i) {
                    if (words & (size_t(1) << i)) {
                        wordsMarks_[words] |= screenedMarks_[i];
                    }
                }
            }
        }
        // Every name is looked at: the two halves of the index on two cores.
        std::vector<Ranked> upper;
        inTwoHalves(1, catalogue.idLimit(), tier.entries, upper,
                    [this](int64_t first, int64_t last, std::vector<Ranked>& into) {
                        rankWordsInRange(first, last, into);
                    });
        tier.entries.insert(tier.entries.end(), upper.begin(), upper.end());
    } else {
        forEachPossible(tier, [&](int64_t id) {
            addCandidate(tier, id, catalogue.searchName(id), catalogue.parent(id),
                         catalogue.isDirectory(id) ? 1 : 0, catalogue.cappedLength(id),
                         catalogue.pairMarks()[id]);
        });
    }
    sortByRank(tier.entries);
    // Each pass walks its own kind only: a common last word in file names alone would
    // otherwise make the folder pass look at every one of them.
    tier.byKind = true;
    for (const Ranked& entry : tier.entries) {
        tier.streams[entry.kind].entries.push_back(entry);
    }
    tier.entries = {};
}

void RankedCandidates::rank(Tier& tier) {
    if (tier.ranked) {
        return;
    }
    tier.ranked = true;
    if (catalogue_) {
        rankFromCatalogue(tier);
        return;
    }
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
        statement.bindText(sourceParameter, source.parameter);
    }
    if (source.kind == CandidateSource::Kind::prefixRange) {
        statement.bindText(1, query_);
    }
    int result;
    while ((result = statement.step()) == SQLITE_ROW) {
        auto bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 1));
        std::string_view name(bytes ? bytes : "", size_t(sqlite3_column_bytes(statement.get(), 1)));
        addCandidate(tier, statement.columnInt(0), name, readsRows ? statement.columnInt(3) : -1,
                     readsRows ? int(statement.columnInt(2)) : -1);
    }
    if (result != SQLITE_DONE) {
        throw sql::error(reader_, "Search failed");
    }
    sortByRank(tier.entries);
}

uint64_t RankedCandidates::earlierWordsIn(std::string_view searchName, uint64_t mark) const {
    uint64_t words = 0;
    for (size_t i = 0; i < screenedCount_; ++i) {
        if (mayContain(mark, screenedMarks_[i]) && contains(searchName, words_.earlier()[i])) {
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
    if (Folder* known = folders_.find(id)) {
        return *known;
    }
    if (catalogue_) {
        Folder found;
        found.exists = catalogue_->contains(id);
        if (found.exists) {
            found.parent = catalogue_->parent(id);
            found.ownWords =
                earlierWordsIn(catalogue_->searchName(id), catalogue_->pairMarks()[id]);
        }
        return folders_.put(id, found);
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
    return folders_.put(id, found);
}

uint64_t RankedCandidates::wordsAtOrAbove(int64_t folderID) {
    if (catalogue_ && screenedCount_ < 8) {
        if (knownWords_.empty()) {
            knownWords_.assign(size_t(catalogue_->idLimit()), 0);
        }
        return catalogueWordsAtOrAbove(folderID, chainScratch_);
    }
    // Climb to the first folder whose answer is known (or past the top), then settle the
    // answers on the way down. A damaged tree with a loop ends the climb after a depth no
    // path can have.
    std::vector<int64_t> chain;
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
        if (chain.size() > maximumDepth) {
            break;
        }
        chain.push_back(id);
        id = current.parent;
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        Folder& current = *folders_.find(*it);
        above |= current.ownWords;
        current.wordsAtOrAbove = above;
        current.wordsKnown = true;
    }
    return above;
}

uint64_t RankedCandidates::catalogueWordsAtOrAbove(int64_t folderID,
                                                   std::vector<int64_t>& chain) const {
    // Both halves of a scan may settle the same folder: they write the same value.
    auto known = [this](int64_t id) { return std::atomic_ref<uint8_t>(knownWords_[size_t(id)]); };
    chain.clear();
    uint64_t above = 0;
    for (int64_t id = folderID; catalogue_->contains(id) && chain.size() <= maximumDepth;
         id = catalogue_->parent(id)) {
        if (uint8_t words = known(id).load(std::memory_order_relaxed); words != 0) {
            above = words & knownWordsMask;
            break;
        }
        chain.push_back(id);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        uint64_t mark = catalogue_->pairMarks()[*it];
        // The name is read only when its mark allows a word: most folders' are not.
        if (std::any_of(screenedMarks_.begin(), screenedMarks_.end(),
                        [&](uint64_t wanted) { return mayContain(mark, wanted); })) {
            above |= earlierWordsIn(catalogue_->searchName(*it), mark);
        }
        known(*it).store(uint8_t(above | knownWordsFlag), std::memory_order_relaxed);
    }
    return above;
}

bool RankedCandidates::underAny(int64_t folderID, const std::unordered_set<int64_t>& grouped,
                                IdMap<uint8_t>& memo) {
    std::vector<int64_t> chain;
    bool under = false;
    for (int64_t id = folderID;;) {
        if (const uint8_t* known = memo.find(id)) {
            under = *known != 0;
            break;
        }
        if (grouped.count(id)) {
            under = true;
            break;
        }
        chain.push_back(id);
        const Folder& current = folder(id);
        if (!current.exists || chain.size() > maximumDepth) {
            break;
        }
        id = current.parent;
    }
    for (int64_t id : chain) {
        memo.put(id, under ? 1 : 0);
    }
    return under;
}

bool RankedCandidates::mayPass(const Ranked& candidate, int wantedKind,
                               const std::unordered_set<int64_t>& grouped,
                               IdMap<uint8_t>& underGrouped) {
    int kind = candidate.kind;
    int64_t parent = candidate.parent;
    if (catalogue_ && parent < 0) {
        // Read only for the candidates a pass reaches.
        kind = catalogue_->isDirectory(candidate.id) ? 1 : 0;
        parent = catalogue_->parent(candidate.id);
    }
    if (kind >= 0 && kind != wantedKind) {
        return false;
    }
    if (parent < 0) {
        return true; // nothing read: the statement decides
    }
    if (candidate.missingWords != 0 && (candidate.missingWords & ~wordsAtOrAbove(parent)) != 0) {
        return false;
    }
    if (catalogue_ && screenedCount_ < words_.earlier().size() &&
        !holdsUnscreenedWords(candidate.id)) {
        return false;
    }
    return grouped.empty() || !underAny(parent, grouped, underGrouped);
}

bool RankedCandidates::holdsUnscreenedWords(int64_t id) const {
    // Reached only by the candidates that hold the screened words: the names on the way up
    // are searched plainly, with nothing kept between candidates.
    std::vector<std::string_view> names;
    for (int64_t at = id; catalogue_->contains(at) && names.size() <= maximumDepth;
         at = catalogue_->parent(at)) {
        names.push_back(catalogue_->searchName(at));
    }
    const std::vector<std::string>& earlier = words_.earlier();
    return std::all_of(
        earlier.begin() + long(screenedCount_), earlier.end(), [&](const std::string& word) {
            return std::any_of(names.begin(), names.end(),
                               [&](std::string_view name) { return contains(name, word); });
        });
}

std::vector<IndexedEntry> RankedCandidates::select(int limit, bool directories,
                                                   const std::vector<int64_t>& groupedFolderIDs) {
    std::vector<IndexedEntry> found;
    if (limit < 1) {
        return found;
    }
    // With the catalogue the words above and the grouping are settled in memory, exactly;
    // the statement still checks that each row exists with its kind and its name.
    CandidateQuery built = candidateQuery(query_, words_, directories,
                                          catalogue_ ? std::vector<int64_t>() : groupedFolderIDs);
    if (catalogue_) {
        built.earlierWordsCondition.clear();
    }
    std::unordered_set<int64_t> grouped(groupedFolderIDs.begin(), groupedFolderIDs.end());
    IdMap<uint8_t> underGrouped;
    int wantedKind = directories ? 1 : 0;
    if (catalogue_) {
        return selectFromCatalogue(built, size_t(limit), wantedKind, grouped, underGrouped);
    }
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
                candidateStatement(built, "entries AS e", "e.id IN (" + sql::joinedIDs(ids) + ")",
                                   limit - int(found.size())),
                built.parameters);
            std::move(batch.begin(), batch.end(), std::back_inserter(found));
            batchTarget *= 4; // few rows passed so far: widen quickly
        }
    }
    return found;
}

} // namespace nexdir::detail

namespace nexdir::detail {

std::vector<int64_t> RankedCandidates::firstByName(const std::vector<int64_t>& group,
                                                   size_t keep) const {
    // Each stored name is read once, and kept only while it is among the best so far: many
    // are kept as edits of their search names, and a group can hold a hundred thousand names
    // (all the "IMG_" ones of a length) for 50 places. Such a group is read on two cores.
    struct Kept {
        int64_t length;
        int64_t id;
        std::string name;
    };
    auto before = [](int64_t length, std::string_view name, int64_t id, const Kept& other) {
        if (length != other.length) {
            return length < other.length;
        }
        int order = name.compare(other.name);
        return order != 0 ? order < 0 : id < other.id;
    };
    auto heapOrder = [&](const Kept& a, const Kept& b) {
        return before(a.length, a.name, a.id, b);
    };
    auto bestIn = [&](int64_t begin, int64_t end, std::vector<Kept>& best) {
        best.reserve(keep);
        std::string scratch;
        for (size_t i = size_t(begin); i < size_t(end); ++i) {
            if (i + 16 < size_t(end)) {
                catalogue_->prefetchEntry(group[i + 16]);
            }
            if (i + 8 < size_t(end)) {
                catalogue_->prefetchName(group[i + 8]);
            }
            std::string_view name = catalogue_->name(group[i], scratch);
            int64_t length = sqliteTextLength(name);
            if (best.size() == keep) {
                if (!before(length, name, group[i], best.front())) {
                    continue;
                }
                std::pop_heap(best.begin(), best.end(), heapOrder);
                best.pop_back();
            }
            best.push_back({length, group[i], std::string(name)});
            std::push_heap(best.begin(), best.end(), heapOrder);
        }
    };
    std::vector<Kept> best;
    if (group.size() >= parallelGroupNames) {
        std::vector<Kept> upper;
        inTwoHalves(0, int64_t(group.size()), best, upper, bestIn);
        std::move(upper.begin(), upper.end(), std::back_inserter(best));
    } else {
        bestIn(0, int64_t(group.size()), best);
    }
    std::sort(best.begin(), best.end(), heapOrder);
    best.resize(std::min(best.size(), keep));
    std::vector<int64_t> ids;
    for (const Kept& kept : best) {
        ids.push_back(kept.id);
    }
    return ids;
}

std::vector<IndexedEntry>
RankedCandidates::selectFromCatalogue(const CandidateQuery& built, size_t limit, int wantedKind,
                                      const std::unordered_set<int64_t>& grouped,
                                      IdMap<uint8_t>& underGrouped) {
    // Every condition is decided here, and so is the order: rank, then the statement's
    // tie-break (name length, name, id) inside the last group that is needed. The statement
    // only reads the chosen rows, and must return them as chosen.
    std::vector<int64_t> chosen;
    for (Tier& tier : tiers_) {
        if (chosen.size() >= limit) {
            break;
        }
        rank(tier);
        const std::vector<Ranked>& ranked =
            tier.lazy || tier.byKind ? tier.streams[wantedKind].entries : tier.entries;
        size_t position = 0;
        while (chosen.size() < limit) {
            if (position == ranked.size() && !(tier.lazy && produce(tier, wantedKind))) {
                break;
            }
            std::vector<int64_t> group;
            size_t end = position;
            for (; end < ranked.size() && ranked[end].rank == ranked[position].rank; ++end) {
                if (mayPass(ranked[end], wantedKind, grouped, underGrouped)) {
                    group.push_back(ranked[end].id);
                }
            }
            position = end;
            size_t keep = std::min(group.size(), limit - chosen.size());
            if (group.size() > 1) {
                std::vector<int64_t> best = firstByName(group, keep);
                std::copy(best.begin(), best.end(), group.begin());
            }
            group.resize(keep);
            chosen.insert(chosen.end(), group.begin(), group.end());
        }
    }
    if (chosen.empty()) {
        return {};
    }
    std::vector<IndexedEntry> rows = runCandidateStatement(
        reader_,
        candidateStatement(built, "entries AS e", "e.id IN (" + sql::joinedIDs(chosen) + ")",
                           int(limit)),
        built.parameters);
    bool asChosen = rows.size() == chosen.size();
    for (size_t i = 0; asChosen && i < rows.size(); ++i) {
        asChosen = rows[i].id == chosen[i];
    }
    if (!asChosen) {
        throw CatalogueMismatch();
    }
    return rows;
}

} // namespace nexdir::detail
