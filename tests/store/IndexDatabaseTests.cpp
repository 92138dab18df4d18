#include "DataDirectory.h"
#include "NexdirError.h"
#include "RebuildOwnership.h"
#include "SearchIndex.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include <atomic>
#include <thread>

using namespace nexdir;
using nexdir::test::RawDatabase;
using nexdir::test::TempDirectory;
using nexdir::test::TreeBuilder;

namespace {

FileRecord record(int64_t id, int64_t parent, const std::string& name, bool folder = false) {
    return FileRecord(id, parent, name, folder, 1000, 10, std::nullopt, false);
}

// The objects of a new index as SQLite keeps them; a change here is a change of file format.
const std::vector<std::pair<std::string, std::string>> expectedSchema = {
    {"entries",
     "CREATE TABLE entries(\n    id INTEGER PRIMARY KEY,\n    parent_id INTEGER NOT NULL,\n"
     "    name TEXT NOT NULL,\n    search_name TEXT NOT NULL,\n    is_directory INTEGER NOT NULL,\n"
     "    modified_at REAL NOT NULL DEFAULT 0,\n    size INTEGER NOT NULL DEFAULT 0, "
     "allocated_size INTEGER, is_dataless INTEGER NOT NULL DEFAULT 0,\n    UNIQUE(parent_id, "
     "name)\n)"},
    {"entries_ad",
     "CREATE TRIGGER entries_ad AFTER DELETE ON entries BEGIN\n    INSERT INTO "
     "entries_fts(entries_fts, rowid, search_name)\n    VALUES ('delete', old.id, "
     "old.search_name);\n    UPDATE file_stats\n    SET total = total - 1, directories = "
     "directories - old.is_directory\n    WHERE id = 1;\nEND"},
    {"entries_ai", "CREATE TRIGGER entries_ai AFTER INSERT ON entries BEGIN\n    INSERT INTO "
                   "entries_fts(rowid, search_name) VALUES (new.id, new.search_name);\n    UPDATE "
                   "file_stats\n    SET total = total + 1, directories = directories + "
                   "new.is_directory\n    WHERE id = 1;\nEND"},
    {"entries_au",
     "CREATE TRIGGER entries_au AFTER UPDATE OF search_name ON entries\nWHEN "
     "old.search_name <> new.search_name BEGIN\n    INSERT INTO entries_fts(entries_fts, "
     "rowid, search_name)\n    VALUES ('delete', old.id, old.search_name);\n    INSERT "
     "INTO entries_fts(rowid, search_name) VALUES (new.id, new.search_name);\nEND"},
    {"entries_disk_size",
     "CREATE INDEX entries_disk_size ON entries(allocated_size DESC, size DESC, "
     "id) WHERE is_directory = 0"},
    {"entries_fts", "CREATE VIRTUAL TABLE entries_fts USING fts5(\n    search_name,\n    "
                    "content='entries',\n    content_rowid='id',\n    tokenize='trigram',\n    "
                    "detail=none,\n    columnsize=0\n)"},
    {"entries_names_ad", "CREATE TRIGGER entries_names_ad AFTER DELETE ON entries BEGIN\n    "
                         "DELETE FROM metadata WHERE key = 'namesStamp';\nEND"},
    {"entries_names_ai", "CREATE TRIGGER entries_names_ai AFTER INSERT ON entries BEGIN\n    "
                         "DELETE FROM metadata WHERE key = 'namesStamp';\nEND"},
    {"entries_names_au",
     "CREATE TRIGGER entries_names_au\nAFTER UPDATE OF parent_id, name, search_name, "
     "is_directory, modified_at, size ON entries BEGIN\n    DELETE FROM metadata WHERE key = "
     "'namesStamp';\nEND"},
    {"entries_search_name", "CREATE INDEX entries_search_name ON entries(search_name)"},
    {"entries_size", "CREATE INDEX entries_size ON entries(size DESC) WHERE is_directory = 0"},
    {"entries_stats_au",
     "CREATE TRIGGER entries_stats_au AFTER UPDATE OF is_directory ON entries\nWHEN "
     "old.is_directory <> new.is_directory BEGIN\n    UPDATE file_stats\n    SET "
     "directories = directories + new.is_directory - old.is_directory\n    WHERE "
     "id = 1;\nEND"},
    {"entries_unmeasured",
     "CREATE INDEX entries_unmeasured ON entries(id) WHERE is_directory = 0 AND "
     "allocated_size IS NULL"},
    {"file_stats", "CREATE TABLE file_stats(\n    id INTEGER PRIMARY KEY CHECK(id = 1),\n    total "
                   "INTEGER NOT NULL,\n    directories INTEGER NOT NULL\n)"},
    {"metadata", "CREATE TABLE metadata(key TEXT PRIMARY KEY, value TEXT NOT NULL)"},
    {"scan_state", "CREATE TABLE scan_state(\n    id INTEGER PRIMARY KEY CHECK(id = 1),\n    "
                   "completed INTEGER NOT NULL\n)"},
    {"schema_state",
     "CREATE TABLE schema_state(\n    key TEXT PRIMARY KEY,\n    value INTEGER NOT NULL\n)"},
};

std::vector<std::pair<std::string, std::string>> schemaOf(const std::string& path) {
    RawDatabase raw(path);
    std::vector<std::pair<std::string, std::string>> objects;
    auto names =
        raw.column("SELECT name FROM sqlite_master WHERE sql IS NOT NULL AND name NOT LIKE "
                   "'entries_fts_%' ORDER BY name");
    for (const auto& name : names) {
        objects.emplace_back(name,
                             raw.text("SELECT sql FROM sqlite_master WHERE name = '" + name + "'"));
    }
    return objects;
}

// A root "/" holding `count` files named after-N.txt, written in one batch.
void fillManyFiles(SearchIndex& index, int count) {
    int64_t root = index.reserveID();
    std::vector<FileRecord> records{record(root, 0, "/", true)};
    for (int i = 0; i < count; ++i) {
        records.push_back(record(index.reserveID(), root, "after-" + std::to_string(i) + ".txt"));
    }
    index.upsert(records);
}

} // namespace

