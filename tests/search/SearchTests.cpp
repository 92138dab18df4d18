#include "NexdirError.h"
#include "Paths.h"
#include "Query.h"
#include "Ranking.h"
#include "SearchIndex.h"
#include "TestSupport.h"
#include "Unicode.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <thread>

using namespace nexdir;
using nexdir::test::RawDatabase;
using nexdir::test::TempDirectory;
using nexdir::test::TreeBuilder;

namespace {

class SearchTest : public ::testing::Test {
protected:
    TempDirectory folder;
    SearchIndex index{folder / "index.sqlite3"};
    NameSearch names{index};
    TreeBuilder tree{index, "/"};

    std::vector<std::string> paths(const std::string& query, int limit = 50) {
        std::vector<std::string> found;
        for (const auto& result : names.search(query, limit).results) {
            found.push_back(result.path);
        }
        return found;
    }
};

} // namespace

TEST_F(SearchTest, ShortQueriesFindNamesThatStartWithThem) {
    tree.file(tree.root(), "abacus.txt");
    tree.file(tree.root(), "xab.txt");
    tree.file(tree.root(), "AB");
    EXPECT_EQ(paths("ab"), (std::vector<std::string>{"/AB", "/abacus.txt"}));
    EXPECT_EQ(paths("x"), (std::vector<std::string>{"/xab.txt"}));
    EXPECT_EQ(paths("  R\xC3\xA9 "), std::vector<std::string>{});
}

TEST_F(SearchTest, LongerQueriesRankExactThenPrefixThenContains) {
    tree.file(tree.root(), "xabc");
    tree.file(tree.root(), "abcd");
    tree.file(tree.root(), "abc");
    auto results = names.search("abc", 10).results;
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].name, "abc");
    EXPECT_EQ(results[0].score, 10997);
    EXPECT_EQ(results[1].name, "abcd");
    EXPECT_EQ(results[1].score, 8696);
    EXPECT_EQ(results[2].name, "xabc");
    EXPECT_EQ(results[2].score, 6396);
}

TEST_F(SearchTest, QueriesAreTrimmedAndFolded) {
    int64_t resume = tree.file(tree.root(), "R\xC3\xA9sum\xC3\xA9.pdf");
    auto folded = names.search("  R\xC3\xA9sum\xC3\xA9\t", 10).results;
    auto plain = names.search("resume", 10).results;
    ASSERT_EQ(folded.size(), 1u);
    EXPECT_EQ(folded[0].id, resume);
    EXPECT_EQ(folded, plain);
    EXPECT_EQ(folded[0].path, "/R\xC3\xA9sum\xC3\xA9.pdf");
}

TEST_F(SearchTest, EqualRanksFallBackToLengthBinaryNameAndId) {
    int64_t lower = tree.file(tree.root(), "note-b");
    int64_t upper = tree.file(tree.root(), "Note-a");
    int64_t shorter = tree.file(tree.root(), "xnote");
    auto results = names.search("note", 10).results;
    ASSERT_EQ(results.size(), 3u);
    // "Note-a" and "note-b" rank alike; upper case sorts first in binary order.
    EXPECT_EQ(results[0].id, upper);
    EXPECT_EQ(results[1].id, lower);
    EXPECT_EQ(results[2].id, shorter);
}

TEST_F(SearchTest, FoldersTakeAtMostHalfTheLimitButAtLeastOnePlace) {
    int64_t matches = tree.folder(tree.root(), "matches");
    for (int i = 0; i < 3; ++i) {
        tree.folder(tree.root(), "match-folder-" + std::to_string(i));
    }
    for (int i = 0; i < 12; ++i) {
        tree.file(tree.root(), "match-file-" + std::to_string(i));
    }
    auto one = names.search("match", 1).results;
    ASSERT_EQ(one.size(), 1u);
    EXPECT_TRUE(one[0].isDirectory);

    auto ten = names.search("match", 10).results;
    ASSERT_EQ(ten.size(), 10u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(ten[i].isDirectory) << i;
    }
    for (size_t i = 4; i < 10; ++i) {
        EXPECT_FALSE(ten[i].isDirectory) << i;
    }
    EXPECT_EQ(ten[0].id, matches);

    auto files = names.search("match-file", 1).results;
    ASSERT_EQ(files.size(), 1u);
    EXPECT_FALSE(files[0].isDirectory);
}

