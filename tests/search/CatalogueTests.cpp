// Searches rank from names kept in memory; these tests change the index in every way it can
// change and check that searches still return exactly what the plain statements return.

#include "NexdirError.h"
#include "Paths.h"
#include "SearchIndex.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <tuple>

using namespace nexdir;
using nexdir::test::TempDirectory;

namespace {

// Names that differ from their search forms in case, in accents and in length ("ß" is "ss").
const std::vector<std::string> words = {"ab", "cab", "Photo",           "2024",           "x",
                                        "ba", "abc", "\xC3\xA9t\xC3\xA9", "Stra\xC3\x9F" "eCD", "ABC"};
const std::vector<std::string> queries = {"a",         "ab",        "x",    "abc", "cab",  "photo",
                                          "photo abc", "ab 2024 x", "2024", "ét",  "ba x", "zz",
                                          "strasse"};

// Runs every query through the in-memory ranking and through the plain statements.
void expectSameAsPlain(NameSearch& names, const std::string& context) {
    for (const std::string& query : queries) {
        for (int limit : {3, 50}) {
            auto ranked = names.search(query, limit).results;
            auto plain =
                test::withPlainStatements([&] { return names.search(query, limit).results; });
            ASSERT_EQ(ranked, plain) << context << ": query \"" << query << "\" limit " << limit;
        }
    }
    EXPECT_EQ(names.catalogueDiscards(), 0) << context;
}

// What the test believes is in the index, to pick what to change next.
struct Tree {
    struct Item {
        int64_t parent;
        std::string name;
        bool isDirectory;
    };
    std::map<int64_t, Item> items;

    std::vector<int64_t> folders() const {
        std::vector<int64_t> found;
        for (const auto& [id, item] : items) {
            if (item.isDirectory) {
                found.push_back(id);
            }
        }
        return found;
    }
    void removeBelow(int64_t id) {
        for (auto it = items.begin(); it != items.end();) {
            if (it->second.parent == id) {
                int64_t child = it->first;
                removeBelow(child);
                it = items.erase(items.find(child));
            } else {
                ++it;
            }
        }
    }
    void remove(int64_t id) {
        removeBelow(id);
        items.erase(id);
    }
    bool hasChildren(int64_t id) const {
        for (const auto& [child, item] : items) {
            if (item.parent == id) {
                return true;
            }
        }
        return false;
    }
};

std::string randomName(std::mt19937& random) {
    std::string name = words[random() % words.size()];
    if (random() % 2) {
        name += words[random() % words.size()];
    }
    return name + (random() % 3 == 0 ? ".txt" : "");
}

} // namespace

