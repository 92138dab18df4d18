#include "FSEventWatcher.h"
#include "FileEventService.h"
#include "FileIndexer.h"
#include "Format.h"
#include "NameSearch.h"
#include "NexdirError.h"
#include "RebuildOwnership.h"
#include "TestSupport.h"
#include "UUID.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <thread>

using namespace nexdir;
using nexdir::test::RawDatabase;
using nexdir::test::TempDirectory;
namespace fs = std::filesystem;

using nexdir::test::makeFile;

namespace {

class RebuildTest : public ::testing::Test {
protected:
    TempDirectory folder;
    std::string data = folder / "Nexdir";
    std::string root = folder / "tree";
    std::unique_ptr<SearchIndex> live = std::make_unique<SearchIndex>(data + "/index-v2.sqlite3");
    FileIndexer indexer{*live, data, {}, 50, 2};

    void SetUp() override {
        makeFile(root + "/old-report.txt");
        makeFile(root + "/docs/kept.txt");
    }
    std::vector<std::string> rebuildFolders() {
        std::vector<std::string> found;
        for (const auto& name : test::listFolder(data)) {
            if (name.starts_with(".rebuild-")) {
                found.push_back(name);
            }
        }
        return found;
    }
    size_t hits(const std::string& query) {
        return NameSearch(*live).search(query, 10).results.size();
    }
};

} // namespace

TEST_F(RebuildTest, SearchesAnswerFromTheOldContentUntilTheInstall) {
    indexer.scanAll(std::vector<std::string>{root}, std::nullopt, std::nullopt, {});
    ASSERT_EQ(hits("old-report"), 1u);
    EXPECT_TRUE(live->hasCompletedFullScan());

    bool checkedDuringScan = false;
    indexer.scanAll(std::vector<std::string>{root}, std::nullopt, std::nullopt,
                    [&](const IndexProgress& progress) {
                        if (progress.phase == IndexProgress::Phase::discovering) {
                            fs::remove(root + "/old-report.txt");
                            makeFile(root + "/new-report.txt");
                        }
                        if (progress.phase == IndexProgress::Phase::finished) {
                            EXPECT_EQ(hits("old-report"), 1u);
                            EXPECT_EQ(hits("new-report"), 0u);
                            EXPECT_EQ(rebuildFolders().size(), 1u);
                            checkedDuringScan = true;
                        }
                    });
    EXPECT_TRUE(checkedDuringScan);
    EXPECT_EQ(hits("old-report"), 0u);
    EXPECT_EQ(hits("new-report"), 1u);
    EXPECT_TRUE(rebuildFolders().empty());
    // The identifier counter follows the installed copy.
    EXPECT_EQ(live->reserveID(), live->statistics().indexedItems + 1);
}

TEST_F(RebuildTest, RecordsTheScanInTheMetadata) {
    std::string second = folder / "second";
    fs::create_directories(second);
    live->setMetadata("maintenanceAttempt", "1700000000");
    indexer.setExcludedPaths({root + "/zeta", root + "/docs"});
    std::string identity = FSEventWatcher::historyIdentity({second, root});
    indexer.scanAll(std::vector<std::string>{second, root}, 1234, identity, {});

    EXPECT_EQ(live->metadata("indexFormat"), "4");
    EXPECT_EQ(live->metadata("maintenanceAttempt"), "1700000000");
    EXPECT_EQ(live->metadata("excludedPaths"), "[\"" + root + "/docs\",\"" + root + "/zeta\"]");
    EXPECT_EQ(live->metadata("scanErrors"), "0");
    EXPECT_EQ(live->metadata("inaccessiblePaths"), "[]");
    EXPECT_EQ(live->metadata("roots"), second + "\n" + root);
    EXPECT_EQ(live->metadata("needsRecovery"), "0");
    EXPECT_EQ(live->metadata("eventID"), "1234");
    EXPECT_EQ(live->metadata("scanBaseline"), "1234");
    EXPECT_EQ(live->metadata("historyIdentity"), identity);
    EXPECT_EQ(hits("kept"), 0u);

    indexer.scanAll(std::vector<std::string>{root}, std::nullopt, std::nullopt, {});
    EXPECT_FALSE(live->metadata("eventID"));
    EXPECT_FALSE(live->metadata("scanBaseline"));
}