TEST_F(SearchTest, FilesInsideAListedFolderAreNotListedAgain) {
    int64_t reports = tree.folder(tree.root(), "reports");
    tree.file(reports, "reports-2024.pdf");
    int64_t nested = tree.folder(reports, "archive");
    tree.file(nested, "old-reports.pdf");
    tree.file(tree.root(), "reports-elsewhere.pdf");
    EXPECT_EQ(paths("reports"), (std::vector<std::string>{"/reports", "/reports-elsewhere.pdf"}));
}

TEST_F(SearchTest, EveryWordButTheLastMayMatchAFolderAbove) {
    int64_t projects = tree.folder(tree.root(), "projects");
    int64_t year = tree.folder(projects, "2024");
    tree.file(year, "report.pdf");
    tree.file(tree.root(), "report.pdf");
    int64_t reportFolder = tree.folder(tree.root(), "report");
    tree.file(reportFolder, "projects.txt");
    EXPECT_EQ(paths("projects report"), (std::vector<std::string>{"/projects/2024/report.pdf"}));
    EXPECT_EQ(paths("projects 2024 rep"), (std::vector<std::string>{"/projects/2024/report.pdf"}));
}

TEST_F(SearchTest, AVolumeRootShowsItsLastComponent) {
    TreeBuilder data(index, "/srv/archive-disk");
    data.file(data.root(), "inside.txt");
    auto results = names.search("archive-disk", 10).results;
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].name, "archive-disk");
    EXPECT_EQ(results[0].path, "/srv/archive-disk");
    EXPECT_EQ(paths("inside"), std::vector<std::string>{"/srv/archive-disk/inside.txt"});
}

TEST_F(SearchTest, EntriesWithABrokenAncestorChainAreDropped) {
    int64_t docs = tree.folder(tree.root(), "docs");
    tree.file(docs, "orphan-report.txt");
    tree.file(tree.root(), "rooted-report.txt");
    RawDatabase(folder / "index.sqlite3")
        .execute("UPDATE entries SET parent_id = 999999 WHERE id = " + std::to_string(docs));
    EXPECT_EQ(paths("report"), std::vector<std::string>{"/rooted-report.txt"});
}

TEST_F(SearchTest, MeasuredSizesAreCopiedAndUnavailableOnesAreAbsent) {
    index.upsert(
        {FileRecord(index.reserveID(), tree.root(), "measured.bin", false, 5, 100, 4096, false),
         FileRecord(index.reserveID(), tree.root(), "unavailable.bin", false, 5, 100, -1, false)});
    auto measured = names.search("measured", 5).results;
    ASSERT_EQ(measured.size(), 1u);
    EXPECT_EQ(measured[0].allocatedSize, 4096);
    EXPECT_EQ(measured[0].modifiedAt, 5);
    auto unavailable = names.search("unavailable", 5).results;
    ASSERT_EQ(unavailable.size(), 1u);
    EXPECT_FALSE(unavailable[0].allocatedSize);
}

TEST_F(SearchTest, LimitsAreClamped) {
    std::vector<FileRecord> records;
    for (int i = 0; i < 1200; ++i) {
        records.emplace_back(index.reserveID(), tree.root(), "item" + std::to_string(i), false, 0,
                             0, std::nullopt, false);
    }
    index.upsert(records);
    EXPECT_EQ(names.search("item", 5000).results.size(), 1000u);
    EXPECT_EQ(names.search("it", 5000).results.size(), 1000u);
    EXPECT_TRUE(names.search("item", 0).results.empty());
    EXPECT_TRUE(names.search("item", -3).results.empty());
    EXPECT_EQ(names.search("item", 0).durationMilliseconds, 0);
}