TEST(IndexDatabase, CreatesTheSchemaStatementForStatement) {
    TempDirectory folder;
    std::string path = folder / "nested/folders/index.sqlite3";
    {
        SearchIndex index(path);
        EXPECT_FALSE(index.hasCompletedFullScan());
        EXPECT_EQ(index.reserveID(), 1);
        EXPECT_EQ(index.reserveID(), 2);
    }
    EXPECT_EQ(schemaOf(path), expectedSchema);
    RawDatabase raw(path);
    EXPECT_EQ(raw.integer("SELECT value FROM schema_state WHERE key = 'schema_version'"), 4);
    EXPECT_EQ(raw.text("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(raw.integer("SELECT completed FROM scan_state WHERE id = 1"), 0);
    EXPECT_EQ(raw.integer("SELECT total FROM file_stats WHERE id = 1"), 0);
}

TEST(IndexDatabase, ReopeningKeepsContentsAndContinuesIdentifiers) {
    TempDirectory folder;
    std::string path = folder / "index.sqlite3";
    {
        SearchIndex index(path);
        TreeBuilder tree(index, "/");
        tree.file(tree.folder(tree.root(), "docs"), "notes.txt");
        index.markFullScanCompleted();
    }
    SearchIndex index(path);
    EXPECT_TRUE(index.hasCompletedFullScan());
    EXPECT_EQ(index.reserveID(), 4);
    EXPECT_EQ(schemaOf(path), expectedSchema);
}

TEST(IndexDatabase, AnUpToDateIndexOpensWithoutWritingSoAnotherWriterNeverHoldsItUp) {
    TempDirectory folder;
    std::string path = folder / "index.sqlite3";
    {
        SearchIndex index(path);
        TreeBuilder tree(index, "/");
        tree.file(tree.root(), "notes.txt", 10, 4096);
    }
    // Another program in the middle of a long write: an open that wrote would wait for it
    // and fail when the busy timeout ran out.
    RawDatabase writer(path);
    writer.execute("BEGIN IMMEDIATE; UPDATE metadata SET value = value;");
    {
        SearchIndex index(path);
        EXPECT_EQ(index.largestFiles(10, 0, true).results.size(), 1u);
    }
    writer.execute("COMMIT;");

    // A trigger that is not this release's is made again at the next open.
    writer.execute("DROP TRIGGER entries_au; CREATE TRIGGER entries_au AFTER UPDATE ON entries "
                   "BEGIN SELECT 1; END;");
    SearchIndex index(path);
    EXPECT_EQ(schemaOf(path), expectedSchema);
}

TEST(IndexDatabase, UpgradesAnEarlyFormatFile) {
    TempDirectory folder;
    std::string path = folder / "old.sqlite3";
    {
        RawDatabase raw(path);
        raw.execute(R"(CREATE TABLE entries(id INTEGER PRIMARY KEY, parent_id INTEGER NOT NULL,
                         name TEXT NOT NULL, search_name TEXT NOT NULL, is_directory INTEGER NOT NULL,
                         modified_at REAL NOT NULL DEFAULT 0, size INTEGER NOT NULL DEFAULT 0,
                         UNIQUE(parent_id, name));
                       CREATE TABLE scan_state(id INTEGER PRIMARY KEY CHECK(id = 1), completed INTEGER NOT NULL);
                       INSERT INTO scan_state VALUES(1, 1);
                       INSERT INTO entries VALUES(1, 0, '/', '/', 1, 0, 0);
                       INSERT INTO entries VALUES(2, 1, 'Quarterly Report.pdf', 'quarterly report.pdf', 0, 5, 100);)");
    }
    {
        SearchIndex index(path);
        EXPECT_TRUE(index.hasCompletedFullScan());
        EXPECT_EQ(index.reserveID(), 3);
        auto statistics = index.statistics();
        EXPECT_EQ(statistics.indexedItems, 2);
        EXPECT_EQ(statistics.directories, 1);
        EXPECT_EQ(statistics.files, 1);
    }
    RawDatabase raw(path);
    EXPECT_EQ(raw.integer("SELECT value FROM schema_state WHERE key = 'schema_version'"), 4);
    EXPECT_EQ(raw.integer("SELECT count(*) FROM pragma_table_info('entries') WHERE name IN "
                          "('allocated_size', 'is_dataless')"),
              2);
    EXPECT_EQ(raw.integer("SELECT count(*) FROM sqlite_master WHERE type = 'trigger'"), 7);
    EXPECT_EQ(raw.integer("SELECT count(*) FROM sqlite_master WHERE name IN ('entries_disk_size', "
                          "'entries_unmeasured')"),
              2);
    // The full-text table was built over the rows that were already there.
    EXPECT_EQ(
        raw.integer("SELECT rowid FROM entries_fts WHERE entries_fts MATCH '\"rep\" AND \"ort\"'"),
        2);
}

TEST(IndexDatabase, RefusesAFileFromANewerVersionWithoutTouchingIt) {
    TempDirectory folder;
    for (bool wal : {true, false}) {
        std::string path = folder / (wal ? "wal.sqlite3" : "journal.sqlite3");
        {
            SearchIndex index(path);
            index.setMetadata("eventID", "42");
        }
        {
            RawDatabase raw(path);
            raw.execute("UPDATE schema_state SET value = 5 WHERE key = 'schema_version'");
            if (!wal) {
                raw.execute("PRAGMA journal_mode=DELETE");
            }
        }
        std::string before = test::readFile(path);
        std::vector<std::string> listed = test::listFolder(folder.path());
        try {
            SearchIndex::openRecoveringCorruption(path);
            FAIL() << "a version 5 index was opened";
        } catch (const NexdirError& error) {
            EXPECT_EQ(error.kind(), NexdirError::Kind::sqlite);
            EXPECT_STREQ(error.what(),
                         "This index was created by a newer Quelmo. Update the app to open it.");
        }
        EXPECT_EQ(test::readFile(path), before) << path;
        // Not even an empty "-wal" or "-shm" is left beside it.
        EXPECT_EQ(test::listFolder(folder.path()), listed) << path;
    }
    for (const auto& name : test::listFolder(folder.path())) {
        EXPECT_EQ(name.find("corrupt-index-"), std::string::npos);
    }
}

TEST(IndexDatabase, SetsACorruptFileAsideWithItsCompanions) {
    TempDirectory folder;
    std::string path = folder / "index-v2.sqlite3";
    test::writeFile(path, std::string(8192, 'g'));
    test::writeFile(path + "-wal", "wal bytes");
    test::writeFile(path + "-shm", "shm bytes");

    try {
        SearchIndex plain(path);
        FAIL() << "garbage opened as an index";
    } catch (const NexdirError& error) {
        EXPECT_EQ(error.code(), 26);
    }

    auto index = SearchIndex::openRecoveringCorruption(path);
    EXPECT_EQ(index->statistics().indexedItems, 0);
    EXPECT_FALSE(index->hasCompletedFullScan());

    std::string aside;
    for (const auto& name : test::listFolder(folder.path())) {
        if (name.starts_with("corrupt-index-")) {
            aside = name;
        }
    }
    ASSERT_EQ(aside.size(), std::string("corrupt-index-").size() + 36) << aside;
    EXPECT_EQ(aside.substr(14), [&] {
        std::string upper = aside.substr(14);
        for (char& c : upper) {
            c = char(toupper(c));
        }
        return upper;
    }());
    std::string moved = folder / aside;
    EXPECT_EQ(test::permissions(moved), 0700u);
    EXPECT_EQ(test::readFile(moved + "/index-v2.sqlite3"), std::string(8192, 'g'));
    // SQLite may rewrite the shared-memory index while it looks at the files; both companions
    // are moved all the same.
    EXPECT_TRUE(test::exists(moved + "/index-v2.sqlite3-wal"));
    EXPECT_TRUE(test::exists(moved + "/index-v2.sqlite3-shm"));
    EXPECT_FALSE(test::exists(path + "-shm.moved"));
}

namespace {

// The file name of the one corrupt-index- folder in `folder`, empty when there is none.
std::string setAsideFolder(const TempDirectory& folder) {
    std::string found;
    for (const auto& name : test::listFolder(folder.path())) {
        if (name.starts_with("corrupt-index-")) {
            EXPECT_TRUE(found.empty()) << "a second " << name;
            found = name;
        }
    }
    return found;
}

} // namespace

TEST(IndexDatabase, AFileThatOpensButCannotServeAsAnIndexIsSetAside) {
    TempDirectory folder;
    std::string unwritable = folder / "unwritable.sqlite3";
    {
        SearchIndex index(unwritable);
        TreeBuilder tree(index, "/");
        tree.file(tree.root(), "old.txt");
    }
    // Header byte 18 says which file format may write the database; above 2, none may.
    std::string bytes = test::readFile(unwritable);
    bytes[18] = 3;
    test::writeFile(unwritable, bytes);

    TempDirectory otherFolder;
    std::string misshapen = otherFolder / "misshapen.sqlite3";
    RawDatabase(misshapen).execute("CREATE TABLE entries(id INTEGER PRIMARY KEY, label TEXT)");

    for (auto [path, where] :
         {std::pair{unwritable, &folder}, std::pair{misshapen, &otherFolder}}) {
        try {
            SearchIndex plain(path);
            FAIL() << path << " opened as an index";
        } catch (const NexdirError& error) {
            EXPECT_EQ(error.code(), SQLITE_CORRUPT) << error.what();
            EXPECT_TRUE(std::string(error.what()).starts_with("Index " + path + " is damaged: "))
                << error.what();
        }
        EXPECT_TRUE(setAsideFolder(*where).empty()) << "only the recovering open sets aside";
        auto index = SearchIndex::openRecoveringCorruption(path);
        TreeBuilder tree(*index, "/");
        tree.file(tree.root(), "new.txt");
        EXPECT_EQ(index->statistics().indexedItems, 2);
        EXPECT_TRUE(test::exists(*where / setAsideFolder(*where) + "/" +
                                 std::filesystem::path(path).filename().string()));
    }
}

TEST(IndexDatabase, AnotherProgramsDatabaseIsRefusedUntouched) {
    TempDirectory folder;
    std::string path = folder / "notes.db";
    {
        RawDatabase raw(path);
        raw.execute("CREATE TABLE notes(id INTEGER PRIMARY KEY, body TEXT)");
        raw.execute("INSERT INTO notes(body) VALUES('keep me')");
    }
    std::string before = test::readFile(path);
    std::vector<std::string> listed = test::listFolder(folder.path());
    for (bool recovering : {false, true}) {
        try {
            if (recovering) {
                SearchIndex::openRecoveringCorruption(path);
            } else {
                SearchIndex plain(path);
            }
            FAIL() << "another program's database opened as an index";
        } catch (const NexdirError& error) {
            EXPECT_EQ(std::string(error.what()), path + " is not a Quelmo index");
        }
        EXPECT_EQ(test::readFile(path), before);
        EXPECT_EQ(test::listFolder(folder.path()), listed);
    }
}

TEST(IndexDatabase, OpenFailuresNameThePathAndTheReason) {
    TempDirectory folder;
    auto failure = [](const std::string& path) {
        try {
            SearchIndex index(path);
        } catch (const std::exception& error) {
            return std::string(error.what());
        }
        return std::string("opened");
    };
    std::filesystem::create_directories(folder / "a-folder");
    EXPECT_EQ(failure(folder / "a-folder"),
              "Could not open index " + folder / "a-folder" + ": it is a folder, not a file");
    ASSERT_EQ(mkfifo((folder / "a-fifo").c_str(), 0600), 0);
    EXPECT_EQ(failure(folder / "a-fifo"),
              "Could not open index " + folder / "a-fifo" + ": it is not a regular file");
    std::filesystem::create_symlink("/dev/null", folder / "to-null");
    EXPECT_EQ(failure(folder / "to-null"),
              "Could not open index " + folder / "to-null" + ": it is not a regular file");

    // Permissions bind only an ordinary user.
    { SearchIndex index(folder / "locked.sqlite3"); }
    chmod((folder / "locked.sqlite3").c_str(), 0);
    std::filesystem::create_directories(folder / "read-only");
    chmod((folder / "read-only").c_str(), 0555);
    chmod(folder.path().c_str(), 0755);
    std::string report = test::runUnprivileged([&] {
        return failure(folder / "locked.sqlite3") + "\n" +
               failure(folder / "read-only/new.sqlite3");
    });
    EXPECT_EQ(report, "Could not open index " + folder / "locked.sqlite3" +
                          ": Permission denied (check the permissions of the file and its "
                          "folder)\nCould not open index " +
                          folder / "read-only/new.sqlite3" +
                          ": Permission denied (check the permissions of the file and its folder)");
    chmod((folder / "locked.sqlite3").c_str(), 0644);

    std::filesystem::create_directories(folder / "locks/rebuild.lock");
    try {
        RebuildOwnership lock(folder / "locks", "rebuild.lock");
        FAIL() << "a folder taken as the lock file";
    } catch (const NexdirError& error) {
        EXPECT_EQ(std::string(error.what()), "Could not open rebuild ownership lock " +
                                                 folder / "locks/rebuild.lock" +
                                                 ": it is a folder, not a file");
    }
}

TEST(IndexDatabase, MetadataIsStoredAllOrNothing) {
    TempDirectory folder;
    std::string path = folder / "index.sqlite3";
    SearchIndex index(path);
    EXPECT_FALSE(index.metadata("eventID"));
    index.setMetadata("eventID", "17");
    index.setMetadata({{"eventID", "18"}, {"needsRecovery", "0"}});
    EXPECT_EQ(index.metadata("eventID"), "18");
    EXPECT_EQ(index.metadata("needsRecovery"), "0");
    EXPECT_NO_THROW(index.setMetadata(std::map<std::string, std::string>{}));

    {
        RawDatabase raw(path);
        raw.execute("CREATE TRIGGER refuse BEFORE INSERT ON metadata WHEN new.key = 'zzz' "
                    "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    }
    try {
        index.setMetadata({{"aaa", "1"}, {"eventID", "19"}, {"zzz", "2"}});
        FAIL() << "the refused write succeeded";
    } catch (const NexdirError& error) {
        EXPECT_STREQ(error.what(), "Could not save index state: refused");
    }
    EXPECT_FALSE(index.metadata("aaa"));
    EXPECT_EQ(index.metadata("eventID"), "18");
}

TEST(IndexDatabase, StatisticsCountTheTreeAndTheThreeFiles) {
    TempDirectory folder;
    std::string path = folder / "index.sqlite3";
    SearchIndex index(path);
    TreeBuilder tree(index, "/");
    int64_t docs = tree.folder(tree.root(), "docs");
    tree.file(docs, "a.txt");
    tree.file(docs, "b.txt");
    auto statistics = index.statistics();
    EXPECT_EQ(statistics.indexedItems, 4);
    EXPECT_EQ(statistics.directories, 2);
    EXPECT_EQ(statistics.files, 2);
    EXPECT_GT(statistics.indexBytes, 0);
    EXPECT_TRUE(statistics.indexBytesComplete);

    RawDatabase(path).execute("UPDATE file_stats SET directories = total + 5");
    EXPECT_EQ(index.statistics().files, 0);
}

TEST(IndexDatabase, BulkLoadRebuildsIndexesTriggersAndCounters) {
    TempDirectory folder;
    std::string path = folder / "index.sqlite3";
    SearchIndex index(path);
    NameSearch names{index};
    TreeBuilder old(index, "/old");
    old.file(old.root(), "stale.txt");
    index.markFullScanCompleted();

    index.resetForFullScan();
    EXPECT_FALSE(index.hasCompletedFullScan());
    EXPECT_EQ(index.reserveID(), 1);
    {
        RawDatabase raw(path);
        EXPECT_EQ(
            raw.integer("SELECT count(*) FROM sqlite_master WHERE type IN ('trigger', 'index') "
                        "AND name LIKE 'entries%' AND sql IS NOT NULL"),
            0);
        EXPECT_EQ(raw.integer("SELECT count(*) FROM sqlite_master WHERE name = 'entries_fts'"), 0);
    }
    int64_t projects = index.reserveID();
    std::vector<FileRecord> records{record(1, 0, "/", true), record(projects, 1, "Projects", true)};
    for (int i = 0; i < 100; ++i) {
        records.push_back(
            record(index.reserveID(), projects, "report-" + std::to_string(i) + ".txt"));
    }
    index.upsert(records);
    index.finishBulkLoad();
    index.markFullScanCompleted();

    EXPECT_EQ(schemaOf(path), expectedSchema);
    auto statistics = index.statistics();
    EXPECT_EQ(statistics.indexedItems, 102);
    EXPECT_EQ(statistics.directories, 2);
    EXPECT_EQ(names.search("report-42", 10).results.size(), 1u);
    // Triggers are back: a later write keeps the counters and full-text index current.
    index.upsert({record(index.reserveID(), projects, "report-extra.txt")});
    EXPECT_EQ(index.statistics().indexedItems, 103);
    EXPECT_EQ(names.search("extra", 10).results.size(), 1u);
}

TEST(IndexDatabase, ReplaceContentsInstallsACopyAndItsIdentifiers) {
    TempDirectory folder;
    SearchIndex live(folder / "live.sqlite3");
    NameSearch liveNames{live};
    TreeBuilder oldTree(live, "/");
    oldTree.file(oldTree.root(), "before.txt");

    SearchIndex rebuilt(folder / "rebuild/index.sqlite3");
    fillManyFiles(rebuilt, 20000);
    rebuilt.setMetadata("roots", "[\"/\"]");
    int64_t rebuiltNext = rebuilt.reserveID() + 1;

    int batches = 0;
    live.replaceContents(rebuilt, [&] { batches++; });
    EXPECT_GT(batches, 0);
    EXPECT_EQ(live.reserveID(), rebuiltNext);
    EXPECT_EQ(live.metadata("roots"), "[\"/\"]");
    EXPECT_EQ(live.statistics().indexedItems, 20001);
    EXPECT_TRUE(liveNames.search("before", 10).results.empty());
    EXPECT_EQ(liveNames.search("after-19999", 10).results.size(), 1u);
}

TEST(IndexDatabase, AnAbandonedInstallLeavesTheLiveIndexAsItWas) {
    TempDirectory folder;
    SearchIndex live(folder / "live.sqlite3");
    NameSearch liveNames{live};
    TreeBuilder oldTree(live, "/");
    oldTree.file(oldTree.root(), "before.txt");
    SearchIndex rebuilt(folder / "rebuilt.sqlite3");
    fillManyFiles(rebuilt, 20000);
    EXPECT_THROW(live.replaceContents(rebuilt, [] { throw std::runtime_error("cancelled"); }),
                 std::runtime_error);
    EXPECT_EQ(live.statistics().indexedItems, 2);
    EXPECT_EQ(liveNames.search("before", 10).results.size(), 1u);
}

TEST(IndexDatabase, AnInstallThatStaysBusyFails) {
    TempDirectory folder;
    std::string livePath = folder / "live.sqlite3";
    SearchIndex live(livePath);
    SearchIndex rebuilt(folder / "rebuilt.sqlite3");
    RawDatabase blocker(livePath);
    blocker.execute("BEGIN IMMEDIATE;");
    try {
        live.replaceContents(rebuilt);
        FAIL() << "installed over a locked index";
    } catch (const NexdirError& error) {
        EXPECT_TRUE(std::string(error.what()).starts_with("Could not install new index: "))
            << error.what();
    }
    blocker.execute("ROLLBACK;");
}

TEST(IndexDatabase, ConcurrentWritersAndReadersSeeOnlyWholeBatches) {
    TempDirectory folder;
    SearchIndex index(folder / "index.sqlite3");
    TreeBuilder tree(index, "/");
    constexpr int writers = 3, batchesPerWriter = 40, batchSize = 25;
    std::vector<int64_t> folders;
    for (int w = 0; w < writers; ++w) {
        folders.push_back(tree.folder(tree.root(), "writer" + std::to_string(w)));
    }
    const int64_t fixedRows = 1 + writers;

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            for (int b = 0; b < batchesPerWriter; ++b) {
                std::vector<FileRecord> batch;
                for (int i = 0; i < batchSize; ++i) {
                    batch.push_back(record(index.reserveID(), folders[size_t(w)],
                                           "b" + std::to_string(b) + "-" + std::to_string(i)));
                }
                index.upsert(batch);
            }
        });
    }
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            while (!done) {
                if ((index.statistics().indexedItems - fixedRows) % batchSize != 0) {
                    torn++;
                }
                for (int64_t id : folders) {
                    if (index.children(id).size() % batchSize != 0) {
                        torn++;
                    }
                }
                reads++;
            }
        });
    }
    for (int w = 0; w < writers; ++w) {
        threads[size_t(w)].join();
    }
    done = true;
    for (size_t t = writers; t < threads.size(); ++t) {
        threads[t].join();
    }
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(index.statistics().indexedItems, fixedRows + writers * batchesPerWriter * batchSize);
}

