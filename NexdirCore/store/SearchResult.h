#pragma once

#include "IndexedEntry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace nexdir {

// One hit returned to the application, identified by `id`; equal only when every field is.
struct SearchResult {
    int64_t id = 0;
    std::string name; // display name: a volume root shows its last path component
    std::string path; // full path rebuilt from the entry's ancestors
    bool isDirectory = false;
    double modifiedAt = 0;
    int64_t size = 0;
    int score = 0; // relevance; 0 when the result does not come from a text search
    std::optional<int64_t> allocatedSize;
    bool isDataless = false;

    // The result for a row and its rebuilt path: a volume root shows its last path component,
    // an allocated size of -1 (measured, unavailable) reads as absent, the score is 0.
    static SearchResult from(const IndexedEntry& entry, std::string path);
    // The results for rows, in their order, with their paths taken from `paths`; a row
    // without one (its chain of parents is broken) is left out.
    static std::vector<SearchResult> fromRows(const std::vector<IndexedEntry>& entries,
                                              std::unordered_map<int64_t, std::string> paths);

    // True when the path lies in a Trash: a component ".Trash" or ".Trashes", a freedesktop
    // volume Trash ".Trash-<uid>", or the user's own Trash under $XDG_DATA_HOME/Trash.
    bool isInTrash() const;

    bool operator==(const SearchResult&) const = default;
};

// The outcome of one search or largest-files query.
struct SearchResponse {
    std::vector<SearchResult> results;
    double durationMilliseconds = 0;
};

} // namespace nexdir