TEST_F(SearchTest, HostileQueriesMatchLiterallyOrFindNothing) {
    tree.file(tree.root(), "say \"hi\".txt");
    tree.file(tree.root(), "100%_done*.txt");
    tree.file(tree.root(), "back\\slash");
    EXPECT_EQ(paths("say \"hi\""), std::vector<std::string>{"/say \"hi\".txt"});
    EXPECT_EQ(paths("\""), std::vector<std::string>{});
    EXPECT_EQ(paths("\"%_done*\""), std::vector<std::string>{"/100%_done*.txt"});
    EXPECT_EQ(paths("%"), std::vector<std::string>{});
    EXPECT_EQ(paths("_"), std::vector<std::string>{});
    EXPECT_EQ(paths("\"*\""), std::vector<std::string>{});
    EXPECT_EQ(paths("k\\s"), std::vector<std::string>{"/back\\slash"});
    for (std::string query :
         {std::string("\xFF\xFE"), std::string("\xED\xA0\x80"), std::string("a\x01\x02 b\x7F"),
          std::string(" \t\n\r "), std::string("\xCC\x81"), std::string(10000, 'q'),
          std::string("x\0y", 3), std::string("a OR b NOT \"c\" NEAR(d)"),
          std::string("') ; DROP TABLE entries; --")}) {
        EXPECT_NO_THROW(names.search(query, 50)) << query;
    }
    EXPECT_TRUE(names.search("\xCC\x81", 50).results.empty()); // folds to nothing
    EXPECT_EQ(index.statistics().indexedItems, 4);
}

TEST_F(SearchTest, ScoresCountUserPerceivedCharacters) {
    // A family emoji is five code points but one character.
    std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
    EXPECT_EQ(Ranking::score("abc" + family, "abc", {"abc"}),
              Ranking::queryPrefix + Ranking::wordPrefix - 4);
    EXPECT_EQ(Ranking::score(std::string(300, 'a'), "zz", {"zz"}), -Ranking::lengthCap);
    EXPECT_EQ(Ranking::score("photo.jpg", "photos ab", {"photos", "ab"}), -9);
}

TEST_F(SearchTest, ACancelledTokenStopsTheSearchBeforeItStarts) {
    tree.file(tree.root(), "anything");
    auto token = std::make_shared<SearchCancellation>();
    token->cancel();
    EXPECT_THROW(names.search("anything", 10, token), SearchCancelledError);
    // The reader was left clean: the next search works.
    EXPECT_EQ(names.search("anything", 10, std::make_shared<SearchCancellation>()).results.size(),
              1u);
}

TEST_F(SearchTest, HostileLongQueriesAnswerWithoutSQLErrors) {
    int64_t odd = tree.folder(tree.root(), "back\\slash \"quoted\"");
    tree.file(odd, "tab\x01"
                   "control.txt");
    tree.file(tree.root(), "report.txt");
    std::mt19937 random(7);
    auto letters = [&](size_t count) {
        std::string word;
        for (size_t i = 0; i < count; ++i) {
            word += char('a' + random() % 26);
        }
        return word;
    };
    std::string distinct, repeated, escaped;
    for (int i = 0; i < 40000; ++i) {
        distinct += letters(6) + " ";
        repeated += "rep ";
    }
    for (int i = 0; i < 2000; ++i) {
        escaped += "k\\sl \"quoted\" \x01 ";
    }
    // Words of one character each, a word of 100,000, and no word at all.
    std::string single(20000, 'x');
    for (size_t i = 1; i < single.size(); i += 2) {
        single[i] = ' ';
    }
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {distinct + "report", {}},
        {repeated + "report", {"/report.txt"}},
        {escaped + "contr",
         {"/back\\slash \"quoted\"/tab\x01"
          "control.txt"}},
        {single,
         {"/report.txt", "/back\\slash \"quoted\"/tab\x01"
                         "control.txt"}},
        {letters(100000), {}},
        {std::string(100000, ' '), {}},
    };
    auto expectAnswers = [&](const char* mode) {
        for (const auto& [query, expected] : cases) {
            try {
                EXPECT_EQ(paths(query), expected) << mode << ": " << query.substr(0, 40);
            } catch (const NexdirError& error) {
                ADD_FAILURE() << mode << ": " << query.substr(0, 40) << ": " << error.what();
            }
        }
    };
    expectAnswers("in-memory names");
    names.setNameCatalogueEnabled(false);
    expectAnswers("rows read");
    test::withPlainStatements([&] { expectAnswers("plain statements"); });
}

TEST_F(SearchTest, CancellingDuringAStatementInterruptsIt) {
    // A first word found nowhere makes every row climb its ancestors: a long statement.
    int64_t parent = tree.root();
    for (int depth = 0; depth < 8; ++depth) {
        parent = tree.folder(parent, "level" + std::to_string(depth));
    }
    std::vector<FileRecord> records;
    for (int i = 0; i < 100000; ++i) {
        records.emplace_back(index.reserveID(), parent, "file" + std::to_string(i), false, 0, 0,
                             std::nullopt, false);
    }
    index.upsert(records);
    // Only the plain statements run long enough over this many rows to be caught in one.
    auto token = std::make_shared<SearchCancellation>();
    std::thread canceller([token] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        token->cancel();
    });
    test::withPlainStatements([&] {
        try {
            names.search("qqqqqq fi", 50, token);
            ADD_FAILURE() << "the search ran to the end";
        } catch (const NexdirError& error) {
            EXPECT_EQ(error.code(), SQLITE_INTERRUPT);
            EXPECT_TRUE(std::string(error.what()).starts_with("Search failed: ")) << error.what();
        }
    });
    canceller.join();
    EXPECT_EQ(names.search("file99999", 10).results.size(), 1u);
}

