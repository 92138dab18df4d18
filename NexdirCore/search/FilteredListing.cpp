#include "FilteredListing.h"

#include "NexdirError.h"
#include "RankedCandidates.h"
#include "SQLite.h"
#include "TwoHalves.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>
#include <stdexcept>
#include <unordered_map>

namespace nexdir::detail {

namespace {
// Longer than any path: an entry whose chain of parents is broken has none, and goes last.
constexpr int64_t noPath = std::numeric_limits<int64_t>::max() / 2;
constexpr int32_t unknown = -1;
// Entries are bucketed by the length of their paths in bytes; longer ones share the last.
constexpr size_t lengthBuckets = 256;
constexpr int32_t noPrefix = std::numeric_limits<int32_t>::max() / 2;
constexpr size_t maximumDepth = 1 << 16;

// From about this many entries, the test of every entry is split between two threads.
constexpr int64_t parallelScanEntries = 200000;

// A path's length from the part before its name (see parentPrefix) and the name's length.
int64_t pathLength(int64_t prefix, size_t name) {
    return prefix == noPath ? noPath : prefix + int64_t(name);
}
} // namespace

void FilteredListing::scanRange(int64_t begin, int64_t end, Admitted& into) {
    for (Admitted::value_type& byLength : into) {
        byLength.resize(lengthBuckets);
    }
    std::vector<int64_t> chain;
    const uint64_t required = filter_.requiredMark();
    const uint64_t* marks = catalogue_.pairMarks();
    // Of each kind, how many entries are kept by the length of their paths, and a length no
    // longer one can be listed past: once `mostListed_` entries of this range are at or below
    // it, an entry longer still is behind them all, and is neither read further nor kept.
    std::array<std::vector<size_t>, 2> kept{std::vector<size_t>(lengthBuckets),
                                            std::vector<size_t>(lengthBuckets)};
    std::array<size_t, 2> keptCount{0, 0};
    std::array<int64_t, 2> longest{int64_t(lengthBuckets - 1), int64_t(lengthBuckets - 1)};
    for (int64_t id = begin; id < end; ++id) {
        if ((id & 0xFFFF) == 0 && cancellation_ && cancellation_->isCancelled()) {
            throw NexdirError::database(SQLITE_INTERRUPT, "Search failed: interrupted");
        }
        if ((marks[id] & required) != required || !catalogue_.contains(id) ||
            !filter_.matches(id)) {
            continue;
        }
        int kind = catalogue_.isDirectory(id) ? 1 : 0;
        // By the path's length rather than the name's: the first lengths then hold the best
        // entries, where names alone are too alike in length to tell a few from millions. A
        // bound on the name's length, from the per-entry values, rules most out before the
        // name is read.
        int64_t prefix = parentPrefix(id, chain);
        if (pathLength(prefix, catalogue_.nameLengthAtLeast(id)) > longest[kind]) {
            continue;
        }
        int64_t length =
            std::min<int64_t>(pathLength(prefix, catalogue_.nameLength(id)), lengthBuckets - 1);
        if (length > longest[kind]) {
            continue;
        }
        into[kind][size_t(length)].push_back(id);
        ++kept[kind][size_t(length)];
        if (++keptCount[kind] >= mostListed_) {
            size_t below = 0;
            for (int64_t at = 0; at <= longest[kind]; ++at) {
                below += kept[kind][size_t(at)];
                if (below >= mostListed_) {
                    longest[kind] = at;
                    break;
                }
            }
        }
    }
}

void FilteredListing::scan() {
    scanned_ = true;
    int64_t end = catalogue_.idLimit();
    for (Admitted::value_type& byLength : admitted_) {
        byLength.resize(lengthBuckets);
    }
    prefixes_.assign(size_t(catalogue_.idLimit()), unknown);
    if (end < parallelScanEntries) {
        scanRange(1, end, admitted_);
        return;
    }
    Admitted upper;
    inTwoHalves(1, end, admitted_, upper, [this](int64_t first, int64_t last, Admitted& into) {
        scanRange(first, last, into);
    });
    for (int kind : {0, 1}) {
        for (size_t length = 0; length < lengthBuckets; ++length) {
            std::vector<int64_t>& bucket = admitted_[kind][length];
            bucket.insert(bucket.end(), upper[kind][length].begin(), upper[kind][length].end());
        }
    }
}

int32_t FilteredListing::childPrefix(int64_t folder, std::vector<int64_t>& chain) {
    // Both halves of a scan may settle the same folder: they write the same value.
    auto known = [this](int64_t id) { return std::atomic_ref<int32_t>(prefixes_[size_t(id)]); };
    // Climb to the first known folder or to a volume root, then settle each folder on the way
    // down: the length of its path and of the "/" its children's names follow (none after a
    // root that ends with one, such as "/").
    chain.clear();
    int32_t prefix = noPrefix;
    for (int64_t at = folder; catalogue_.contains(at) && chain.size() <= maximumDepth;
         at = catalogue_.parent(at)) {
        if (int32_t settled = known(at).load(std::memory_order_relaxed); settled != unknown) {
            prefix = settled;
            break;
        }
        chain.push_back(at);
        if (catalogue_.parent(at) == 0) {
            std::string scratch;
            std::string_view root = catalogue_.name(at, scratch);
            prefix = int32_t(root.size()) + (root.ends_with('/') ? 0 : 1);
            known(at).store(prefix, std::memory_order_relaxed);
            chain.pop_back();
            break;
        }
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (prefix != noPrefix) {
            prefix += int32_t(catalogue_.nameLength(*it)) + 1;
        }
        known(*it).store(prefix, std::memory_order_relaxed);
    }
    return prefix;
}

int64_t FilteredListing::parentPrefix(int64_t id, std::vector<int64_t>& chain) {
    int64_t parent = catalogue_.parent(id);
    if (parent == 0) {
        return 0;
    }
    int32_t prefix = childPrefix(parent, chain);
    return prefix == noPrefix ? noPath : prefix;
}

std::vector<int64_t> FilteredListing::select(int limit, bool directories) {
    if (limit < 1) {
        return {};
    }
    if (size_t(limit) > mostListed_) {
        throw std::logic_error("a filtered listing was asked for more than it was made for");
    }
    if (!scanned_) {
        scan();
    }
    struct Keyed {
        int64_t length;
        int64_t id;
    };
    auto before = [&](const Keyed& a, const Keyed& b) {
        if (a.length != b.length) {
            return a.length < b.length;
        }
        int order = catalogue_.compareNames(a.id, b.id);
        return order != 0 ? order < 0 : a.id < b.id;
    };
    // The best `limit` so far, the worst of them on top. The entries are grouped by their
    // paths' lengths, so once that length is above the worst path kept, nothing is left that
    // could take its place: a large set is decided from its shortest paths.
    size_t keep = size_t(limit);
    std::vector<Keyed> best;
    const Admitted::value_type& byLength = admitted_[directories ? 1 : 0];
    for (size_t length = 0; length < byLength.size(); ++length) {
        if (best.size() == keep && int64_t(length) > best.front().length) {
            break;
        }
        for (int64_t id : byLength[length]) {
            // Each length but the last holds the paths of that length alone.
            Keyed candidate{length < lengthBuckets - 1
                                ? int64_t(length)
                                : pathLength(parentPrefix(id, chain_), catalogue_.nameLength(id)),
                            id};
            if (best.size() < keep) {
                best.push_back(candidate);
                std::push_heap(best.begin(), best.end(), before);
            } else if (before(candidate, best.front())) {
                std::pop_heap(best.begin(), best.end(), before);
                best.back() = candidate;
                std::push_heap(best.begin(), best.end(), before);
            }
        }
    }
    std::sort_heap(best.begin(), best.end(), before);
    std::vector<int64_t> chosen;
    for (const Keyed& keyed : best) {
        chosen.push_back(keyed.id);
    }
    return chosen;
}

std::vector<IndexedEntry> rowsInOrder(sqlite3* reader, const std::vector<int64_t>& ids) {
    if (ids.empty()) {
        return {};
    }
    sql::Statement statement(reader, "SELECT e.id, e.name, e.is_directory, e.modified_at, e.size, "
                                     "e.allocated_size, e.is_dataless FROM entries AS e "
                                     "WHERE e.id IN (" +
                                         sql::joinedIDs(ids) + ");");
    std::unordered_map<int64_t, IndexedEntry> byID;
    for (IndexedEntry& entry : sql::readEntries(statement)) {
        byID.emplace(entry.id, std::move(entry));
    }
    std::vector<IndexedEntry> rows;
    for (int64_t id : ids) {
        auto found = byID.find(id);
        if (found == byID.end()) {
            throw CatalogueMismatch();
        }
        rows.push_back(std::move(found->second));
    }
    return rows;
}

} // namespace nexdir::detail
