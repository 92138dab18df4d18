#pragma once

// The candidates of one search ranked once, then read in rank order (internal to the index
// store).
//
// A candidate's rank depends only on its own search name, and so does the condition on the
// last word. One statement therefore ranks every row that meets the own-name conditions and
// the narrowing, reading no more than it must (for a prefix range, only the name index). Each
// pass then walks that ranking in whole groups of equal rank and runs its full statement
// restricted to the group's identifiers: ancestors, kind and grouping are tested only for
// rows that can still make the list, and the batch comes back in the statement's own order.
// Batches in rank order concatenate to exactly what the statement returns over all rows.

#include "CandidateQuery.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nexdir::detail {

class RankedCandidates {
public:
    // The caller holds the reader's lock and an open read transaction for the object's life.
    RankedCandidates(sqlite3* reader, std::string query, std::vector<std::string> tokens);

    // What the plain statement of one pass returns, row for row.
    std::vector<IndexedEntry> select(int limit, bool directories,
                                     const std::vector<int64_t>& groupedFolderIDs);

private:
    struct Ranked {
        int64_t rank;
        int64_t id;
        int kind; // 1 folder, 0 file, -1 not read by the ranking statement
    };

    void rankOnce();
    void sortByRank();
    int64_t rankOf(std::string_view searchName) const;

    sqlite3* reader_;
    std::string query_;
    std::vector<std::string> tokens_;
    CandidateSource source_;
    bool rankedAlready_ = false;
    std::vector<Ranked> ranked_; // best rank first
};

} // namespace nexdir::detail
