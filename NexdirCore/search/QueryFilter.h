#pragma once

// A query's filters and operators, tested entry by entry against the names held in memory
// (internal to the search).
//
// Built for one search, inside its read transaction: folders named by `in:` are looked up
// then, and what is learnt about folders is kept for the rest of the search, so that testing
// every entry of the index costs one climb per folder, not one per entry. `matches` may be
// called from several threads at once.

#include "NameCatalogue.h"
#include "Query.h"

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace nexdir::detail {

class QueryFilter {
public:
    // `reader` has the read transaction `catalogue` is in step with open.
    QueryFilter(const QueryNode& filter, const NameCatalogue& catalogue, sqlite3* reader);
    QueryFilter(const QueryFilter&) = delete;
    QueryFilter& operator=(const QueryFilter&) = delete;

    // Whether the entry `id`, held by the catalogue, satisfies the filter; any thread.
    bool matches(int64_t id) { return test(root_, id); }
    // True when the filter holds for every entry.
    bool acceptsEverything() const {
        return root_.kind == QueryNode::Kind::all && root_.children.empty();
    }
    // The byte-pair mark (NameCatalogue::pairMark) that the search name of every entry the
    // filter admits has all the bits of: what its words, wildcards and extensions need. A
    // scan rules out most names with it before testing the filter.
    uint64_t requiredMark() const { return root_.required; }

private:
    // The folders an `in:` names, and what is known of each folder of the index: whether it
    // is one of them or below one.
    struct Scope {
        std::unordered_set<int64_t> folders;
        std::unordered_set<int64_t> roots; // volume roots whose own path lies under the path
        std::vector<uint8_t> known;        // by identifier: 0 not yet, 1 at or under, 2 neither
    };
    struct Term {
        QueryNode::Kind kind;
        std::vector<Term> children;
        std::string text;
        uint64_t mark = 0;                 // the text's byte-pair mark
        std::vector<std::string> suffixes; // "." + extension
        std::vector<uint8_t> extensionMarks; // NameCatalogue::extensionMark of each
        WildcardPattern pattern;
        bool directories = false;
        int64_t low = 0, high = 0;
        double from = 0, until = 0;
        std::unique_ptr<Scope> scope;
        uint64_t required = 0; // see requiredMark()
        int cost = 0;          // 0 read beside the name, 1 reads the name, 2 climbs folders
    };

    Term compile(const QueryNode& node, sqlite3* reader);
    // The required mark and the cost of `term`, whose children have theirs, and its children
    // in the order that decides the cheapest first.
    static void settleCost(Term& term);
    // The folders whose search name is `name`, or matches it when it has wildcards.
    void findFolders(const std::string& name, Scope& scope) const;
    bool test(Term& term, int64_t id);
    // Whether the folder `id` is one of the scope's or lies below one.
    bool atOrUnder(Scope& scope, int64_t id);
    // The folder at `path` into `scope.folders`, and the volume roots below it into
    // `scope.roots`.
    void resolvePath(const std::string& path, sqlite3* reader, Scope& scope) const;

    const NameCatalogue& catalogue_;
    Term root_;
};

} // namespace nexdir::detail
