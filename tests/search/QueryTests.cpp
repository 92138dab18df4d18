#include "NameSearch.h"
#include "Paths.h"
#include "Query.h"
#include "SearchIndex.h"
#include "TestSupport.h"
#include "Unicode.h"

#include <gtest/gtest.h>

#include <fnmatch.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <map>
#include <random>
#include <set>

using namespace nexdir;
using nexdir::test::TempDirectory;
using nexdir::test::TreeBuilder;

namespace {

std::vector<std::string> pathsOf(const std::vector<SearchResult>& results) {
    std::vector<std::string> paths;
    for (const SearchResult& result : results) {
        paths.push_back(result.path);
    }
    return paths;
}

std::string errorOf(const std::string& query) {
    try {
        parseQuery(query, 1.7e9);
    } catch (const QueryError& error) {
        return error.what();
    }
    return "";
}

} // namespace

TEST(QueryTest, ReadsTheLanguageAndSaysWhatItCannotRead) {
    // Words alone are searched as typed; anything else is parsed, OR tighter than a space.
    EXPECT_TRUE(parseQuery("photos  2024 a-b x) c:d report(1).pdf", 0).plain);
    ParsedQuery parsed = parseQuery("file: *.iso | *.IMG", 0);
    ASSERT_FALSE(parsed.plain);
    EXPECT_TRUE(parsed.words.empty());
    ASSERT_EQ(parsed.filter.children.size(), 2u);
    EXPECT_EQ(parsed.filter.children[1].kind, QueryNode::Kind::any);
    EXPECT_EQ(parsed.filter.children[1].children[1].text, "*.img");
    parsed = parseQuery("Tax \"Annual  Report\" ext:PDF;.jpg size:1.5kb..5mb -draft", 0);
    EXPECT_EQ(parsed.words, (std::vector<std::string>{"tax", "annual  report"}));
    ASSERT_EQ(parsed.filter.children.size(), 3u);
    EXPECT_EQ(parsed.filter.children[0].texts, (std::vector<std::string>{"pdf", "jpg"}));
    EXPECT_EQ(parsed.filter.children[1].low, 1500);
    EXPECT_EQ(parsed.filter.children[1].high, 5'000'000);
    EXPECT_EQ(parsed.filter.children[2].kind, QueryNode::Kind::negation);

    const std::vector<std::pair<std::string, std::string>> refused = {
        {"sise:>1mb", "Unknown filter sise: \u2014 did you mean size:?"},
        {"report date:today", "Unknown filter date: \u2014 did you mean dm:?"},
        {"size:>12parsecs", "Could not read the size in size:>12parsecs \u2014 try size:>100mb, "
                            "size:1kb..5mb or size:0"},
        {"dm:2024-02-30", "Could not read the date in dm:2024-02-30 \u2014 try dm:today, "
                          "dm:2024-03, dm:<7d or dm:2024-01-01..2024-06-30"},
        {"size:1kb..5", "size:1kb..5 ends before it starts \u2014 try size:1kb..5mb"},
        {"(a | b", "A ( is not closed"},
        {"a ) b", "A ) has no matching ("},
        {"a |", "| needs a term on each side, as in *.iso | *.img"},
        {"OR a", "OR needs a term on each side, as in *.iso | *.img"},
        {"a NOT", "NOT needs a term after it, as in NOT tmp"},
        {"ext:", "ext: needs an extension, as in ext:pdf or ext:jpg;png"},
        {"in:", "in: needs a folder, as in in:Documents or in:~/Projects"},
        {std::string(5000, '(') + "a" + std::string(5000, ')'),
         "Parentheses and NOT are nested too deeply (at most 64 levels)"},
        {std::string(5000, '-') + "a",
         "Parentheses and NOT are nested too deeply (at most 64 levels)"},
    };
    for (const auto& [query, message] : refused) {
        EXPECT_EQ(errorOf(query), message) << query.substr(0, 40);
    }
    std::string many;
    for (int i = 0; i < 3000; ++i) {
        many += "w" + std::to_string(i) + " | ";
    }
    EXPECT_EQ(errorOf(many + "end"), "Too many filters and operators in one query (at most 256)");

    // Every * but one of a run is dropped; a pattern needing more characters than a name has
    // is ruled out before it is tried.
    EXPECT_EQ(parseQuery(std::string(5000, '*') + ".iso", 0).filter.children[0].text, "*.iso");
    std::string questions(5000, '?');
    EXPECT_FALSE(WildcardPattern(questions).matches("short.iso"));
    EXPECT_TRUE(WildcardPattern("img_20??*").matches("img_2024_0001.jpg"));
    EXPECT_TRUE(WildcardPattern("*.tar.gz").matches("a.tar.gz"));
    EXPECT_FALSE(WildcardPattern("*.tar.gz").matches("a.tar.gz.part"));
    EXPECT_TRUE(WildcardPattern("?t?").matches("\xC3\xA9t\xC3\xA9")); // ? is one character
    EXPECT_TRUE(WildcardPattern("a*b*a").matches("aba"));
    EXPECT_FALSE(WildcardPattern("a*b*a").matches("ab"));
}