TEST_F(RebuildTest, FailuresLeaveTheLiveIndexAsItWasAndNoRebuildFolder) {
    indexer.scanAll(std::vector<std::string>{root}, 77, std::nullopt, {});
    auto before = live->statistics();

    // Another owner of the lock: refused at once.
    {
        RebuildOwnership other(data, "rebuild.lock");
        try {
            indexer.scanAll(std::vector<std::string>{root}, std::nullopt, std::nullopt, {});
            FAIL() << "two rebuilds at once";
        } catch (const NexdirError& error) {
            EXPECT_STREQ(error.what(), "Another process owns this index operation");
        }
        EXPECT_TRUE(rebuildFolders().empty());
    }
    // A volume whose history changed during the scan.
    EXPECT_THROW(
        indexer.scanAll(std::vector<std::string>{root}, 88, std::string("stale identity"), {}),
        NexdirError);
    // A root that cannot be read.
    EXPECT_THROW(
        indexer.scanAll(std::vector<std::string>{folder / "missing"}, 99, std::nullopt, {}),
        NexdirError);
    // A disk too full.
    indexer.setAvailableCapacity([](const std::string&) { return std::optional<int64_t>(100); });
    try {
        indexer.scanAll(std::vector<std::string>{root}, std::nullopt, std::nullopt, {});
        FAIL() << "rebuilt on a full disk";
    } catch (const IndexCapacityError& error) {
        EXPECT_EQ(error.required(), 268435456);
        EXPECT_STREQ(error.what(), "Not enough free space to rebuild the index. Need approximately "
                                   "268.4 MB; available 100 bytes.");
    }

    EXPECT_TRUE(rebuildFolders().empty());
    EXPECT_EQ(live->statistics(), before);
    EXPECT_EQ(live->metadata("eventID"), "77");
    EXPECT_EQ(hits("old-report"), 1u);
}

TEST_F(RebuildTest, AbandonedRebuildsAreRemovedAndNothingElse) {
    fs::create_directories(data);
    std::string abandoned = data + "/.rebuild-" + makeUUIDString();
    std::string owned = data + "/.rebuild-" + makeUUIDString();
    std::string notes = data + "/.rebuild-notes";
    std::string linked = data + "/.rebuild-" + makeUUIDString();
    std::string plainFile = data + "/.rebuild-" + makeUUIDString();
    makeFile(abandoned + "/index.sqlite3");
    makeFile(owned + "/index.sqlite3");
    test::writeFile(owned + "/owner.pid", std::to_string(getpid()));
    fs::create_directories(notes);
    fs::create_directory_symlink(root, linked);
    test::writeFile(plainFile, "not a folder");

    indexer.cleanupAbandonedRebuilds();
    EXPECT_FALSE(test::exists(abandoned));
    EXPECT_TRUE(test::exists(owned));
    EXPECT_TRUE(test::exists(notes));
    EXPECT_TRUE(test::exists(linked));
    EXPECT_TRUE(test::exists(root + "/old-report.txt"));
    EXPECT_TRUE(test::exists(plainFile));
}

TEST_F(RebuildTest, AWatcherFromTheScanBaselineMissesNothingThatChangedDuringTheScan) {
    FileEventService service;
    indexer.setRegistrar(std::shared_ptr<DirectoryRegistrar>(&service, [](DirectoryRegistrar*) {}));
    uint64_t baseline = service.currentEventID();
    indexer.scanAll(std::vector<std::string>{root}, baseline, std::nullopt,
                    [&](const IndexProgress& progress) {
                        if (progress.phase == IndexProgress::Phase::finished) {
                            makeFile(root + "/docs/during-scan.txt"); // after docs was listed
                        }
                    });
    EXPECT_EQ(hits("during-scan"), 0u);

    std::mutex lock;
    std::condition_variable done;
    std::vector<FileSystemEvent> seen;
    FSEventWatcher watcher(
        {root}, baseline, false, false, {},
        [&](const std::vector<FileSystemEvent>& batch) {
            std::lock_guard guard(lock);
            seen.insert(seen.end(), batch.begin(), batch.end());
            done.notify_all();
        },
        service);
    std::unique_lock guard(lock);
    ASSERT_TRUE(done.wait_for(guard, std::chrono::seconds(3), [&] {
        return std::any_of(seen.begin(), seen.end(),
                           [](auto& event) { return event.isHistoryDone(); });
    }));
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(),
                            [&](auto& event) { return event.path == root + "/docs"; }));
}