TEST(IndexDatabase, AnotherConnectionsWritesMoveTheIdentifierCounter) {
    TempDirectory folder;
    std::string path = folder / "index.sqlite3";
    SearchIndex first(path);
    TreeBuilder tree(first, "/");
    tree.file(tree.root(), "a");
    {
        SearchIndex second(path); // another program, which counts from what it finds
        TreeBuilder more(second, "/srv");
        for (int i = 0; i < 5; ++i) {
            more.file(more.root(), "f" + std::to_string(i));
        }
    }
    // The first write after theirs moves the counter past their ids. That write itself meets
    // one of their ids, reserved before (their folder's): it fails whole rather than mixing
    // two entries.
    try {
        tree.file(tree.root(), "b");
        ADD_FAILURE() << "a write over another program's id succeeded";
    } catch (const NexdirError& error) {
        EXPECT_NE(std::string(error.what()).find("UNIQUE constraint failed"), std::string::npos);
    }
    tree.file(tree.root(), "c");
    int64_t next = first.reserveID();
    RawDatabase raw(path);
    EXPECT_EQ(raw.integer("SELECT count(*) FROM entries WHERE name = 'b'"), 0);
    EXPECT_EQ(raw.integer("SELECT count(*) FROM entries WHERE name = '/srv' AND id = 3"), 1);
    EXPECT_GT(next, raw.integer("SELECT max(id) FROM entries"));
    EXPECT_EQ(raw.integer("SELECT count(*) FROM entries WHERE name = 'c'"), 1);
}

