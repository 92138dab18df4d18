#pragma once

#include "SearchCancellation.h"
#include "SearchIndex.h"
#include "SearchResult.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nexdir {

struct ParsedQuery;

namespace detail {
class NameCatalogue;
class QueryWords;
} // namespace detail

// Name queries over one index: folders first, best matches first, each result with its full
// path. Searches rank from a copy of every entry's names kept in memory and followed through
// the index's row changes, and read rows only for the results.
//
// Any thread may call any operation; they run one at a time, because each runs inside one
// `SearchIndex::read`, whose read lock also guards `catalogue_`. Throws NexdirError.
class NameSearch {
public:
    explicit NameSearch(SearchIndex& index);
    ~NameSearch();
    NameSearch(const NameSearch&) = delete;
    NameSearch& operator=(const NameSearch&) = delete;

    SearchIndex& index() { return index_; }

    // At most `limit` (capped at 1000) entries that match `query` (words, filters and
    // operators: see Query.h), folders first, best matches first, each with its full path.
    // Throws QueryError when the query cannot be read, SearchCancelledError when
    // `cancellation` is already cancelled; a cancel during the search interrupts it with
    // SQLite's interrupt error.
    SearchResponse search(const std::string& query, int limit,
                          const std::shared_ptr<SearchCancellation>& cancellation = nullptr);

    // Whether searches keep every name in memory (on by default). A program that searches
    // once and exits is faster without.
    void setNameCatalogueEnabled(bool enabled) { catalogueEnabled_ = enabled; }

    // Loads what searches keep in memory, so that the first search does not wait for it:
    // from the names file beside the index when the index still holds that file's stamp,
    // otherwise from the rows. Once loaded, brings it in step with the index, so that the
    // changes the index holds for it go.
    void prepare();
    // For an engine that stops cleanly: saves the names kept in memory, brought in step, to
    // the names file, for the next launch to load in one go. False when there is nothing
    // exact to save or the index changed meanwhile; failures are logged, never thrown.
    bool saveNames();
    // For an idle index: prepare(), and give back the room that loading the names and
    // following changes left unused.
    void settle();

    // How many times a search found the in-memory names out of step with the file and read
    // rows instead (logged each time); tests expect none.
    int64_t catalogueDiscards() const { return catalogueDiscards_; }
    // How many times the names were loaded from the names file rather than from the rows.
    int64_t namesFileLoads() const { return namesFileLoads_; }
    // How many searches read rows because the names could not be brought in step (a write
    // in flight, say): each costs a scan of the full-text index.
    int64_t searchesFromRows() const { return searchesFromRows_; }
    // The bytes the names kept in memory hold (0 when none are); the caller reads under
    // the index's read lock or while nothing else searches.
    size_t catalogueBytes() const;

    // Searches rank their candidates from the names alone and read rows, test ancestors and
    // group only for the best ranks (the same results, in the same order). Off, each pass
    // runs its plain statement over all candidates; tests and benchmarks compare the two.
    // Process-wide.
    static void setRankedScan(bool enabled) { rankedScan_ = enabled; }
    static bool rankedScan() { return rankedScan_; }

private:
    // A query with filters or operators, whose words (if any) rank as a query of words alone.
    SearchResponse searchParsed(const ParsedQuery& parsed, int limit,
                                const std::shared_ptr<SearchCancellation>& cancellation,
                                uint64_t started);
    std::vector<SearchResult> passes(SearchIndex::Reader& reader, const std::string& q,
                                     const detail::QueryWords& words, int limit,
                                     const detail::NameCatalogue* catalogue,
                                     const SearchCancellation* cancellation);
    // The catalogue brought in step with the read's snapshot; nullptr when it cannot be had
    // now (the search then reads rows).
    const detail::NameCatalogue* synchronizedCatalogue(SearchIndex::Reader& reader);
    void discardCatalogue(SearchIndex::Reader& reader, const char* reason, bool permanently);
    // The catalogue of the names file when this read's snapshot holds its stamp; nullptr
    // (and a line in the debug log saying why) otherwise.
    std::unique_ptr<detail::NameCatalogue> savedCatalogue(SearchIndex::Reader& reader);

    static std::atomic<bool> rankedScan_;

    SearchIndex& index_;
    std::unique_ptr<detail::NameCatalogue> catalogue_; // guarded by the index's read lock
    std::atomic<bool> catalogueEnabled_{true};
    std::atomic<int64_t> catalogueDiscards_{0};
    std::atomic<int64_t> searchesFromRows_{0};
    std::atomic<int64_t> namesFileLoads_{0};
};

} // namespace nexdir
