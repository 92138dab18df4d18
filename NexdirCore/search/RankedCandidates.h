#pragma once

// The candidates of one search ranked once, then read in rank order (internal to the index
// store).
//
// A candidate's rank depends only on its own search name, and so does the condition on the
// last word. The candidates are therefore ranked from their names, reading no more than that
// needs (for a prefix range, only the name index), and each pass walks the ranking in whole
// groups of equal rank, running its full statement restricted to the group's identifiers:
// rows are read, and ancestors, kind and grouping tested, only for rows that can still make
// the list, and every batch comes back in the statement's own order. Batches taken in rank
// order concatenate to exactly what the statement returns over all rows.
//
// Where rows are read anyway, or the search has the in-memory catalogue of names, the kind
// and parent are known, so that candidates that cannot pass (wrong kind, a word found neither
// in the name nor above it, inside a listed folder) are left out of the batches; the
// statement still decides every row that is kept. With the catalogue the order is decided in
// memory too, so a statement that does not return the chosen rows in the chosen order means
// the catalogue is wrong: `CatalogueMismatch`.
//
// The earlier words are screened in memory as bit sets of up to 64 words, the longest first.
// The statement settles any others; with the catalogue, whose answer must be exact, each
// candidate that passes the screen is tested for them against the names on its way up
// (measured over 100,000 entries, a query of every short piece of one path, far over 64
// distinct words: 5 to 12 ms this way, 21 to 28 ms from the statements).

#include "CandidateQuery.h"
#include "IdMap.h"
#include "NameCatalogue.h"
#include "QueryFilter.h"
#include "QueryWords.h"
#include "SQLite.h"
#include "SearchCancellation.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace nexdir::detail {

struct CatalogueMismatch {};

class RankedCandidates {
public:
    // The caller holds the reader's lock and an open read transaction for the object's life,
    // and keeps `words` (the words of `query`) for as long. `catalogue`, when given, holds
    // exactly what that transaction sees. `filter`, given only with `catalogue`, narrows the
    // candidates further: those it does not admit are never ranked, so that a filter that
    // admits few spares ranking the many names a common word is in.
    RankedCandidates(sqlite3* reader, std::string query, const QueryWords& words,
                     const NameCatalogue* catalogue = nullptr,
                     const SearchCancellation* cancellation = nullptr,
                     QueryFilter* filter = nullptr);

    // What the plain statement of one pass returns, row for row.
    std::vector<IndexedEntry> select(int limit, bool directories,
                                     const std::vector<int64_t>& groupedFolderIDs);

private:
    struct Ranked {
        int64_t rank;
        int64_t id;
        int64_t parent;        // -1 when the ranking read no row (or the catalogue holds it)
        int kind;              // 1 folder, 0 file, -1 as for parent
        uint64_t missingWords; // screened words not in the name: bit i for earlier word i
    };

    // Candidates come in tiers whose ranks do not overlap, best first, each ranked only when
    // a pass reaches it.
    struct Tier {
        explicit Tier(CandidateSource source, std::string skipRangeEnd = {})
            : source(std::move(source)), skipRangeEnd(std::move(skipRangeEnd)) {}
        CandidateSource source;
        // When not empty, names from the query up to this bound belong to the tier before
        // (with the catalogue: every name that starts with the query).
        std::string skipRangeEnd;
        // The names starting with a word of three or more characters, ahead of the trigram
        // tier; with the catalogue the range has no upper bound.
        bool everyNameStartingWithWord = false;
        bool ranked = false;
        std::vector<Ranked> entries; // best rank first
        // With the catalogue, one word: for files and for folders, the possible candidates
        // by capped name length, not yet read, the next length to read, and what was ranked.
        bool lazy = false;
        struct Stream {
            std::vector<std::vector<int64_t>> byLength;
            size_t nextLength = 0;
            std::vector<Ranked> entries; // best rank first
        };
        Stream streams[2]; // [0] files, [1] folders
        // With the catalogue, several words: `entries` split by kind into the streams'.
        bool byKind = false;
    };

    // What the search knows of one folder above a candidate.
    struct Folder {
        int64_t parent = 0;
        bool exists = false;
        uint64_t ownWords = 0;       // bit i: screened word i is in this folder's name
        uint64_t wordsAtOrAbove = 0; // ... in this folder's name or in one above it
        bool wordsKnown = false;
    };