TEST_F(RebuildTest, InaccessiblePathsKeepOnlyWhatTheRulesKeep) {
    live->setMetadata("roots", "/");
    indexer.recordInaccessible({"/proc/1/fd"}, false);
    EXPECT_FALSE(live->metadata("inaccessiblePaths"));
    indexer.recordInaccessible({"/srv/locked", "/srv/also"}, false);
    EXPECT_EQ(live->metadata("inaccessiblePaths"), "[\"/srv/also\",\"/srv/locked\"]");
    indexer.setExcludedPaths({"/srv/locked"});
    indexer.recordInaccessible({}, false);
    EXPECT_EQ(live->metadata("inaccessiblePaths"), "[\"/srv/also\",\"/srv/locked\"]");
    indexer.recordInaccessible({}, true);
    EXPECT_EQ(live->metadata("inaccessiblePaths"), "[\"/srv/also\"]");
}

TEST(Format, FileByteCounts) {
    EXPECT_EQ(formatFileBytes(0), "Zero KB");
    EXPECT_EQ(formatFileBytes(100), "100 bytes");
    EXPECT_EQ(formatFileBytes(12'345), "12 KB");
    EXPECT_EQ(formatFileBytes(268'435'456), "268.4 MB");
    EXPECT_EQ(formatFileBytes(2'281'701'376), "2.28 GB");
    EXPECT_EQ(formatFileBytes(1'000'000'000), "1 GB");
}

TEST_F(RebuildTest, TechnicalLocationsAreRemovedFromAnOlderIndex) {
    test::TreeBuilder tree(*live, "/");
    int64_t var = tree.folder(tree.root(), "var");
    tree.file(tree.folder(tree.folder(var, "cache"), "apt"), "pkgcache.bin");
    tree.file(tree.folder(var, "lib"), "kept");
    live->setMetadata("roots", "/");
    indexer.applyTechnicalExclusions();
    EXPECT_FALSE(live->entryID("/var/cache", "/"));
    EXPECT_TRUE(live->entryID("/var/lib/kept", "/"));
}

TEST_F(RebuildTest, EachRootIsWalkedOnceAndALinkedRootAsItsFolder) {
    std::string link = folder / "link-to-tree";
    fs::create_symlink(root, link);
    std::string other = folder / "other";
    makeFile(other + "/notes.txt");
    // Repeated, nested, given as a link, given with a trailing slash.
    IndexSummary summary = indexer.scanAll(
        std::vector<std::string>{root, root + "/", root + "/docs", link, other, other}, 5,
        std::nullopt, {});
    EXPECT_EQ(live->metadata("roots"), other + "\n" + root);
    // root, old-report.txt, docs, docs/kept.txt; other, notes.txt: each once.
    EXPECT_EQ(live->statistics().indexedItems, 6);
    EXPECT_EQ(summary.indexed, 6);
    EXPECT_EQ(hits("kept"), 1u);

    EXPECT_EQ(indexer.walkRoots({link}), std::vector<std::string>{root});
    // A root on a file system of its own below another stays a root: walks never cross in.
    ExclusionRules separateTmp(std::nullopt, {}, {}, "/home/nobody", {root + "/docs"});
    indexer.setRules(separateTmp);
    EXPECT_EQ(indexer.walkRoots({root, root + "/docs"}),
              (std::vector<std::string>{root, root + "/docs"}));
}

TEST_F(RebuildTest, TheIndexNeverIndexesItsOwnFiles) {
    // An index kept inside the tree it indexes, and not in a data directory.
    std::string database = root + "/idx/index.sqlite3";
    SearchIndex inside(database);
    FileIndexer here(inside, std::nullopt, {}, 50, 2);
    here.scanAll(std::vector<std::string>{root}, std::nullopt, std::nullopt, {});
    here.scanAll(std::vector<std::string>{root}, std::nullopt, std::nullopt, {});
    NameSearch names(inside);
    EXPECT_EQ(names.search("idx", 10).results.size(), 1u); // the folder itself is the user's
    for (const char* own : {"index.sqlite3", "rebuild.lock", "rebuild-", "corrupt"}) {
        EXPECT_TRUE(names.search(own, 10).results.empty()) << own;
    }
}

TEST_F(RebuildTest, ARootThatCannotBeListedIsAnUnreadableFolderAndTheOthersAreInstalled) {
    std::string locked = folder / "locked";
    makeFile(locked + "/secret.txt");
    chmod(locked.c_str(), 0700);
    chmod(folder.path().c_str(), 0777);
    fs::create_directories(folder / "unprivileged");
    chmod((folder / "unprivileged").c_str(), 0777);
    std::string report = test::runUnprivileged([&] {
        SearchIndex index(folder / "unprivileged/index.sqlite3");
        FileIndexer unprivileged(index, folder / "unprivileged", {}, 50, 2);
        IndexSummary summary =
            unprivileged.scanAll(std::vector<std::string>{locked, root}, 9, std::nullopt, {});
        std::string lines = std::to_string(summary.errors) + "\n" +
                            index.metadata("inaccessiblePaths").value_or("") + "\n";
        lines += index.entryID(locked, locked) ? "root kept\n" : "root missing\n";
        lines += index.entryID(root + "/docs/kept.txt", root) ? "other indexed\n" : "not indexed\n";
        return lines;
    });
    chmod(locked.c_str(), 0755);
    if (geteuid() != 0 && report.starts_with("0\n")) {
        GTEST_SKIP() << "this user can list the locked folder";
    }
    EXPECT_EQ(report, "1\n[\"" + locked + "\"]\nroot kept\nother indexed\n");
}

TEST_F(RebuildTest, AnInstallErrorIsReportedAsWhatReallyHappened) {
    indexer.scanAll(std::vector<std::string>{root}, 1, std::nullopt, {});
    makeFile(root + "/new-report.txt");
    // The copy went in, then the commit reported an error (a full disk growing "-shm").
    indexer.setInstall([&](SearchIndex& rebuilt) {
        live->replaceContents(rebuilt);
        throw NexdirError::database(SQLITE_IOERR, "Could not install new index: disk I/O error");
    });
    EXPECT_NO_THROW(indexer.scanAll(std::vector<std::string>{root}, 2, std::nullopt, {}));
    EXPECT_EQ(hits("new-report"), 1u);
    EXPECT_EQ(live->metadata("eventID"), "2");

    // Nothing went in: the error is the scan's.
    makeFile(root + "/newer-report.txt");
    indexer.setInstall([](SearchIndex&) {
        throw NexdirError::database(SQLITE_FULL, "Could not install new index: disk is full");
    });
    EXPECT_THROW(indexer.scanAll(std::vector<std::string>{root}, 3, std::nullopt, {}), NexdirError);
    EXPECT_EQ(hits("newer-report"), 0u);
    EXPECT_EQ(live->metadata("eventID"), "2");
    EXPECT_TRUE(rebuildFolders().empty());
}

TEST_F(RebuildTest, TheInstalledIndexIsWrittenWithFullPagesAndNoSecondCopyInTheWAL) {
    // Two workers write their rows interleaved, and each folder's names in the order it lists
    // them: as written, a tenth of the table's pages and a fifth of the (parent, name) index's
    // would stay empty. The install writes every page through the live index's WAL.
    for (int each = 0; each < 3000; ++each) {
        makeFile(root + "/folder-" + std::to_string(each % 30) + "/file-" +
                 std::to_string(each * 7919 % 3000) + ".txt");
    }
    indexer.scanAll(std::vector<std::string>{root}, std::nullopt, std::nullopt, {});
    EXPECT_EQ(fs::file_size(live->databasePath() + "-wal"), 0u);

    RawDatabase installed(live->databasePath());
    std::string rewritten = folder / "rewritten.sqlite3";
    installed.execute("VACUUM INTO '" + rewritten + "';");
    EXPECT_EQ(installed.integer("PRAGMA page_count;"),
              RawDatabase(rewritten).integer("PRAGMA page_count;"));
    EXPECT_EQ(installed.text("PRAGMA journal_mode;"), "wal");
    EXPECT_EQ(hits("file-2999"), 1u);
    EXPECT_TRUE(rebuildFolders().empty());
}