// ---- An independent model of matching and ranking, compared on random trees ----

namespace {

struct ModelEntry {
    int64_t id;
    int64_t parent;
    std::string name;
    bool isDirectory;
};

size_t codePoints(const std::string& text) {
    return unicodeScalars(text).size();
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool containsText(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Matching and ranking written out plainly over an in-memory list.
class SearchModel {
public:
    void add(const ModelEntry& entry) { entries_[entry.id] = entry; }

    std::vector<SearchResult> search(const std::string& query, int limit) const {
        std::string q = SearchIndex::normalize(trimmedWhitespace(query));
        std::vector<std::string> tokens = whitespaceSeparatedWords(q);
        if (q.empty() || tokens.empty() || limit < 1) {
            return {};
        }
        limit = std::min(limit, 1000);
        auto folders = pass(q, tokens, std::max(limit, 2) / 2, true, {});
        std::vector<int64_t> folderIDs;
        for (const auto& folder : folders) {
            folderIDs.push_back(folder.id);
        }
        auto files = pass(q, tokens, limit - int(folders.size()), false, folderIDs);
        std::vector<SearchResult> combined(
            folders.begin(),
            folders.begin() + long(std::min(folders.size(), size_t(limit) - files.size())));
        combined.insert(combined.end(), files.begin(), files.end());
        for (auto& result : combined) {
            std::string name = SearchIndex::normalize(result.name);
            using namespace Ranking;
            int value = name == q               ? queryEqual
                        : startsWith(name, q)   ? queryPrefix
                        : containsText(name, q) ? queryInside
                                                : 0;
            for (const auto& token : tokens) {
                value += name == token               ? wordEqual
                         : startsWith(name, token)   ? wordPrefix
                         : containsText(name, token) ? wordElsewhere
                                                     : 0;
            }
            result.score = value - int(std::min<size_t>(graphemeCount(name), lengthCap));
        }
        return combined;
    }

private:
    std::vector<SearchResult> pass(const std::string& q, const std::vector<std::string>& tokens,
                                   int limit, bool directories,
                                   const std::vector<int64_t>& grouped) const {
        struct Candidate {
            int rank;
            const ModelEntry* entry;
        };
        std::vector<Candidate> candidates;
        bool prefixOnly = tokens.size() == 1 && codePoints(q) < 3;
        for (const auto& [id, entry] : entries_) {
            std::string name = SearchIndex::normalize(entry.name);
            if (entry.isDirectory != directories || !containsText(name, tokens.back())) {
                continue;
            }
            if (prefixOnly && !startsWith(name, q)) {
                continue;
            }
            bool wordsFound = true;
            for (size_t i = 0; i + 1 < tokens.size(); ++i) {
                wordsFound =
                    wordsFound && (containsText(name, tokens[i]) || inAncestor(entry, tokens[i]));
            }
            if (!wordsFound || underAny(entry, grouped)) {
                continue;
            }
            using namespace Ranking;
            int rank = name == q               ? queryEqual
                       : startsWith(name, q)   ? queryPrefix
                       : containsText(name, q) ? queryInside
                                               : 0;
            for (const auto& token : tokens) {
                rank += name == token             ? wordEqual
                        : startsWith(name, token) ? wordPrefix
                                                  : wordElsewhere;
            }
            rank -= int(std::min<size_t>(codePoints(name), lengthCap));
            candidates.push_back({rank, &entry});
        }
        std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
            if (a.rank != b.rank) {
                return a.rank > b.rank;
            }
            size_t lengthA = codePoints(a.entry->name), lengthB = codePoints(b.entry->name);
            if (lengthA != lengthB) {
                return lengthA < lengthB;
            }
            if (a.entry->name != b.entry->name) {
                return a.entry->name < b.entry->name;
            }
            return a.entry->id < b.entry->id;
        });
        std::vector<SearchResult> results;
        for (size_t i = 0; i < candidates.size() && int(i) < limit; ++i) {
            const ModelEntry& entry = *candidates[i].entry;
            SearchResult result;
            result.id = entry.id;
            result.name =
                entry.parent == 0 && entry.name != "/" ? lastPathComponent(entry.name) : entry.name;
            result.path = pathOf(entry);
            result.isDirectory = entry.isDirectory;
            result.modifiedAt = 1000;
            results.push_back(result);
        }
        return results;
    }

    bool inAncestor(const ModelEntry& entry, const std::string& token) const {
        for (int64_t id = entry.parent; id != 0; id = entries_.at(id).parent) {
            if (containsText(SearchIndex::normalize(entries_.at(id).name), token)) {
                return true;
            }
        }
        return false;
    }

    bool underAny(const ModelEntry& entry, const std::vector<int64_t>& folders) const {
        for (int64_t id = entry.parent; id != 0; id = entries_.at(id).parent) {
            if (std::find(folders.begin(), folders.end(), id) != folders.end()) {
                return true;
            }
        }
        return false;
    }

    std::string pathOf(const ModelEntry& entry) const {
        if (entry.parent == 0) {
            return entry.name;
        }
        return appendingPathComponent(pathOf(entries_.at(entry.parent)), entry.name);
    }

    std::map<int64_t, ModelEntry> entries_;
};

const std::vector<std::string> syllables = {
    "ab",     "ba",   "abc",   "cab",      "x",         "AB",
    "Ab",     "b",    "a",     "\xC3\xA9", "e\xCC\x81", "\xC3\x89t\xC3\xA9",
    "da",     "ta",   " ",     "-",        ".",         "photo",
    "Photos", "2024", "\"q\"", "ca"};

std::string randomName(std::mt19937& random) {
    std::string name;
    int parts = 1 + int(random() % 3);
    for (int i = 0; i < parts; ++i) {
        name += syllables[random() % syllables.size()];
    }
    if (random() % 3 == 0) {
        name += random() % 2 ? ".txt" : ".Ab";
    }
    return name;
}

} // namespace

