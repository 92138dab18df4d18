#include "QueryFilter.h"

#include "Normalize.h"
#include "Paths.h"
#include "SQLite.h"

#include <algorithm>
#include <atomic>

namespace nexdir::detail {

namespace {

// Deeper than any path can be; a damaged tree with a loop ends its climb here.
constexpr size_t maximumDepth = 1 << 16;

bool holds(std::string_view name, uint64_t nameMark, std::string_view text, uint64_t textMark) {
    return (nameMark & textMark) == textMark && name.find(text) != std::string_view::npos;
}

// The byte-pair mark that every name a wildcard pattern matches has: the pairs of each run of
// literal text between wildcards.
uint64_t literalMark(std::string_view pattern) {
    uint64_t mark = 0;
    size_t start = 0;
    while (start < pattern.size()) {
        size_t wildcard = std::min(pattern.find_first_of("*?", start), pattern.size());
        mark |= NameCatalogue::pairMark(pattern.substr(start, wildcard - start));
        start = wildcard + 1;
    }
    return mark;
}

std::vector<std::string> pathComponents(std::string_view path) {
    std::vector<std::string> components;
    size_t start = 0;
    while (start < path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) {
            slash = path.size();
        }
        if (slash > start) {
            components.emplace_back(path.substr(start, slash - start));
        }
        start = slash + 1;
    }
    return components;
}

} // namespace

QueryFilter::QueryFilter(const QueryNode& filter, const NameCatalogue& catalogue, sqlite3* reader)
    : catalogue_(catalogue),
      // A filter of one term is tested as that term, without a list around it.
      root_(compile(filter.kind == QueryNode::Kind::all && filter.children.size() == 1
                        ? filter.children[0]
                        : filter,
                    reader)) {}

QueryFilter::Term QueryFilter::compile(const QueryNode& node, sqlite3* reader) {
    Term term;
    term.kind = node.kind;
    term.text = node.text;
    term.directories = node.directories;
    term.low = node.low;
    term.high = node.high;
    term.from = node.from;
    term.until = node.until;
    for (const QueryNode& child : node.children) {
        term.children.push_back(compile(child, reader));
    }
    for (const std::string& extension : node.texts) {
        term.suffixes.push_back("." + extension);
        // A name ending with ".tar.gz" has "gz" after its last dot.
        size_t dot = extension.rfind('.');
        term.extensionMarks.push_back(NameCatalogue::extensionMark(
            dot == std::string::npos ? extension : std::string_view(extension).substr(dot + 1)));
    }
    switch (node.kind) {
    case QueryNode::Kind::word:
        term.mark = NameCatalogue::pairMark(node.text);
        break;
    case QueryNode::Kind::wildcard:
        term.pattern = WildcardPattern(node.text);
        break;
    case QueryNode::Kind::folderPath:
    case QueryNode::Kind::folderName:
        // Sized before any test: two threads may test the filter at once.
        term.scope = std::make_unique<Scope>();
        term.scope->known.assign(size_t(catalogue_.idLimit()), 0);
        if (node.kind == QueryNode::Kind::folderPath) {
            resolvePath(node.text, reader, *term.scope);
        } else {
            findFolders(node.text, *term.scope);
        }
        break;
    default:
        break;
    }
    settleCost(term);
    return term;
}

void QueryFilter::settleCost(Term& term) {
    using Kind = QueryNode::Kind;
    switch (term.kind) {
    case Kind::all:
    case Kind::any: {
        // Either order gives the same answer; the cheap tests first spare reading names.
        std::stable_sort(term.children.begin(), term.children.end(),
                         [](const Term& a, const Term& b) { return a.cost < b.cost; });
        bool all = term.kind == Kind::all;
        term.required = all ? 0 : ~uint64_t(0);
        for (const Term& child : term.children) {
            term.required = all ? term.required | child.required : term.required & child.required;
            term.cost = std::max(term.cost, child.cost);
        }
        if (term.children.empty()) {
            term.required = 0;
        }
        break;
    }
    case Kind::negation:
        term.cost = term.children[0].cost;
        break;
    case Kind::word:
        term.required = term.mark;
        term.cost = 1;
        break;
    case Kind::wildcard:
        term.required = literalMark(term.text);
        term.cost = 1;
        break;
    case Kind::extension:
        term.required = term.suffixes.empty() ? 0 : ~uint64_t(0);
        for (const std::string& suffix : term.suffixes) {
            term.required &= NameCatalogue::pairMark(suffix);
        }
        break;
    case Kind::folderPath:
    case Kind::folderName:
        term.cost = 2;
        break;
    default:
        break;
    }
}

void QueryFilter::findFolders(const std::string& name, Scope& scope) const {
    bool wildcard = name.find_first_of("*?") != std::string::npos;
    WildcardPattern pattern(name);
    // Lengths, first bytes and marks sit in arrays by identifier: most names are ruled out
    // without being read.
    uint64_t wanted = literalMark(name);
    const uint64_t* marks = catalogue_.pairMarks();
    const uint8_t* firstBytes = catalogue_.firstBytes();
    for (int64_t id = 1; id < catalogue_.idLimit(); ++id) {
        if ((marks[id] & wanted) != wanted || !catalogue_.contains(id) ||
            !catalogue_.isDirectory(id)) {
            continue;
        }
        if (wildcard ? pattern.matches(catalogue_.searchName(id))
                     : catalogue_.searchName(id).size() == name.size() &&
                           firstBytes[id] == uint8_t(name.front()) &&
                           catalogue_.searchName(id) == name) {
            scope.folders.insert(id);
        }
    }
}