TEST(CatalogueTest, SearchFollowsEveryKindOfWrite) {
    std::mt19937 random(11);
    TempDirectory folder;
    SearchIndex index(folder / "index.sqlite3");
    NameSearch names{index};
    Tree tree;
    int64_t root = index.reserveID();
    index.upsert({FileRecord(root, 0, "/", true, 1000, 0, std::nullopt, false)});
    tree.items[root] = {0, "/", true};
    // The first search loads the names; every later write must reach them.
    expectSameAsPlain(names, "empty");

    auto freshRecords = [&](int count) {
        std::vector<FileRecord> records;
        std::set<std::pair<int64_t, std::string>> used;
        for (const auto& [id, item] : tree.items) {
            used.insert({item.parent, item.name});
        }
        std::vector<int64_t> folders = tree.folders();
        for (int i = 0; i < count; ++i) {
            int64_t parent = folders[random() % folders.size()];
            std::string name = randomName(random);
            if (!used.insert({parent, name}).second) {
                continue;
            }
            int64_t id = index.reserveID();
            bool isDirectory = random() % 3 == 0;
            records.emplace_back(id, parent, name, isDirectory, 1000, 0, std::nullopt, false);
            tree.items[id] = {parent, name, isDirectory};
            if (isDirectory) {
                folders.push_back(id);
            }
        }
        return records;
    };
    auto randomItem = [&]() {
        auto it = tree.items.begin();
        std::advance(it, long(random() % tree.items.size()));
        return it->first;
    };

    index.upsert(freshRecords(300));
    expectSameAsPlain(names, "first batch");
    for (int round = 0; round < 24; ++round) {
        std::string context = "round " + std::to_string(round);
        switch (round % 6) {
        case 0: // new items, by a group of writes and then with removed subtrees in one batch
        {
            {
                SearchIndex::GroupedWrites grouped(index);
                index.upsert(freshRecords(20));
                ASSERT_NO_FATAL_FAILURE(expectSameAsPlain(names, context + ", group kept"));
                index.upsert(freshRecords(20));
                grouped.finish();
            }
            int64_t removed = randomItem();
            std::vector<int64_t> removing;
            if (removed != root) {
                removing.push_back(removed);
                tree.remove(removed);
            }
            index.upsert(freshRecords(40), removing);
            break;
        }
        case 1: { // a folder's contents pruned
            std::vector<int64_t> folders = tree.folders();
            int64_t pruned = folders[random() % folders.size()];
            tree.removeBelow(pruned);
            index.upsert({}, {}, {pruned});
            break;
        }
        case 2: { // items rewritten in place: another kind, or another size only
            std::vector<FileRecord> rewrites;
            for (int i = 0; i < 10; ++i) {
                int64_t id = randomItem();
                Tree::Item& item = tree.items[id];
                if (id == root || tree.hasChildren(id)) {
                    continue;
                }
                bool flip = random() % 2 == 0;
                item.isDirectory = flip ? !item.isDirectory : item.isDirectory;
                // The stored row keeps its id whatever id the record carries.
                rewrites.emplace_back(index.reserveID(), item.parent, item.name, item.isDirectory,
                                      2000, 7, std::nullopt, false);
            }
            index.upsert(rewrites);
            break;
        }
        case 3: { // a move: removed under one folder, written under another
            int64_t moved = randomItem();
            if (moved == root || tree.hasChildren(moved)) {
                break;
            }
            Tree::Item item = tree.items[moved];
            tree.remove(moved);
            std::vector<int64_t> folders = tree.folders();
            int64_t parent = folders[random() % folders.size()];
            std::string name = item.name + "moved";
            int64_t id = index.reserveID();
            tree.items[id] = {parent, name, item.isDirectory};
            index.upsert(
                {FileRecord(id, parent, name, item.isDirectory, 1000, 0, std::nullopt, false)},
                {moved});
            break;
        }
        case 4: { // removal below a folder, and a batch that fails and leaves nothing behind
            std::vector<int64_t> folders = tree.folders();
            int64_t emptied = folders[random() % folders.size()];
            tree.removeBelow(emptied);
            index.removeChildren(emptied);
            std::vector<FileRecord> failing = freshRecords(5);
            for (const FileRecord& record : failing) {
                tree.items.erase(record.id);
            }
            // An id already used by another row breaks the batch after its first records.
            int64_t taken = randomItem();
            failing.emplace_back(taken, root, "clash" + std::to_string(round), false, 1, 1,
                                 std::nullopt, false);
            if (taken != root) {
                EXPECT_THROW(index.upsert(failing), NexdirError);
            }
            index.setMetadata("round", std::to_string(round));
            break;
        }
        case 5: { // removal by path
            int64_t removed = randomItem();
            if (removed == root) {
                break;
            }
            std::vector<std::string> components;
            for (int64_t id = removed; id != root; id = tree.items[id].parent) {
                components.insert(components.begin(), tree.items[id].name);
            }
            std::string path = "/";
            for (const std::string& component : components) {
                path = appendingPathComponent(path, component);
            }
            tree.remove(removed);
            index.removeRecursively(path, "/");
            break;
        }
        }
        if (round % 4 == 3) {
            names.settle(); // as an idle engine does: what follows is searched from the trimmed copy
            // As an engine that stops: the next launch's names, read from the file, answer as
            // these do.
            ASSERT_TRUE(names.saveNames());
            NameSearch relaunched{index};
            relaunched.prepare();
            EXPECT_EQ(relaunched.namesFileLoads(), 1);
            ASSERT_NO_FATAL_FAILURE(expectSameAsPlain(relaunched, context + ", from the file"));
        }
        ASSERT_NO_FATAL_FAILURE(expectSameAsPlain(names, context));
    }
}

