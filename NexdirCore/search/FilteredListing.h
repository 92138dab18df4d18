#pragma once

// What a query of filters alone lists (internal to the search): every entry the filter
// admits, best first by the ranking's own tie-breakers, folders and files apart, shorter
// paths first, then the name in binary order, then the identifier.
//
// Every entry is tested once, on the first pass that asks; a path's length is worked out
// once per folder on the way up. A search runs on one thread; the object is not shared.

#include "IndexedEntry.h"
#include "NameCatalogue.h"
#include "QueryFilter.h"
#include "SearchCancellation.h"

#include <sqlite3.h>

#include <cstdint>
#include <vector>

namespace nexdir::detail {

class FilteredListing {
public:
    FilteredListing(const NameCatalogue& catalogue, QueryFilter& filter,
                    const SearchCancellation* cancellation)
        : catalogue_(catalogue), filter_(filter), cancellation_(cancellation) {}

    // The first `limit` admitted folders, or files, in order.
    std::vector<int64_t> select(int limit, bool directories);

private:
    void scan();
    int64_t pathLength(int64_t id);

    const NameCatalogue& catalogue_;
    QueryFilter& filter_;
    const SearchCancellation* cancellation_;
    bool scanned_ = false;
    std::vector<int64_t> admitted_[2]; // [0] files, [1] folders
    std::vector<int64_t> pathLengths_; // by identifier; -1 not yet known
};

// The rows of `ids`, in that order; CatalogueMismatch when one is missing.
std::vector<IndexedEntry> rowsInOrder(sqlite3* reader, const std::vector<int64_t>& ids);

} // namespace nexdir::detail
