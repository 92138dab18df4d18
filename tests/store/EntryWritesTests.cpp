#include "NexdirError.h"
#include "SearchIndex.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace nexdir;
using nexdir::test::RawDatabase;
using nexdir::test::TempDirectory;
using nexdir::test::TreeBuilder;

namespace {

class EntryWritesTest : public ::testing::Test {
protected:
    TempDirectory folder;
    std::string path = folder / "index.sqlite3";
    SearchIndex index{path};
    NameSearch names{index};

    FileRecord fileRecord(int64_t id, int64_t parent, const std::string& name, int64_t size = 10,
                          std::optional<int64_t> allocated = std::nullopt) {
        return FileRecord(id, parent, name, false, 1000, size, allocated, false);
    }
    std::vector<std::string> childNames(int64_t parent) {
        std::vector<std::string> names;
        for (const auto& entry : index.children(parent)) {
            names.push_back(entry.name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

} // namespace

TEST_F(EntryWritesTest, PruningKeepsTheEntryAndRemovesEverythingBelow) {
    TreeBuilder tree(index, "/");
    int64_t docs = tree.folder(tree.root(), "docs");
    int64_t inner = tree.folder(docs, "inner");
    tree.file(inner, "deep.txt");
    tree.file(docs, "a.txt");
    int64_t other = tree.folder(tree.root(), "other");
    tree.file(other, "kept.txt");

    index.upsert({}, {}, {docs});
    EXPECT_TRUE(index.entryID("/docs", "/"));
    EXPECT_TRUE(index.children(docs).empty());
    EXPECT_EQ(index.statistics().indexedItems, 4); // root, docs, other, kept.txt
    EXPECT_EQ(names.search("deep", 10).results.size(), 0u);

    index.upsert({}, {other}, {});
    EXPECT_FALSE(index.entryID("/other", "/"));
    EXPECT_EQ(index.statistics().indexedItems, 2);
}

TEST_F(EntryWritesTest, OneBatchReplacesASubtree) {
    TreeBuilder tree(index, "/");
    int64_t docs = tree.folder(tree.root(), "docs");
    tree.file(docs, "old.txt");
    index.upsert({fileRecord(index.reserveID(), docs, "new.txt")}, {}, {docs});
    EXPECT_EQ(childNames(docs), std::vector<std::string>{"new.txt"});
}

TEST_F(EntryWritesTest, AnUnchangedRecordLeavesTheRowUntouched) {
    TreeBuilder tree(index, "/");
    int64_t id = index.reserveID();
    index.upsert({fileRecord(id, tree.root(), "same.txt", 10, 4096)});
    {
        RawDatabase raw(path);
        raw.execute(
            "CREATE TABLE updates(id INTEGER); CREATE TRIGGER watch_updates AFTER UPDATE ON "
            "entries BEGIN INSERT INTO updates VALUES (new.id); END;");
    }
    index.upsert({fileRecord(id, tree.root(), "same.txt", 10, 4096)});
    EXPECT_EQ(RawDatabase(path).integer("SELECT count(*) FROM updates"), 0);

    // Same parent and name under another id: the row keeps its id, and a record without a
    // measured size clears the measured one.
    index.upsert({fileRecord(index.reserveID(), tree.root(), "same.txt", 11)});
    EXPECT_EQ(RawDatabase(path).integer("SELECT count(*) FROM updates"), 1);
    auto children = index.children(tree.root());
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0].id, id);
    EXPECT_EQ(children[0].size, 11);
    EXPECT_FALSE(children[0].allocatedSize);
}

TEST_F(EntryWritesTest, AFailingRecordLeavesNothingOfItsBatch) {
    TreeBuilder tree(index, "/");
    int64_t docs = tree.folder(tree.root(), "docs");
    int64_t taken = tree.file(docs, "taken.txt");
    int64_t other = tree.folder(tree.root(), "other");
    tree.file(other, "survivor.txt");
    auto before = index.statistics();
    // Two records are written one statement each; more go in together, a few thousand in
    // several statements, the one at fault last, after the others went in; the one at fault is
    // named all the same, and nothing of the others stays.
    for (int more : {0, 3, 5000}) {
        std::vector<FileRecord> batch{fileRecord(index.reserveID(), docs, "fresh.txt")};
        for (int i = 0; i < more; ++i) {
            batch.push_back(fileRecord(index.reserveID(), docs, "more" + std::to_string(i)));
        }
        batch.push_back(fileRecord(taken, other, "thief.txt"));
        try {
            index.upsert(batch, {other});
            FAIL() << "a record reused another entry's id";
        } catch (const NexdirError& error) {
            EXPECT_STREQ(error.what(),
                         "Could not index thief.txt: UNIQUE constraint failed: entries.id");
        }
        EXPECT_EQ(index.statistics(), before);
        EXPECT_EQ(childNames(docs), std::vector<std::string>{"taken.txt"});
        EXPECT_EQ(childNames(other), std::vector<std::string>{"survivor.txt"});
    }
}

TEST_F(EntryWritesTest, PathsResolveBelowTheirVolumeRoot) {
    TreeBuilder system(index, "/");
    int64_t home = system.folder(system.root(), "home");
    int64_t alice = system.folder(home, "alice");
    TreeBuilder data(index, "/srv/data");
    int64_t photos = data.folder(data.root(), "photos");

    auto resolveEveryPath = [&] {
        EXPECT_EQ(index.entryID("/", "/"), system.root());
        EXPECT_EQ(index.entryID("/home/alice", "/"), alice);
        EXPECT_EQ(index.entryID("/home/alice/", "/"), alice);
        EXPECT_EQ(index.entryID("/home/bob/../alice", "/"), alice);
        EXPECT_EQ(index.entryID("/home/./alice", "/"), alice);
        EXPECT_EQ(index.entryID("/srv/data", "/srv/data"), data.root());
        EXPECT_EQ(index.entryID("/srv/data/photos", "/srv/data/"), photos);
        EXPECT_FALSE(index.entryID("/srv/database/photos", "/srv/data"));
        EXPECT_FALSE(index.entryID("/home/alice", "/srv/data"));
        EXPECT_FALSE(index.entryID("/home/carol", "/"));
        EXPECT_FALSE(index.entryID("/home/alice/carol", "/"));
        EXPECT_FALSE(index.entryID("/x", "/not/a/root"));
    };
    resolveEveryPath();
    // While a group of writes is open, the folders resolved are remembered, and every write
    // of entries forgets them: a folder replaced under the same path resolves to its new row.
    SearchIndex::GroupedWrites grouped(index);
    resolveEveryPath();
    resolveEveryPath();
    index.removeChildren(home);
    EXPECT_FALSE(index.entryID("/home/alice", "/"));
    alice = index.reserveID();
    index.upsert({FileRecord(alice, home, "alice", true, 1000, 0, std::nullopt, false)});
    EXPECT_FALSE(index.entryID("/home/alice", "/")); // kept for the group's transaction
    grouped.finish();
    resolveEveryPath();
}

TEST_F(EntryWritesTest, NamesAreExactBytesSoBothNormalisationFormsCoexist) {
    TreeBuilder tree(index, "/");
    int64_t composed = tree.file(tree.root(), "Caf\xC3\xA9");
    int64_t decomposed = tree.file(tree.root(), "Cafe\xCC\x81");
    int64_t invalid = tree.file(tree.root(), "raw\xFF\xFEname");
    EXPECT_NE(composed, decomposed);
    EXPECT_EQ(index.entryID("/Caf\xC3\xA9", "/"), composed);
    EXPECT_EQ(index.entryID("/Cafe\xCC\x81", "/"), decomposed);
    EXPECT_EQ(index.entryID("/raw\xFF\xFEname", "/"), invalid);

    auto results = names.search("cafe", 10).results;
    ASSERT_EQ(results.size(), 2u);
    std::vector<std::string> paths{results[0].path, results[1].path};
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"/Cafe\xCC\x81", "/Caf\xC3\xA9"}));
    ASSERT_EQ(names.search("rawname", 10).results.size(), 0u);
    auto raw = names.search("raw", 10).results;
    ASSERT_EQ(raw.size(), 1u);
    EXPECT_EQ(raw[0].path, "/raw\xFF\xFEname");
}

TEST_F(EntryWritesTest, RemovalsByPathAndBelowAnEntry) {
    TreeBuilder tree(index, "/");
    int64_t docs = tree.folder(tree.root(), "docs");
    int64_t inner = tree.folder(docs, "inner");
    tree.file(inner, "deep.txt");
    tree.file(docs, "a.txt");

    EXPECT_NO_THROW(index.removeRecursively("/not/indexed", "/"));
    EXPECT_NO_THROW(index.removeRecursively("/docs", "/elsewhere"));
    EXPECT_EQ(index.statistics().indexedItems, 5);

    index.removeChildren(docs);
    EXPECT_TRUE(index.entryID("/docs", "/"));
    EXPECT_FALSE(index.entryID("/docs/inner", "/"));
    EXPECT_EQ(index.statistics().indexedItems, 2);

    tree.file(docs, "b.txt");
    index.removeRecursively("/docs", "/");
    EXPECT_FALSE(index.entryID("/docs", "/"));
    auto statistics = index.statistics();
    EXPECT_EQ(statistics.indexedItems, 1);
    EXPECT_EQ(statistics.directories, 1);
}