TEST(CatalogueTest, ChangesFromElsewhereAreSeen) {
    TempDirectory folder;
    SearchIndex index(folder / "index.sqlite3");
    NameSearch names{index};
    nexdir::test::TreeBuilder tree(index, "/");
    int64_t photos = tree.folder(tree.root(), "Photos");
    tree.file(photos, "abc.jpg");
    expectSameAsPlain(names, "before");

    {
        // Another process writing the same file: no hook of this one sees it.
        SearchIndex other(folder / "index.sqlite3");
        other.upsert({FileRecord(other.reserveID(), photos, "cab 2024.jpg", false, 1, 1,
                                 std::nullopt, false)});
    }
    expectSameAsPlain(names, "after another connection's write");
    EXPECT_EQ(names.search("cab", 10).results.size(), 1u);

    // A rebuilt copy installed over the index, then a bulk load into the index itself.
    TempDirectory rebuildFolder;
    SearchIndex rebuilt(rebuildFolder / "index.sqlite3");
    nexdir::test::TreeBuilder rebuiltTree(rebuilt, "/");
    rebuiltTree.file(rebuiltTree.folder(rebuiltTree.root(), "x"), "ab photo.txt");
    index.replaceContents(rebuilt);
    expectSameAsPlain(names, "after an install");
    EXPECT_EQ(names.search("cab", 10).results.size(), 0u);

    index.resetForFullScan();
    int64_t root = index.reserveID();
    index.upsert(
        {FileRecord(root, 0, "/", true, 1, 0, std::nullopt, false),
         FileRecord(index.reserveID(), root, "2024 ba", false, 1, 1, std::nullopt, false)});
    index.finishBulkLoad();
    expectSameAsPlain(names, "after a bulk load");
    EXPECT_EQ(names.search("2024", 10).results.size(), 1u);
}