void QueryFilter::resolvePath(const std::string& path, sqlite3* reader, Scope& scope) const {
    // The volume root the path lies in, then one folder per component: the stored name as
    // typed, or else one that folds to the same search name. A volume mounted below the path
    // is under it as well, though its entries' parents never reach the folder.
    sql::Statement roots(reader, "SELECT id, name FROM entries WHERE parent_id = 0;");
    int64_t folder = 0;
    std::string root;
    while (roots.step() == SQLITE_ROW) {
        std::string name = roots.columnText(1);
        if (isAtOrUnder(name, path) && name != path) {
            scope.roots.insert(roots.columnInt(0));
            scope.folders.insert(roots.columnInt(0));
        }
        if (isAtOrUnder(path, name) && (folder == 0 || name.size() > root.size())) {
            folder = roots.columnInt(0);
            root = name;
        }
    }
    if (folder == 0) {
        return;
    }
    sql::Statement exact(reader, "SELECT id FROM entries WHERE parent_id = ? AND name = ?;");
    sql::Statement folded(reader, "SELECT id FROM entries WHERE parent_id = ? AND search_name = ? "
                                  "ORDER BY id LIMIT 1;");
    for (const std::string& component : pathComponents(path.substr(root.size()))) {
        int64_t next = 0;
        exact.reset();
        exact.bindInt(1, folder);
        exact.bindText(2, component);
        if (exact.step() == SQLITE_ROW) {
            next = exact.columnInt(0);
        } else {
            folded.reset();
            folded.bindInt(1, folder);
            folded.bindText(2, normalizeForSearch(component));
            if (folded.step() == SQLITE_ROW) {
                next = folded.columnInt(0);
            }
        }
        if (next == 0) {
            return;
        }
        folder = next;
    }
    scope.folders.insert(folder);
}

bool QueryFilter::atOrUnder(Scope& scope, int64_t id) {
    // Two threads may settle the same folder: they write the same value.
    auto known = [&](int64_t at) { return std::atomic_ref<uint8_t>(scope.known[size_t(at)]); };
    thread_local std::vector<int64_t> chain;
    chain.clear();
    bool found = false;
    for (int64_t at = id; catalogue_.contains(at) && chain.size() <= maximumDepth;
         at = catalogue_.parent(at)) {
        if (uint8_t settled = known(at).load(std::memory_order_relaxed)) {
            found = settled == 1;
            break;
        }
        chain.push_back(at);
        if (scope.folders.count(at)) {
            found = true;
            break;
        }
    }
    for (int64_t at : chain) {
        known(at).store(found ? 1 : 2, std::memory_order_relaxed);
    }
    return found;
}

bool QueryFilter::test(Term& term, int64_t id) {
    using Kind = QueryNode::Kind;
    switch (term.kind) {
    case Kind::all:
        for (Term& child : term.children) {
            if (!test(child, id)) {
                return false;
            }
        }
        return true;
    case Kind::any:
        for (Term& child : term.children) {
            if (test(child, id)) {
                return true;
            }
        }
        return false;
    case Kind::negation:
        return !test(term.children[0], id);
    case Kind::word:
        return holds(catalogue_.searchName(id), catalogue_.pairMarks()[id], term.text, term.mark);
    case Kind::wildcard:
        return term.pattern.matches(catalogue_.searchName(id));
    case Kind::kind:
        return catalogue_.isDirectory(id) == term.directories;
    case Kind::extension: {
        if (catalogue_.isDirectory(id)) {
            return false;
        }
        // The mark sits beside the other per-entry values; the name, anywhere in memory, is
        // read only for the few entries whose mark agrees.
        uint8_t mark = catalogue_.extensionMark(id);
        if (std::find(term.extensionMarks.begin(), term.extensionMarks.end(), mark) ==
            term.extensionMarks.end()) {
            return false;
        }
        std::string_view name = catalogue_.searchName(id);
        // A name that is all extension (".pdf") has none. The last byte rules out most names
        // before the rest is compared.
        return std::any_of(term.suffixes.begin(), term.suffixes.end(), [&](const std::string& s) {
            return name.size() > s.size() && name.back() == s.back() && name.ends_with(s);
        });
    }
    case Kind::size: {
        int64_t size = catalogue_.size(id);
        return !catalogue_.isDirectory(id) && size >= term.low && size <= term.high;
    }
    case Kind::modified: {
        double modified = catalogue_.modifiedSecond(id);
        return modified >= term.from && modified < term.until;
    }
    case Kind::folderPath:
    case Kind::folderName: {
        int64_t parent = catalogue_.parent(id);
        return parent == 0 ? term.scope->roots.count(id) != 0 : atOrUnder(*term.scope, parent);
    }
    }
    return false;
}

} // namespace nexdir::detail
