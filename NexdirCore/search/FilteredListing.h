#pragma once

// What a query of filters alone lists (internal to the search): every entry the filter
// admits, best first by the ranking's own tie-breakers, folders and files apart, shorter
// paths first, then the name in binary order, then the identifier.
//
// Every entry is tested once, on the first pass that asks; a path's length is worked out
// once per folder on the way up. A search runs on one thread, its scan on two; the object is
// not shared.

#include "IndexedEntry.h"
#include "NameCatalogue.h"
#include "QueryFilter.h"
#include "SearchCancellation.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace nexdir::detail {

class FilteredListing {
public:
    // `mostListed`: the largest `limit` that `select` will be given.
    FilteredListing(const NameCatalogue& catalogue, QueryFilter& filter,
                    const SearchCancellation* cancellation, int mostListed)
        : catalogue_(catalogue), filter_(filter), cancellation_(cancellation),
          mostListed_(size_t(std::max(mostListed, 1))) {}

    // The first `limit` admitted folders, or files, in order.
    std::vector<int64_t> select(int limit, bool directories);

private:
    // The admitted entries that may be listed, files [0] and folders [1], by the lengths of
    // their paths.
    using Admitted = std::array<std::vector<std::vector<int64_t>>, 2>;
    void scan();
    // Adds the admitted entries with identifiers in [begin, end) to `into`; any thread.
    void scanRange(int64_t begin, int64_t end, Admitted& into);
    // The length of the path an entry's name follows in bytes (its folder's and a "/"): 0 for
    // a volume root, very large when its chain of parents is broken. Any thread, each with a
    // `chain` of its own.
    int64_t parentPrefix(int64_t id, std::vector<int64_t>& chain);
    // The length of a folder's path and the "/" after it, as its children's paths begin.
    int32_t childPrefix(int64_t folder, std::vector<int64_t>& chain);

    const NameCatalogue& catalogue_;
    QueryFilter& filter_;
    const SearchCancellation* cancellation_;
    size_t mostListed_;
    bool scanned_ = false;
    Admitted admitted_;
    std::vector<int32_t> prefixes_; // childPrefix by folder identifier; -1 not yet known
    std::vector<int64_t> chain_;    // the folders of one climb
};

// The rows of `ids`, in that order; CatalogueMismatch when one is missing.
std::vector<IndexedEntry> rowsInOrder(sqlite3* reader, const std::vector<int64_t>& ids);

} // namespace nexdir::detail