TEST(CatalogueTest, TheNamesFileIsUsedOnlyWhileWholeAndTheIndexUnchanged) {
    TempDirectory folder;
    std::string database = folder / "index.sqlite3";
    SearchIndex index(database);
    nexdir::test::TreeBuilder tree(index, "/");
    int64_t photos = tree.folder(tree.root(), "Photos");
    int64_t large = tree.file(photos, "abc.jpg", 5'000'000'000); // sizes and times kept aside
    index.upsert({FileRecord(index.reserveID(), photos, "\xC3\x89t\xC3\xA9 2024.txt", false, -1e10,
                             1, std::nullopt, false)});
    const std::vector<std::string> filtered = {"size:>4gb", "dm:<1y", "dm:>100y", "ext:txt ab"};
    auto search = [&](NameSearch& names) {
        std::vector<std::vector<SearchResult>> found;
        for (const std::string& query : filtered) {
            found.push_back(names.search(query, 50).results);
        }
        return found;
    };
    std::vector<std::vector<SearchResult>> fromRows;
    auto save = [&] {
        NameSearch names{index};
        names.prepare();
        fromRows = search(names);
        ASSERT_TRUE(names.saveNames());
    };
    // A launch: names from the file exactly when `fromFile`, the same answers either way.
    auto launch = [&](const std::string& context, bool fromFile) {
        NameSearch names{index};
        names.prepare();
        EXPECT_EQ(names.namesFileLoads(), fromFile ? 1 : 0) << context;
        ASSERT_NO_FATAL_FAILURE(expectSameAsPlain(names, context));
        EXPECT_EQ(search(names), fromRows) << context;
    };
    ASSERT_NO_FATAL_FAILURE(save());
    ASSERT_FALSE(fromRows[0].empty());
    ASSERT_FALSE(fromRows[2].empty());
    ASSERT_NO_FATAL_FAILURE(launch("saved", true));

    std::string path = index.namesFilePath();
    std::string saved = test::readFile(path);
    auto damaged = [&](const std::string& context, std::string bytes) {
        test::writeFile(path, bytes);
        ASSERT_NO_FATAL_FAILURE(launch(context, false));
    };
    std::string flipped = saved;
    flipped[saved.size() / 2] ^= 0x10;
    std::string recounted = saved;
    recounted[64] ^= 0x01; // the number of identifiers
    damaged("truncated", saved.substr(0, saved.size() - 7));
    damaged("a byte changed", flipped);
    damaged("a count changed", recounted);
    damaged("empty", "");
    test::writeFile(path, saved); // the damage alone made the difference
    ASSERT_NO_FATAL_FAILURE(launch("whole again", true));

    // A save cut short before its rename leaves the old file and a newer stamp.
    index.stampNames();
    ASSERT_NO_FATAL_FAILURE(launch("a save cut short", false));

    // Every other writer of the index: another process adding a file and changing a size, an
    // install of a rebuild, a full scan loading rows in bulk.
    ASSERT_NO_FATAL_FAILURE(save());
    {
        SearchIndex other(database);
        other.upsert({FileRecord(other.reserveID(), photos, "cab 2024.jpg", false, 1, 1,
                                 std::nullopt, false)});
    }
    ASSERT_NO_FATAL_FAILURE(save());
    {
        SearchIndex other(database);
        other.upsert({FileRecord(large, photos, "abc.jpg", false, 1, 1, std::nullopt, false)});
    }
    {
        NameSearch names{index};
        EXPECT_EQ(names.search("cab", 10).results.size(), 1u);
        EXPECT_TRUE(names.search("size:>4gb", 10).results.empty());
        EXPECT_EQ(names.namesFileLoads(), 0);
    }
    ASSERT_NO_FATAL_FAILURE(save());
    TempDirectory rebuildFolder;
    SearchIndex rebuilt(rebuildFolder / "index.sqlite3");
    nexdir::test::TreeBuilder rebuiltTree(rebuilt, "/");
    rebuiltTree.file(rebuiltTree.root(), "x.txt");
    index.replaceContents(rebuilt);
    {
        NameSearch names{index};
        EXPECT_EQ(names.search("cab", 10).results.size(), 0u);
        EXPECT_EQ(names.namesFileLoads(), 0);
    }
    ASSERT_NO_FATAL_FAILURE(save());
    index.resetForFullScan();
    int64_t root = index.reserveID();
    index.upsert({FileRecord(root, 0, "/", true, 1, 0, std::nullopt, false)});
    {
        NameSearch names{index};
        names.prepare();
        EXPECT_FALSE(names.saveNames()); // rows loaded in bulk pass no trigger
    }
    index.finishBulkLoad();
    {
        NameSearch names{index};
        EXPECT_EQ(names.search("x.txt", 10).results.size(), 0u);
        EXPECT_EQ(names.namesFileLoads(), 0);
    }
}

TEST(CatalogueTest, IdentifiersTooLargeToHoldAreSearchedFromRows) {
    TempDirectory folder;
    SearchIndex index(folder / "index.sqlite3");
    NameSearch names{index};
    int64_t root = int64_t(1) << 40;
    index.upsert({FileRecord(root, 0, "/", true, 1, 0, std::nullopt, false),
                  FileRecord(root + 1, root, "abc", false, 1, 1, std::nullopt, false)});
    EXPECT_EQ(names.search("abc", 10).results.size(), 1u);
    EXPECT_EQ(names.catalogueDiscards(), 1);
    EXPECT_EQ(names.search("ab", 10).results.size(), 1u);
    EXPECT_EQ(names.catalogueDiscards(), 1); // not tried again for every search
}

TEST(CatalogueTest, WritesDuringSearchesLeaveTheNamesInStep) {
    TempDirectory folder;
    SearchIndex index(folder / "index.sqlite3");
    NameSearch names{index};
    nexdir::test::TreeBuilder tree(index, "/");
    names.prepare();
    std::atomic<bool> done = false;
    std::thread writer([&] {
        for (int batch = 0; batch < 60; ++batch) {
            int64_t parent = tree.folder(tree.root(), "batch" + std::to_string(batch));
            std::vector<FileRecord> records;
            for (int i = 0; i < 20; ++i) {
                records.emplace_back(index.reserveID(), parent, "abc" + std::to_string(i), false, 1,
                                     1, std::nullopt, false);
            }
            index.upsert(records, batch % 3 == 2 ? std::vector<int64_t>{parent - 1}
                                                 : std::vector<int64_t>{});
        }
        done = true;
    });
    while (!done) {
        auto results = names.search("abc", 50).results;
        std::set<int64_t> ids;
        for (const auto& result : results) {
            EXPECT_TRUE(ids.insert(result.id).second);
        }
    }
    writer.join();
    expectSameAsPlain(names, "after concurrent writes");
}

TEST(CatalogueTest, AWriterBusyForLongLeavesSearchesTheNamesAsCommitted) {
    // A catch-up holds the writer for seconds at a time; searches meanwhile keep their names
    // and see every write committed before they began.
    TempDirectory folder;
    SearchIndex index(folder / "index.sqlite3");
    NameSearch names{index};
    nexdir::test::TreeBuilder tree(index, "/");
    tree.file(tree.folder(tree.root(), "Photos"), "abc.jpg");
    names.prepare();
    tree.file(tree.root(), "cab 2024.txt");

    std::promise<void> holding;
    std::promise<void> release;
    std::thread busy([&] {
        // Maintenance asks whether to go on while it holds the writer.
        index.maintain(0, 0, 0, [&] {
            holding.set_value();
            release.get_future().wait();
            return false;
        });
    });
    holding.get_future().wait();
    auto found = names.search("cab", 10).results;
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "cab 2024.txt");
    EXPECT_EQ(names.searchesFromRows(), 0);
    release.set_value();
    busy.join();
    expectSameAsPlain(names, "after the writer was busy");
}