// A random tree of 600 entries under two volume roots, in an index and in the model alike.
struct RandomTree {
    explicit RandomTree(unsigned seed) : random(seed) {
        std::vector<int64_t> folders;
        std::vector<FileRecord> records;
        auto add = [&](const ModelEntry& entry) {
            records.emplace_back(entry.id, entry.parent, entry.name, entry.isDirectory, 1000, 0,
                                 std::nullopt, false);
            model.add(entry);
            entries[entry.id] = entry;
            if (entry.isDirectory) {
                folders.push_back(entry.id);
            }
        };
        for (const char* rootPath : {"/", "/srv/ab-disk"}) {
            add({index.reserveID(), 0, rootPath, true});
        }
        std::set<std::pair<int64_t, std::string>> used;
        for (int i = 0; i < 600; ++i) {
            int64_t parent = folders[random() % folders.size()];
            std::string name = randomName(random);
            if (used.insert({parent, name}).second) {
                add({index.reserveID(), parent, name, random() % 4 == 0});
            }
        }
        index.upsert(records);
    }

    std::mt19937 random;
    TempDirectory folder;
    SearchIndex index{folder / "index.sqlite3"};
    NameSearch names{index};
    SearchModel model;
    std::map<int64_t, ModelEntry> entries;
};

class SearchModelTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(SearchModelTest, SearchAgreesWithThePlainModelOnRandomTrees) {
    RandomTree tree(GetParam());
    std::vector<std::string> queries = {
        "a",         "b",          "ab",         "AB",  "x",     "\xC3\xA9",  "e",
        "ca",        "abc",        "cab",        "bab", "photo", "photos ab", "ab cab",
        "ab ba abc", "2024 photo", "e\xCC\x81t", "\"q", "ab x",  "a.t",       " ba ",
        "Ab ",       "zz",         "- ab",       "a b", "ab.",   "abca"};
    for (int i = 0; i < 40; ++i) {
        std::string name = randomName(tree.random);
        size_t start = tree.random() % name.size();
        queries.push_back(name.substr(start, 1 + tree.random() % 6));
    }
    auto compare = [&](bool rankedScan) {
        for (const auto& query : queries) {
            for (int limit : {1, 2, 3, 5, 10, 50}) {
                auto expected = tree.model.search(query, limit);
                auto actual = tree.names.search(literalQuery(query), limit).results;
                ASSERT_EQ(actual, expected)
                    << "query \"" << query << "\" limit " << limit << " ranked scan " << rankedScan;
            }
        }
    };
    compare(true);
    test::withPlainStatements([&] { compare(false); });
}