TEST(QueryTest, NamesWithTheLanguagesCharactersStayFindable) {
    TempDirectory folder;
    SearchIndex index{folder / "index.sqlite3"};
    NameSearch names{index};
    TreeBuilder tree{index, "/"};
    int64_t odd = tree.folder(tree.root(), "a|b (c) -d");
    tree.file(odd, "note:todo *star*.txt");
    tree.file(tree.root(), "say \"hi\".txt");
    tree.file(tree.root(), "report (1).pdf", 2'000);
    tree.file(tree.root(), "Backup.TAR.GZ");
    auto found = [&](const std::string& query) { return pathsOf(names.search(query, 50).results); };
    EXPECT_EQ(found("note:todo"), std::vector<std::string>{"/a|b (c) -d/note:todo *star*.txt"});
    EXPECT_EQ(found("\"*star*\""), std::vector<std::string>{"/a|b (c) -d/note:todo *star*.txt"});
    EXPECT_EQ(found("\"a|b (c) -d\""), std::vector<std::string>{"/a|b (c) -d"});
    EXPECT_EQ(found("\"hi\".txt ext:txt"), std::vector<std::string>{"/say \"hi\".txt"});
    EXPECT_EQ(found("report (1).pdf"), std::vector<std::string>{"/report (1).pdf"});
    EXPECT_EQ(found("ext:tar.gz"), std::vector<std::string>{"/Backup.TAR.GZ"});
    EXPECT_EQ(found("report(1).pdf size:2kb"), std::vector<std::string>{});
    EXPECT_EQ(found("in:\"a|b (c) -d\" file:"),
              std::vector<std::string>{"/a|b (c) -d/note:todo *star*.txt"});
    EXPECT_THROW(names.search("size:>x", 50), QueryError);
}

// ---- An independent evaluation of random queries, compared on random trees ----

namespace {

struct Entry {
    int64_t id;
    int64_t parent;
    std::string name;
    bool isDirectory;
    int64_t size;
    double modifiedAt;
};

struct LocalDate {
    int year, month, day;
    auto operator<=>(const LocalDate&) const = default;
};

LocalDate dateOf(double seconds) {
    std::time_t t = std::time_t(seconds);
    std::tm local{};
    localtime_r(&t, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

double localNoon(LocalDate date, int daysLater = 0) {
    std::tm fields{};
    fields.tm_year = date.year - 1900;
    fields.tm_mon = date.month - 1;
    fields.tm_mday = date.day + daysLater;
    fields.tm_hour = 12;
    fields.tm_isdst = -1;
    return double(std::mktime(&fields));
}

const std::vector<std::string> syllables = {"ab", "ba", "cab", "x", "Photo", "2024", "\xC3\xA9",
                                            "da", " ",  "-",   ".", "iso",   "img",  "Tar"};

struct QueryTree {
    using Test = std::function<bool(const Entry&)>;

    explicit QueryTree(unsigned seed) : random(seed) {
        now = double(std::time(nullptr));
        today = dateOf(now);
        // A quarter second before 2024-04-01 and 2024-07-01 start, and a time past 2038.
        modifiedTimes = {localNoon(today),         localNoon(today, -1),
                         localNoon(today, -3),     now - 10 * 86400.0,
                         localNoon({2024, 3, 15}), localNoon({2024, 7, 1}),
                         localNoon({2023, 12, 31}), localNoon({2024, 3, 31}) + 43199.75,
                         localNoon({2024, 6, 30}) + 43199.75, 4102444800.5};
        std::vector<int64_t> folders;
        auto add = [&](Entry entry) {
            entries[entry.id] = entry;
            records.emplace_back(entry.id, entry.parent, entry.name, entry.isDirectory,
                                 entry.modifiedAt, entry.size, std::nullopt, false);
            if (entry.isDirectory) {
                folders.push_back(entry.id);
            }
        };
        for (const char* root : {"/", "/srv/ab-disk"}) {
            add({index.reserveID(), 0, root, true, 0, 0});
        }
        std::set<std::pair<int64_t, std::string>> used;
        for (int i = 0; i < 300; ++i) {
            int64_t parent = folders[random() % folders.size()];
            std::string name;
            for (int part = 0, parts = 1 + int(random() % 3); part < parts; ++part) {
                name += syllables[random() % syllables.size()];
            }
            if (random() % 2) {
                name += random() % 2 ? ".txt" : ".Ab";
            }
            // No file is named "." or "..".
            if (name != "." && name != ".." && used.insert({parent, name}).second) {
                add({index.reserveID(), parent, name, random() % 4 == 0, pickSize(), pickTime()});
            }
        }
        index.upsert(records);
    }

    int64_t pickSize() {
        static const int64_t sizes[] = {0, 999, 1000, 1500, 2'000'000, 5'000'000'000};
        return sizes[random() % 6];
    }
    double pickTime() { return modifiedTimes[random() % modifiedTimes.size()]; }

    const Entry& randomEntry() {
        return std::next(entries.begin(), long(random() % entries.size()))->second;
    }
    std::string norm(const std::string& text) const { return SearchIndex::normalize(text); }
    std::string pathOf(const Entry& entry) const {
        return entry.parent == 0
                   ? entry.name
                   : appendingPathComponent(pathOf(entries.at(entry.parent)), entry.name);
    }
    bool underFolderNamed(const Entry& entry, const std::string& name) const {
        for (int64_t at = entry.parent; at != 0; at = entries.at(at).parent) {
            if (norm(entries.at(at).name) == norm(name)) {
                return true;
            }
        }
        return false;
    }
    // A piece of a name made of letters and digits only, so that it reads as one word.
    std::string wordPiece() {
        while (true) {
            std::string name = norm(randomEntry().name);
            size_t start = random() % name.size();
            std::string piece = name.substr(start, 2 + random() % 4);
            if (std::all_of(
                    piece.begin(), piece.end(),
                    [](char c) { return std::isalnum(uint8_t(c)) || uint8_t(c) >= 0x80; }) &&
                isValidUTF8(piece)) {
                return piece;
            }
        }
    }

    // A filter, a wildcard, or (nested) a word or phrase: its text and its test.
    std::pair<std::string, Test> atom(bool nested) {
        auto file = [](const Entry& e) { return !e.isDirectory; };
        switch (random() % (nested ? 14 : 12)) {
        case 0:
            return {"file:", file};
        case 1:
            return {"folder:", [](const Entry& e) { return e.isDirectory; }};
        case 2: {
            std::string ext = random() % 2 ? "txt" : "AB;iso";
            return {"ext:" + ext, [this, ext](const Entry& e) {
                        std::string name = norm(e.name);
                        auto ends = [&](const std::string& s) {
                            return name.size() > s.size() + 1 && name.ends_with("." + s);
                        };
                        return !e.isDirectory &&
                               (ext == "txt" ? ends("txt") : ends("ab") || ends("iso"));
                    }};
        }
        case 3: {
            static const std::vector<std::tuple<std::string, int64_t, int64_t>> sizes = {
                {"size:0", 0, 0},
                {"size:>1mb", 1'000'001, INT64_MAX},
                {"size:1kb..5mb", 1000, 5'000'000},
                {"size:<1.5kb", 0, 1499},
                {"size:>=5GB", 5'000'000'000, INT64_MAX}};
            auto [text, low, high] = sizes[random() % sizes.size()];
            return {text, [file, low, high](const Entry& e) {
                        return file(e) && e.size >= low && e.size <= high;
                    }};
        }
        case 4:
        case 5: {
            LocalDate yesterday = dateOf(localNoon(today, -1));
            std::vector<std::pair<std::string, Test>> dates = {
                {"dm:today", [this](const Entry& e) { return dateOf(e.modifiedAt) == today; }},
                {"dm:yesterday",
                 [yesterday](const Entry& e) { return dateOf(e.modifiedAt) == yesterday; }},
                {"dm:2024", [](const Entry& e) { return dateOf(e.modifiedAt).year == 2024; }},
                {"dm:2024-03",
                 [](const Entry& e) {
                     LocalDate d = dateOf(e.modifiedAt);
                     return d.year == 2024 && d.month == 3;
                 }},
                {"dm:2024-01-01..2024-06-30",
                 [](const Entry& e) {
                     LocalDate d = dateOf(e.modifiedAt);
                     return d >= LocalDate{2024, 1, 1} && d <= LocalDate{2024, 6, 30};
                 }},
                {"dm:<7d", [this](const Entry& e) { return now - e.modifiedAt < 7 * 86400.0; }},
                {"dm:>30d", [this](const Entry& e) { return now - e.modifiedAt > 30 * 86400.0; }},
            };
            return dates[random() % dates.size()];
        }
        case 6: {
            const Entry* folder = &randomEntry();
            while (!folder->isDirectory || folder->parent == 0) {
                folder = &randomEntry();
            }
            std::string name = folder->name;
            return {"in:\"" + name + "\"",
                    [this, name](const Entry& e) { return underFolderNamed(e, name); }};
        }
        case 7: {
            const Entry* folder = &randomEntry();
            while (!folder->isDirectory) {
                folder = &randomEntry();
            }
            std::string path = pathOf(*folder);
            return {"in:\"" + path + "\"", [this, path](const Entry& e) {
                        return isAtOrUnder(pathOf(e), path) && pathOf(e) != path;
                    }};
        }
        default: {
            if (nested && random() % 2) {
                std::string piece = wordPiece();
                bool phrase = random() % 2;
                return {phrase ? "\"" + piece + "\"" : piece, [this, piece](const Entry& e) {
                            return norm(e.name).find(piece) != std::string::npos;
                        }};
            }
            // A wildcard from a name: pieces of it replaced by * and single letters by ?.
            std::string name = norm(randomEntry().name);
            std::string pattern;
            while (pattern.empty() || !isValidUTF8(pattern)) {
                pattern.clear();
                for (size_t i = 0; i < name.size(); ++i) {
                    char c = name[i];
                    if (std::string(" |()\"-").find(c) != std::string::npos && pattern.empty()) {
                        pattern += '*';
                    } else if (random() % 6 == 0) {
                        pattern += '*';
                        i += random() % 3;
                    } else if (std::isalpha(uint8_t(c)) && random() % 5 == 0) {
                        pattern += '?';
                    } else if (c == ' ' || c == '|' || c == '(' || c == ')' || c == '"') {
                        pattern += '?';
                    } else {
                        pattern += c;
                    }
                }
                if (pattern.find_first_of("*?") == std::string::npos) {
                    pattern += '*';
                }
            }
            return {pattern, [this, pattern](const Entry& e) {
                        return fnmatch(pattern.c_str(), norm(e.name).c_str(), FNM_NOESCAPE) == 0;
                    }};
        }
        }
    }

    // A term at any depth; at the top it is never a bare word, which would rank.
    std::pair<std::string, Test> term(int depth, bool nested) {
        unsigned choice = depth >= 2 ? 0 : random() % 10;
        if (choice < 5) {
            return atom(nested);
        }
        if (choice < 7) {
            auto [text, test] = term(depth + 1, true);
            bool group = text.find(' ') != std::string::npos && text.front() != '(';
            return {(random() % 2 ? "-" : "NOT ") + (group ? "(" + text + ")" : text),
                    [test](const Entry& e) { return !test(e); }};
        }
        auto [left, first] = term(depth + 1, true);
        auto [right, second] = term(depth + 1, true);
        if (choice < 9) {
            return {"(" + left + (random() % 2 ? " | " : " OR ") + right + ")",
                    [first, second](const Entry& e) { return first(e) || second(e); }};
        }
        return {"(" + left + " " + right + ")",
                [first, second](const Entry& e) { return first(e) && second(e); }};
    }

    // What the search must return for top-level `words` and filter `test`: with words, the
    // entries the words find as a query of words alone does, a file inside a folder that is
    // listed left out; without, every entry the filter admits.
    std::set<std::string> expected(const std::vector<std::string>& words, const Test& test) const {
        auto wordsHold = [&](const Entry& e) {
            std::string name = norm(e.name);
            if (name.find(words.back()) == std::string::npos ||
                (words.size() == 1 && unicodeScalars(words[0]).size() < 3 &&
                 !name.starts_with(words[0]))) {
                return false;
            }
            for (size_t i = 0; i + 1 < words.size(); ++i) {
                bool found = name.find(words[i]) != std::string::npos;
                for (int64_t at = e.parent; at != 0 && !found; at = entries.at(at).parent) {
                    found = norm(entries.at(at).name).find(words[i]) != std::string::npos;
                }
                if (!found) {
                    return false;
                }
            }
            return true;
        };
        std::set<int64_t> folders;
        std::set<std::string> paths;
        for (const auto& [id, e] : entries) {
            if (e.isDirectory && test(e) && (words.empty() || wordsHold(e))) {
                folders.insert(id);
                paths.insert(pathOf(e));
            }
        }
        for (const auto& [id, e] : entries) {
            if (e.isDirectory || !test(e) || (!words.empty() && !wordsHold(e))) {
                continue;
            }
            bool grouped = false;
            for (int64_t at = e.parent; at != 0 && !words.empty(); at = entries.at(at).parent) {
                grouped = grouped || folders.count(at);
            }
            if (!grouped) {
                paths.insert(pathOf(e));
            }
        }
        return paths;
    }

    std::mt19937 random;
    double now;
    LocalDate today;
    std::vector<double> modifiedTimes;
    TempDirectory folder;
    SearchIndex index{folder / "index.sqlite3"};
    NameSearch names{index};
    std::map<int64_t, Entry> entries;
    std::vector<FileRecord> records;
};

} // namespace

TEST(QueryTest, RandomQueriesAgreeWithAnIndependentEvaluationOnRandomTrees) {
    for (unsigned seed : {1u, 2u, 3u}) {
        QueryTree tree(seed);
        auto check = [&](int round) {
            for (int i = 0; i < 150; ++i) {
                std::vector<std::string> words;
                std::string query;
                std::vector<QueryTree::Test> tests;
                for (int t = 0, terms = 1 + int(tree.random() % 3); t < terms; ++t) {
                    if (tree.random() % 3 == 0) {
                        words.push_back(tree.wordPiece());
                        query += words.back() + " ";
                    } else {
                        auto [text, test] = tree.term(0, false);
                        query += text + " ";
                        tests.push_back(test);
                    }
                }
                if (tests.empty()) {
                    continue; // words alone: the search model tests cover them
                }
                auto test = [&tests](const Entry& e) {
                    return std::all_of(tests.begin(), tests.end(),
                                       [&](const auto& one) { return one(e); });
                };
                SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round) +
                             ": " + query);
                if (i % 10 == 0) {
                    tree.names.setNameCatalogueEnabled(false); // the search loads its own
                }
                std::vector<SearchResult> results = tree.names.search(query, 1000).results;
                tree.names.setNameCatalogueEnabled(true);
                std::vector<std::string> paths = pathsOf(results);
                EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()),
                          tree.expected(words, test));
                EXPECT_EQ(paths.size(), std::set<std::string>(paths.begin(), paths.end()).size());
                if (words.empty()) {
                    // Folders first, then files; shorter paths first within each.
                    for (size_t r = 1; r < results.size(); ++r) {
                        const SearchResult& a = results[r - 1];
                        const SearchResult& b = results[r];
                        ASSERT_TRUE(
                            a.isDirectory > b.isDirectory ||
                            (a.isDirectory == b.isDirectory && a.path.size() <= b.path.size()))
                            << a.path << " before " << b.path;
                    }
                }
            }
        };
        check(0);
        // Sizes and times written later are followed by the names held in memory.
        std::vector<FileRecord> changed;
        for (auto& [id, entry] : tree.entries) {
            if (entry.parent != 0 && tree.random() % 3 == 0) {
                entry.size = tree.pickSize();
                entry.modifiedAt = tree.pickTime();
                changed.emplace_back(id, entry.parent, entry.name, entry.isDirectory,
                                     entry.modifiedAt, entry.size, std::nullopt, false);
            }
        }
        tree.index.upsert(changed);
        check(1);
        EXPECT_EQ(tree.names.catalogueDiscards(), 0);
    }
}