    void rank(Tier& tier);
    void rankFromCatalogue(Tier& tier);
    // Calls `visit` for every held entry that the filter admits and that may be in the tier.
    template <typename Visit> void forEachPossible(const Tier& tier, Visit&& visit);
    // Whether the tier's candidates come from a scan of every name's byte-pair mark.
    bool scansMarks(const Tier& tier) const;
    // Calls `visit` for every held entry in [begin, end) whose byte-pair mark holds `wanted`,
    // in order, and `ahead` for each a few entries before; any thread.
    template <typename Ahead, typename Visit>
    void forEachMarked(int64_t begin, int64_t end, uint64_t wanted, Ahead&& ahead,
                       Visit&& visit) const;
    // Ranks the names with identifiers in [begin, end) that hold the last word; any thread.
    void rankWordsInRange(int64_t begin, int64_t end, std::vector<Ranked>& into) const;
    // For one word: -1 when `name` is not in the tier, else the rank before the length.
    int64_t oneWordBonus(const Tier& tier, std::string_view name) const;
    // Ranks the next length of one kind of a one-word tier; false when nothing is left.
    bool produce(Tier& tier, int kind);
    // Between SQLite statements the progress handler is not there to stop a cancelled search.
    // Looks only once every 65,536 identifiers: scans call it for every one.
    void checkCancelled(int64_t id) const {
        if ((id & 0xFFFF) == 0) {
            checkCancelledNow();
        }
    }
    void checkCancelledNow() const;
    // `cappedLength` < 0: not known, computed from the name.
    void addCandidate(Tier& tier, int64_t id, std::string_view name, int64_t parent, int kind,
                      int64_t cappedLength = -1, uint64_t mark = ~uint64_t(0));
    // Adds the candidate, ranked, when its name holds the last word; any thread.
    void rankIfLastWordIn(std::string_view name, int64_t id, int64_t parent, int kind,
                          int64_t cappedLength, uint64_t mark, std::vector<Ranked>& into) const;
    static void sortByRank(std::vector<Ranked>& entries);
    // `mark`: the name's byte-pair mark, all ones when not known.
    int64_t rankOf(std::string_view searchName, int64_t cappedLength, uint64_t mark) const;

    // The first `keep` of `group` by the length of their stored names in characters, then by
    // those names, then by identifier.
    std::vector<int64_t> firstByName(const std::vector<int64_t>& group, size_t keep) const;
    std::vector<IndexedEntry> selectFromCatalogue(const CandidateQuery& built, size_t limit,
                                                  int wantedKind,
                                                  const std::unordered_set<int64_t>& grouped,
                                                  IdMap<uint8_t>& underGrouped);
    bool mayPass(const Ranked& candidate, int wantedKind,
                 const std::unordered_set<int64_t>& grouped, IdMap<uint8_t>& underGrouped);
    // With the catalogue: whether every earlier word past the screened ones is in the name of
    // `id` or of a folder above it.
    bool holdsUnscreenedWords(int64_t id) const;
    Folder& folder(int64_t id);
    uint64_t wordsAtOrAbove(int64_t folderID);
    // wordsAtOrAbove with the catalogue and at most 7 screened words.
    uint64_t catalogueWordsAtOrAbove(int64_t folderID, std::vector<int64_t>& chain) const;
    bool underAny(int64_t folderID, const std::unordered_set<int64_t>& grouped,
                  IdMap<uint8_t>& memo);
    uint64_t earlierWordsIn(std::string_view searchName, uint64_t mark = ~uint64_t(0)) const;
    // Whether the filter, if any, admits the held entry `id`.
    bool admits(int64_t id) const {
        return !filter_ || ((catalogue_->pairMarks()[id] & filterMark_) == filterMark_ &&
                            filter_->matches(id));
    }

    sqlite3* reader_;
    const NameCatalogue* catalogue_;
    const SearchCancellation* cancellation_;
    QueryFilter* filter_;
    uint64_t filterMark_; // QueryFilter::requiredMark, 0 without a filter
    std::string query_;
    const QueryWords& words_;
    // The first (longest) earlier words, up to 64, tested as bit sets; every earlier word when
    // there are no more.
    size_t screenedCount_;
    uint64_t screenedWords_ = 0; // bit i for screened word i
    uint64_t queryMark_;         // byte-pair marks, to skip searching names for them
    uint64_t lastWordMark_;
    std::vector<uint64_t> screenedMarks_;
    std::vector<Tier> tiers_;
    IdMap<Folder> folders_;
    // By identifier, 0x80 and the screened words at or above the folder once known, else 0.
    mutable std::vector<uint8_t> knownWords_;
    static constexpr uint8_t knownWordsFlag = 0x80;
    static constexpr uint8_t knownWordsMask = 0x7F;
    // When every folder's words are known before a scan: the marks of each set of screened
    // words, by bit set.
    std::vector<uint64_t> wordsMarks_;
    std::vector<int64_t> chainScratch_;
    std::optional<sql::Statement> folderLookup_;
};

} // namespace nexdir::detail