TEST(IndexDatabase, TheIndexAndTheFoldersMadeForItAreTheirOwnersAlone) {
    TempDirectory folder;
    chmod(folder.path().c_str(), 0755);
    // A folder the user chose (their home, a shared tree) keeps its mode; folders made for an
    // index are the owner's alone.
    std::string shared = folder / "shared";
    std::filesystem::create_directories(shared);
    chmod(shared.c_str(), 0755);
    std::string path = shared + "/index.sqlite3";
    {
        SearchIndex made(folder / "new/nested/index.sqlite3");
        SearchIndex index(path);
        TreeBuilder(index, "/").file(1, "private.txt");
        EXPECT_EQ(test::permissions(folder / "new"), 0700u);
        EXPECT_EQ(test::permissions(folder / "new/nested"), 0700u);
        EXPECT_EQ(test::permissions(shared), 0755u);
        for (const char* suffix : {"", "-wal", "-shm"}) {
            EXPECT_EQ(test::permissions(path + suffix), 0600u) << suffix;
        }
    }
    if (geteuid() == 0) {
        // Another account reads no names, though it may enter the folder.
        std::string answer = test::runUnprivileged([&] {
            try {
                SearchIndex reading(path, SearchIndex::Access::readOnly);
                return std::string("read");
            } catch (const std::exception& error) {
                return std::string(error.what());
            }
        });
        EXPECT_NE(answer.find("Permission denied"), std::string::npos) << answer;
    }

    // An index and a data folder left open to all are repaired when the index is opened.
    struct DataHome {
        std::optional<std::string> saved;
        explicit DataHome(const std::string& path) {
            if (const char* old = std::getenv("XDG_DATA_HOME")) {
                saved = old;
            }
            setenv("XDG_DATA_HOME", path.c_str(), 1);
        }
        ~DataHome() {
            saved ? setenv("XDG_DATA_HOME", saved->c_str(), 1) : unsetenv("XDG_DATA_HOME");
        }
    } home(folder / "home");
    std::string data = applicationDataDirectory();
    std::string index = data + "/index-v2.sqlite3";
    { SearchIndex made(index); }
    RawDatabase keeping(index); // holds the "-wal" and "-shm" open
    keeping.integer("SELECT count(*) FROM metadata");
    chmod(data.c_str(), 0755);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        chmod((index + suffix).c_str(), 0644);
    }
    size_t repairs = test::logCount("index permissions repaired");
    { SearchIndex reopened(index); }
    EXPECT_EQ(test::permissions(data), 0700u);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        EXPECT_EQ(test::permissions(index + suffix), 0600u) << suffix;
    }
    EXPECT_EQ(test::logCount("index permissions repaired"), repairs + 1);
}