TEST(CatalogueTest, ALargeIndexScannedOnTwoThreadsGivesThePlainResults) {
    TempDirectory folder;
    SearchIndex index(folder / "index.sqlite3");
    NameSearch names{index};
    nexdir::test::TreeBuilder tree(index, "/");
    std::vector<FileRecord> records;
    // Words two levels up, and a folder numbered after its files, so that what a folder holds
    // above it is settled both ways round.
    std::vector<int64_t> tops;
    for (int t = 0; t < 10; ++t) {
        tops.push_back(index.reserveID());
        records.emplace_back(tops.back(), tree.root(),
                             "top" + std::to_string(t) + (t % 3 ? "" : " qqq"), true, 1, 0,
                             std::nullopt, false);
    }
    for (int f = 0; f < 100; ++f) {
        std::vector<int64_t> files;
        int64_t parent = f == 4 ? 0 : index.reserveID();
        for (int i = 0; i < 2100; ++i) {
            files.push_back(index.reserveID());
        }
        parent = parent != 0 ? parent : index.reserveID();
        records.emplace_back(parent, tops[size_t(f % 10)],
                             (f % 7 == 0 ? "xyz "
                              : f == 4   ? "late "
                                         : "") +
                                 std::to_string(f),
                             true, 1, 0, std::nullopt, false);
        for (int i = 0; i < 2100; ++i) {
            records.emplace_back(files[size_t(i)], parent,
                                 (i % 5 == 0 ? "xyz abc " : "abc ") + std::to_string(i * 7 % 2100),
                                 false, 1, 1, std::nullopt, false);
        }
    }
    index.upsert(records);
    for (const std::string query :
         {"abc", "xyz", "xyz abc", "abc 20", "qqq abc", "late abc 7", "top3 xyz abc"}) {
        auto ranked = names.search(query, 50).results;
        auto plain = test::withPlainStatements([&] { return names.search(query, 50).results; });
        EXPECT_EQ(ranked.size(), 50u) << query;
        EXPECT_EQ(ranked, plain) << query;
    }
    // Filters alone list the shortest paths first, then by name and identifier.
    std::map<int64_t, const FileRecord*> byID;
    std::vector<std::tuple<size_t, std::string, int64_t, std::string>> files;
    for (const FileRecord& record : records) {
        byID[record.id] = &record;
    }
    std::set<std::pair<int64_t, std::string>> written; // a name given twice is one entry
    for (const FileRecord& record : records) {
        if (!record.isDirectory && written.emplace(record.parentID, record.name).second) {
            const FileRecord& folder = *byID.at(record.parentID);
            std::string path =
                "/" + byID.at(folder.parentID)->name + "/" + folder.name + "/" + record.name;
            files.emplace_back(path.size(), record.name, record.id, path);
        }
    }
    std::partial_sort(files.begin(), files.begin() + 50, files.end());
    auto listed = names.search("size:1", 50).results;
    ASSERT_EQ(listed.size(), 50u);
    for (size_t i = 0; i < listed.size(); ++i) {
        EXPECT_EQ(listed[i].path, std::get<3>(files[i])) << i;
    }
    EXPECT_EQ(names.catalogueDiscards(), 0);
}