TEST_P(SearchModelTest, LongQueriesWithRepeatsAgreeWithThePlainModel) {
    RandomTree tree(GetParam());
    // Pieces of the names on one entry's way up: the query's earlier words then hold, and
    // with a piece of its own name last, some entries match.
    auto piecesAbove = [&](int64_t id, size_t count) {
        std::vector<std::string> pieces;
        while (pieces.size() < count) {
            for (int64_t at = id; at != 0 && pieces.size() < count;
                 at = tree.entries.at(at).parent) {
                std::string name = SearchIndex::normalize(tree.entries.at(at).name);
                size_t start = tree.random() % name.size();
                pieces.push_back(name.substr(start, 1 + tree.random() % 4));
            }
        }
        return pieces;
    };
    auto joined = [](const std::vector<std::string>& words) {
        std::string query;
        for (const std::string& word : words) {
            query += word + " ";
        }
        return query;
    };
    // Every piece of up to four bytes of the deepest path: far more distinct words than the
    // in-memory ranking screens at once; then also a short word that no name holds.
    auto depth = [&](int64_t id) {
        int steps = 0;
        for (int64_t at = id; at != 0; at = tree.entries.at(at).parent) {
            ++steps;
        }
        return steps;
    };
    int64_t deepest = tree.entries.begin()->first;
    for (const auto& [id, entry] : tree.entries) {
        deepest = depth(id) > depth(deepest) ? id : deepest;
    }
    std::vector<std::string> everyPiece;
    for (int64_t at = deepest; at != 0; at = tree.entries.at(at).parent) {
        std::string name = SearchIndex::normalize(tree.entries.at(at).name);
        for (size_t start = 0; start < name.size(); ++start) {
            for (size_t length = 1; length <= 4 && start + length <= name.size(); ++length) {
                everyPiece.push_back(name.substr(start, length));
            }
        }
    }
    std::string deepestLast = piecesAbove(deepest, 1)[0];
    std::vector<std::string> queries = {joined(everyPiece) + deepestLast,
                                        joined(everyPiece) + "z " + deepestLast};
    for (int i = 0; i < 8; ++i) {
        auto entry = std::next(tree.entries.begin(), long(tree.random() % tree.entries.size()));
        std::string last = piecesAbove(entry->first, 1)[0];
        queries.push_back(joined(piecesAbove(entry->first, 2000)) + last);
        queries.push_back(joined(piecesAbove(entry->first, 3 + tree.random() % 40)) + last);
        std::vector<std::string> anyWords;
        for (int w = 0; w < 2000; ++w) {
            anyWords.push_back(randomName(tree.random));
        }
        queries.push_back(joined(anyWords) + last);
    }
    for (const std::string& query : queries) {
        for (int limit : {1, 5, 50}) {
            auto expected = tree.model.search(query, limit);
            ASSERT_EQ(tree.names.search(literalQuery(query), limit).results, expected)
                << "query \"" << query << "\" limit " << limit;
            tree.names.setNameCatalogueEnabled(false);
            ASSERT_EQ(tree.names.search(literalQuery(query), limit).results, expected)
                << "rows read, query \"" << query << "\" limit " << limit;
            tree.names.setNameCatalogueEnabled(true);
            test::withPlainStatements([&] {
                ASSERT_EQ(tree.names.search(literalQuery(query), limit).results, expected)
                    << "plain, query \"" << query << "\" limit " << limit;
            });
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SearchModelTest, ::testing::Values(1u, 2u, 3u, 4u));

TEST_F(SearchTest, ANameJustPastThePrefixRangeIsStillFound) {
    // Starts with the query but sorts after query + U+10FFFF, the prefix range's bound.
    tree.file(tree.root(), "abc\xF4\x8F\xBF\xBFx");
    tree.file(tree.root(), "abcd");
    tree.file(tree.root(), "xabc");
    auto ranked = names.search("abc", 10).results;
    auto plain = test::withPlainStatements([&] { return names.search("abc", 10).results; });
    EXPECT_EQ(ranked.size(), 3u);
    EXPECT_EQ(ranked, plain);
}