TEST(IndexDatabase, ReadingOnlyCreatesAndWritesNothing) {
    TempDirectory folder;
    std::string path = folder / "index-v2.sqlite3";
    {
        SearchIndex index(path);
        fillManyFiles(index, 3);
    }
    ASSERT_EQ(test::listFolder(folder.path()), std::vector<std::string>{"index-v2.sqlite3"});
    std::string before = test::readFile(path);
    auto entries = [](SearchIndex& index) {
        int64_t count = 0;
        index.read([&](SearchIndex::Reader& reader) { count = reader.counts().first; });
        return count;
    };
    {
        // No companions to read with: the file as it stands, and nothing beside it.
        SearchIndex reading(path, SearchIndex::Access::readOnly);
        EXPECT_EQ(entries(reading), 4);
        EXPECT_THROW(reading.setMetadata("key", "value"), NexdirError);
        EXPECT_EQ(test::listFolder(folder.path()), std::vector<std::string>{"index-v2.sqlite3"});
    }
    EXPECT_EQ(test::readFile(path), before);

    // Beside a writer: its commits are seen, as any reader sees them.
    {
        SearchIndex writer(path);
        SearchIndex reading(path, SearchIndex::Access::readOnly);
        fillManyFiles(writer, 2);
        EXPECT_EQ(entries(reading), 4 + 2); // the root is there already
    }

    if (geteuid() == 0) {
        // By a user who may only read the file and its folder.
        chmod(folder.path().c_str(), 0755);
        chmod(path.c_str(), 0644);
        std::string answer = test::runUnprivileged([&] {
            try {
                SearchIndex reading(path, SearchIndex::Access::readOnly);
                return std::to_string(entries(reading));
            } catch (const std::exception& error) {
                return std::string(error.what());
            }
        });
        EXPECT_EQ(answer, "6");
    }

    // A damaged file is reported, and left where it is for a writer to set aside.
    test::writeFile(path, std::string(8192, 'g'));
    EXPECT_THROW(SearchIndex(path, SearchIndex::Access::readOnly), NexdirError);
    EXPECT_EQ(test::listFolder(folder.path()), std::vector<std::string>{"index-v2.sqlite3"});
}

