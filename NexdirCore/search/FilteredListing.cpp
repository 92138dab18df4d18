#include "FilteredListing.h"

#include "NexdirError.h"
#include "RankedCandidates.h"
#include "SQLite.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

namespace nexdir::detail {

namespace {
// Longer than any path: an entry whose chain of parents is broken has none, and goes last.
constexpr int64_t noPath = std::numeric_limits<int64_t>::max() / 2;
constexpr size_t maximumDepth = 1 << 16;
} // namespace

void FilteredListing::scan() {
    scanned_ = true;
    for (int64_t id = 1; id < catalogue_.idLimit(); ++id) {
        if ((id & 0xFFFF) == 0 && cancellation_ && cancellation_->isCancelled()) {
            throw NexdirError::database(SQLITE_INTERRUPT, "Search failed: interrupted");
        }
        if (catalogue_.contains(id) && filter_.matches(id)) {
            admitted_[catalogue_.isDirectory(id) ? 1 : 0].push_back(id);
        }
    }
}

int64_t FilteredListing::pathLength(int64_t id) {
    if (pathLengths_.empty()) {
        pathLengths_.assign(size_t(catalogue_.idLimit()), -1);
    }
    // Climb to the first known length or to a volume root, then settle the lengths on the
    // way down: a root's path is its name, a child's its parent's, a "/" unless the parent's
    // path already ends with one, and its own name.
    std::vector<int64_t> chain;
    int64_t length = noPath;
    for (int64_t at = id;; at = catalogue_.parent(at)) {
        if (!catalogue_.contains(at) || chain.size() > maximumDepth) {
            break;
        }
        if (pathLengths_[size_t(at)] >= 0) {
            length = pathLengths_[size_t(at)];
            break;
        }
        chain.push_back(at);
        if (catalogue_.parent(at) == 0) {
            length = -1; // the root's own length is added below
            break;
        }
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        std::string_view name = catalogue_.name(*it);
        if (length >= noPath) {
            length = noPath; // stays without a path
        } else if (length < 0) {
            length = int64_t(name.size());
        } else {
            int64_t parent = catalogue_.parent(*it);
            bool slashEnds = catalogue_.parent(parent) == 0 && catalogue_.name(parent).ends_with('/');
            length += (slashEnds ? 0 : 1) + int64_t(name.size());
        }
        pathLengths_[size_t(*it)] = length;
    }
    return length;
}

std::vector<int64_t> FilteredListing::select(int limit, bool directories) {
    if (limit < 1) {
        return {};
    }
    if (!scanned_) {
        scan();
    }
    const std::vector<int64_t>& admitted = admitted_[directories ? 1 : 0];
    struct Keyed {
        int64_t length;
        int64_t id;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(admitted.size());
    for (int64_t id : admitted) {
        keyed.push_back({pathLength(id), id});
    }
    size_t keep = std::min(keyed.size(), size_t(limit));
    std::partial_sort(keyed.begin(), keyed.begin() + long(keep), keyed.end(),
                      [&](const Keyed& a, const Keyed& b) {
                          if (a.length != b.length) {
                              return a.length < b.length;
                          }
                          int order = catalogue_.name(a.id).compare(catalogue_.name(b.id));
                          return order != 0 ? order < 0 : a.id < b.id;
                      });
    std::vector<int64_t> chosen;
    for (size_t i = 0; i < keep; ++i) {
        chosen.push_back(keyed[i].id);
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