TEST(IndexDatabase, ReadingOnlyBesideACheckpointingWriterNeverReportsDamage) {
    TempDirectory folder;
    std::string path = folder / "index-v2.sqlite3";
    {
        SearchIndex index(path);
        fillManyFiles(index, 20000);
    }
    auto search = [](SearchIndex& reading) {
        NameSearch names(reading);
        names.setNameCatalogueEnabled(false);
        for (const char* query : {"after 1", "w1", "w2 after", "er-19"}) {
            names.search(query, 50);
            reading.largestFiles(20, 0, true);
        }
    };
    std::vector<std::string> failures;
    for (int round = 0; round < 20 && failures.size() < 5; ++round) {
        {
            // Opened while nothing holds the index, so it reads without locks; then a writer
            // comes, and rows move and are checkpointed into the file under it. Searches that
            // start beside the writer read with its locks.
            SearchIndex opened(path, SearchIndex::Access::readOnly);
            std::atomic<bool> done{false};
            std::thread writer([&] {
                RawDatabase raw(path);
                for (int batch = 0; !done; ++batch) {
                    raw.execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                                "WHERE i < 300) INSERT INTO entries(parent_id, name, search_name, "
                                "is_directory) SELECT 1, 'w' || i || '-" +
                                std::to_string(round) + "-" + std::to_string(batch) +
                                "', 'w' || i, 0 FROM n;");
                    raw.execute("DELETE FROM entries WHERE id IN (SELECT id FROM entries WHERE "
                                "parent_id = 1 ORDER BY random() LIMIT 200);");
                    raw.execute("PRAGMA wal_checkpoint(TRUNCATE);");
                }
            });
            try {
                search(opened);
                for (int i = 0; i < 3; ++i) {
                    SearchIndex beside(path, SearchIndex::Access::readOnly);
                    search(beside);
                }
            } catch (const std::exception& error) {
                failures.push_back(error.what());
            }
            done = true;
            writer.join();
        }
        // A connection that reads and closes alone removes the "-wal" and "-shm".
        RawDatabase(path).integer("SELECT count(*) FROM metadata");
    }
    EXPECT_EQ(failures, std::vector<std::string>{});

    // A file damaged beyond its header is reported all the same, once a read with locks
    // finds it damaged too.
    std::string bytes = test::readFile(path);
    for (size_t at = 8192; at < bytes.size(); at += 4096) {
        bytes.replace(at, 64, 64, 'g');
    }
    test::writeFile(path, bytes);
    try {
        SearchIndex reading(path, SearchIndex::Access::readOnly);
        search(reading);
        ADD_FAILURE() << "a damaged index was read";
    } catch (const NexdirError& error) {
        EXPECT_EQ(error.code() & 0xff, SQLITE_CORRUPT) << error.what();
    }
}
