#include "FileIndexer.h"
#include "IndexMetadata.h"
#include "NameSearch.h"
#include "NexdirError.h"
#include "Paths.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

using namespace nexdir;
using nexdir::test::RawDatabase;
using nexdir::test::TempDirectory;
namespace fs = std::filesystem;

namespace {

void makeFile(const std::string& path, size_t bytes = 1) {
    test::makeFile(path, std::string(bytes, 'x'));
}

class ReconcileTest : public ::testing::Test {
protected:
    TempDirectory folder;
    std::string data = folder / "Nexdir";
    std::string root = folder / "tree";
    std::string database = data + "/index-v2.sqlite3";
    SearchIndex index{database};
    FileIndexer indexer{index, data, {}, 7, 2};

    void SetUp() override {
        makeFile(root + "/docs/report.txt", 100);
        makeFile(root + "/docs/old/notes.md", 20);
        makeFile(root + "/music/a.mp3", 3000);
        makeFile(root + "/empty/.keep", 0);
        indexer.scanAll(std::vector<std::string>{root}, 1, std::nullopt, {});
    }
    std::vector<std::string> roots() const { return {root}; }
    // The index, its folders and the tree open to the unprivileged user a test runs as.
    void openToAnotherUser() {
        chmod(folder.path().c_str(), 0777);
        chmod(data.c_str(), 0777);
        for (const char* suffix : {"", "-wal", "-shm"}) {
            chmod((database + suffix).c_str(), 0666);
        }
        chmod(root.c_str(), 0777);
    }
    void expectIndexEqualsDisk(const std::string& context) {
        EXPECT_TRUE(test::indexEqualsDisk(database, root, indexer.rules())) << context;
    }
};

} // namespace

TEST_F(ReconcileTest, PathsOfOneStepThatNeedTheSameNewFolderCreateItOnce) {
    // Both workers would climb to the folder missing from the index: one creates it, and
    // rows written under the other's id would be lost to every search.
    for (int round = 0; round < 40; ++round) {
        std::string fresh = root + "/new-" + std::to_string(round);
        for (int i = 0; i < 8; ++i) {
            makeFile(fresh + "/f" + std::to_string(i));
        }
        FileIndexer::SubtreeWalk walk = indexer.beginReconcileWalk({fresh + "/f1", fresh + "/f2"});
        while (!indexer.stepSubtreeWalk(walk, roots(), 8)) {
        }
    }
    expectIndexEqualsDisk("");
}

TEST_F(ReconcileTest, RandomChangesAreBroughtInLineByEachKindOfReconcile) {
    for (unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        test::TreeChanger(root, seed).change(40);
        switch (seed % 3) {
        case 0:
            indexer.reconcileSubtree(root, roots());
            break;
        case 1: { // stepped as the recovery steps it, a few folders at a time
            FileIndexer::SubtreeWalk walk = indexer.beginSubtreeWalk(root);
            while (!indexer.stepSubtreeWalk(walk, roots(), 3)) {
            }
            break;
        }
        case 2: { // every folder named, as a batch of events names them, without recursion
            std::vector<std::string> folders{root};
            for (const auto& entry : fs::recursive_directory_iterator(root)) {
                if (entry.is_directory() && !entry.is_symlink()) {
                    folders.push_back(entry.path().string());
                }
            }
            // Folders that are gone are named too: events name what changed, gone or not.
            for (const auto& [path, item] : test::indexedTree(database)) {
                if (item.isDirectory) {
                    folders.push_back(path);
                }
            }
            FileIndexer::SubtreeWalk walk = indexer.beginReconcileWalk(folders);
            while (!indexer.stepSubtreeWalk(walk, roots(), 32)) {
            }
            break;
        }
        }
        expectIndexEqualsDisk("seed " + std::to_string(seed));
    }
}

TEST_F(ReconcileTest, AnUnchangedTreeWritesNothing) {
    makeFile(root + "/link-target/x", 1);
    fs::create_symlink(root + "/link-target", root + "/a-link");
    indexer.reconcileSubtree(root, roots()); // the first pass may measure what a scan did not
    RawDatabase watcher(database);
    auto version = [&] { return watcher.integer("PRAGMA data_version"); };
    int64_t before = version();
    indexer.resetReconcileTotals();
    indexer.reconcileSubtree(root, roots());
    FileIndexer::SubtreeWalk walk = indexer.beginSubtreeWalk(root);
    while (!indexer.stepSubtreeWalk(walk, roots(), 2)) {
    }
    indexer.reconcile({root, root + "/docs", root + "/docs/report.txt"}, roots());
    EXPECT_EQ(version(), before) << "a commit reached the index";
    FileIndexer::ReconcileTotals totals = indexer.reconcileTotals();
    EXPECT_EQ(totals.added + totals.removed + totals.updated, 0);
    EXPECT_GT(totals.reconciled, 10);
}

TEST_F(ReconcileTest, SinglePathsAndTheirOrder) {
    // A deleted file and a deleted folder go with everything below them.
    fs::remove(root + "/music/a.mp3");
    fs::remove_all(root + "/docs");
    indexer.reconcile({root + "/music/a.mp3", root + "/docs"}, roots());
    EXPECT_FALSE(index.entryID(root + "/music/a.mp3", root));
    EXPECT_FALSE(index.entryID(root + "/docs/old/notes.md", root));
    EXPECT_EQ(test::indexedTree(database).size(), 4u); // root, music, empty, .keep

    // A path whose folders are missing from the index is reached from the top down.
    makeFile(root + "/new/deeper/file.txt", 5);
    indexer.reconcile({root + "/new/deeper/file.txt"}, roots());
    EXPECT_TRUE(index.entryID(root + "/new/deeper/file.txt", root));

    // A walk over /a, /a/b and /c takes /a before /a/b.
    std::vector<std::string> order;
    struct Order : DirectoryRegistrar {
        std::vector<std::string>& seen;
        explicit Order(std::vector<std::string>& into) : seen(into) {}
        void willList(const std::string& path) override { seen.push_back(path); }
    };
    indexer.setRegistrar(std::make_shared<Order>(order));
    FileIndexer::SubtreeWalk walk =
        indexer.beginReconcileWalk({root + "/new/deeper", root + "/music", root + "/new"});
    EXPECT_FALSE(indexer.stepSubtreeWalk(walk, roots(), 0)); // nothing taken
    EXPECT_TRUE(order.empty());
    while (!indexer.stepSubtreeWalk(walk, roots(), 1)) {
    }
    ASSERT_EQ(order.size(), 3u);
    EXPECT_LE(order[0].size(), std::min(order[1].size(), order[2].size()));
    EXPECT_LT(std::find(order.begin(), order.end(), root + "/new"),
              std::find(order.begin(), order.end(), root + "/new/deeper"));
    EXPECT_TRUE(indexer.stepSubtreeWalk(walk, roots(), 0)); // complete stays complete

    // A path outside every root changes nothing.
    std::string outside = folder / "elsewhere.txt";
    makeFile(outside);
    indexer.reconcile({outside}, roots());
    EXPECT_FALSE(index.entryID(outside, folder.path()));
}

TEST_F(ReconcileTest, EveryFolderAReconcileListsIsAnnouncedBeforeItsListing) {
    // A file made the moment a folder is announced is in that folder's listing.
    struct Announced : DirectoryRegistrar {
        std::mutex lock;
        std::set<std::string> folders;
        void willList(const std::string& path) override {
            std::lock_guard guard(lock);
            if (folders.insert(path).second) {
                test::writeFile(path + "/made-when-announced", "");
            }
        }
    };
    auto announced = std::make_shared<Announced>();
    indexer.setRegistrar(announced);
    makeFile(root + "/fresh/a/b/c.txt");
    makeFile(root + "/stepped/x/y.txt");
    indexer.reconcileSubtree(root + "/docs", roots());
    indexer.reconcile({root + "/fresh"}, roots());
    FileIndexer::SubtreeWalk walk = indexer.beginReconcileWalk({root + "/stepped"});
    while (!indexer.stepSubtreeWalk(walk, roots(), 1)) {
    }
    for (const char* folder :
         {"/docs", "/docs/old", "/fresh", "/fresh/a", "/fresh/a/b", "/stepped", "/stepped/x"}) {
        EXPECT_TRUE(announced->folders.count(root + folder)) << folder;
        EXPECT_TRUE(index.entryID(root + folder + "/made-when-announced", root)) << folder;
    }
}

TEST_F(ReconcileTest, NamesOfEveryKindAreReconciledLikeAnyOther) {
    std::string strange[] = {"bytes\xFF\xFE.bin", "line\nbreak", std::string(255, 'n')};
    for (const std::string& name : strange) {
        makeFile(root + "/docs/" + name, 4);
        fs::create_directories(root + "/docs/" + name.substr(0, 200) + "-folder");
    }
    indexer.reconcile({root + "/docs"}, roots());
    expectIndexEqualsDisk("added");
    for (const std::string& name : strange) {
        fs::remove(root + "/docs/" + name);
    }
    indexer.reconcileSubtree(root, roots());
    expectIndexEqualsDisk("removed");
}

TEST_F(ReconcileTest, ExclusionsComeAndGo) {
    // Enough folders that the scanner's two workers interleave their batches of 7 while a
    // folder no longer excluded is read back in.
    for (int i = 0; i < 40; ++i) {
        for (int j = 0; j < 12; ++j) {
            makeFile(root + "/big/f" + std::to_string(i) + "/sub/report-" + std::to_string(j));
        }
    }
    indexer.reconcile({root}, roots());
    NameSearch names(index);
    auto expectSearchesAgree = [&](const std::string& context) {
        for (const char* query : {"report", "f1", "sub", "notes", "a.mp3"}) {
            auto ranked = names.search(query, 50).results;
            auto plain = test::withPlainStatements([&] { return names.search(query, 50).results; });
            EXPECT_EQ(ranked, plain) << context << ": " << query;
        }
        EXPECT_EQ(names.catalogueDiscards(), 0) << context;
    };
    expectSearchesAgree("before");
    int64_t bigItems = 1 + 40 * (2 + 12);
    std::vector<int64_t> reported;
    auto progress = [&](int64_t items) { reported.push_back(items); };

    std::vector<std::string> excluded{root + "/docs", root + "/big"};
    FileIndexer::ExclusionChange change = indexer.exclusionChange(excluded, roots(), 100);
    EXPECT_EQ(change.removedItems, bigItems + 4);
    EXPECT_EQ(change.readdedFolders, 0);
    indexer.updateExclusions(excluded, roots(), progress);
    EXPECT_FALSE(index.entryID(root + "/docs", root));
    EXPECT_EQ(index.metadata("excludedPaths"), IndexMetadata::encodeExclusions(excluded));
    EXPECT_EQ(reported.back(), bigItems + 4);
    expectIndexEqualsDisk("excluded");
    expectSearchesAgree("excluded");

    // A path that became excluded and is reconciled is removed.
    indexer.reconcile({root + "/music"}, roots());
    change = indexer.exclusionChange({}, roots(), 100);
    EXPECT_EQ(change.removedItems, 0);
    EXPECT_EQ(change.readdedFolders, 2);
    EXPECT_GT(change.readdedItems, 100);
    EXPECT_LT(change.readdedItems, bigItems) << "counted only until past the limit";
    reported.clear();
    indexer.updateExclusions({}, roots(), progress);
    EXPECT_TRUE(index.entryID(root + "/docs/old/notes.md", root));
    EXPECT_EQ(index.metadata("excludedPaths"), "[]");
    EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
    EXPECT_EQ(reported.back(), bigItems + 4);
    expectIndexEqualsDisk("exclusion removed");
    expectSearchesAgree("exclusion removed");
}

TEST_F(ReconcileTest, ProtectedSubtreesAreLeftToTheirOwnRegion) {
    makeFile(root + "/music/new-song.mp3");
    fs::remove(root + "/music/a.mp3");
    makeFile(root + "/docs/new.txt");
    FileIndexer::SubtreeWalk walk = indexer.beginSubtreeWalk(root, {root + "/music"});
    while (!indexer.stepSubtreeWalk(walk, roots(), 32)) {
    }
    EXPECT_TRUE(index.entryID(root + "/docs/new.txt", root));
    EXPECT_TRUE(index.entryID(root + "/music/a.mp3", root))
        << "the region's own reconcile removes it";
    EXPECT_FALSE(index.entryID(root + "/music/new-song.mp3", root));
    // Even gone, a protected subtree keeps its entries for its region.
    fs::remove_all(root + "/music");
    indexer.reconcile({root}, roots(), {}, {root + "/music"});
    EXPECT_TRUE(index.entryID(root + "/music", root));
}

TEST_F(ReconcileTest, UnreadablePathsAreListedAndRecoveredWhenReadableAgain) {
    makeFile(root + "/locked/secret.txt");
    makeFile(root + "/open/visible.txt");
    chmod((root + "/locked").c_str(), 0);
    openToAnotherUser();
    std::string report = test::runUnprivileged([&] {
        SearchIndex unprivileged(database);
        FileIndexer child(unprivileged, data, {}, 7, 2);
        // A permission error on one path records it; the other paths are reconciled.
        child.reconcile({root + "/locked", root + "/open"}, std::vector<std::string>{root});
        return unprivileged.metadata("inaccessiblePaths").value_or("") + " " +
               unprivileged.metadata("scanErrors").value_or("") + "\n" +
               (unprivileged.entryID(root + "/open/visible.txt", root) ? "open" : "closed") + "\n" +
               (child.hasNewlyAccessiblePaths() ? "readable" : "unreadable");
    });
    if (geteuid() != 0 && report.starts_with("[]")) {
        GTEST_SKIP() << "this user can read the locked folder";
    }
    EXPECT_EQ(report, "[\"" + root + "/locked\"] 1\nopen\nunreadable");
    chmod((root + "/locked").c_str(), 0755);
    // As the application would find it at its next launch.
    SearchIndex reopened(database);
    FileIndexer recovering(reopened, data, {}, 7, 2);
    EXPECT_TRUE(recovering.hasNewlyAccessiblePaths());
    EXPECT_EQ(recovering.recoverAccessiblePaths(roots()), 1);
    EXPECT_TRUE(reopened.entryID(root + "/locked/secret.txt", root));
    EXPECT_EQ(reopened.metadata("inaccessiblePaths"), "[]");
    EXPECT_EQ(reopened.metadata("scanErrors"), "0"); // or the status goes on saying "Partial"
    EXPECT_EQ(recovering.recoverAccessiblePaths(roots()), 0);
    EXPECT_GE(test::logCount("targeted access recovery repaired=0 remaining=0"), 1u);
}

TEST_F(ReconcileTest, WalksThatMeetAFolderStillUnreadableKeepItListed) {
    // Its own row reads well from its parent's listing; only listing it fails. Both walks of
    // a verification (stepwise and in one go) must not take the first for the folder being
    // readable again.
    makeFile(root + "/locked/secret.txt");
    chmod((root + "/locked").c_str(), 0);
    openToAnotherUser();
    std::string report = test::runUnprivileged([&] {
        SearchIndex unprivileged(database);
        FileIndexer child(unprivileged, data, {}, 7, 2);
        child.reconcile({root + "/locked"}, std::vector<std::string>{root});
        std::string listed = unprivileged.metadata("inaccessiblePaths").value_or("");
        FileIndexer::SubtreeWalk walk = child.beginSubtreeWalk(root, {});
        while (!child.stepSubtreeWalk(walk, roots(), 2)) {
        }
        listed += " " + unprivileged.metadata("inaccessiblePaths").value_or("");
        child.reconcile({root + "/locked"}, std::vector<std::string>{root}); // listed anyway
        child.reconcileSubtree(root, roots(), {});
        return listed + " " + unprivileged.metadata("inaccessiblePaths").value_or("") + " " +
               unprivileged.metadata("scanErrors").value_or("");
    });
    chmod((root + "/locked").c_str(), 0755);
    if (geteuid() != 0 && report.starts_with("[]")) {
        GTEST_SKIP() << "this user can read the locked folder";
    }
    std::string locked = "[\"" + root + "/locked\"]";
    EXPECT_EQ(report, locked + " " + locked + " " + locked + " 1");
}

TEST(ErrorClasses, PermissionAndUnavailableByErrno) {
    FileSystemError denied("x", EACCES);
    FileSystemError busy("x", EIO);
    FileSystemError missing("x", ENOENT);
    EXPECT_TRUE(FileIndexer::isPermissionError(denied));
    EXPECT_TRUE(FileIndexer::isUnavailableError(denied));
    EXPECT_FALSE(FileIndexer::isPermissionError(busy));
    EXPECT_TRUE(FileIndexer::isUnavailableError(busy));
    EXPECT_FALSE(FileIndexer::isUnavailableError(missing));
    EXPECT_FALSE(FileIndexer::isUnavailableError(std::runtime_error("no errno")));
}

TEST_F(ReconcileTest, AWalkCutShortLeavesNoOrphansAndTheNextWalkCompletesIt) {
    for (int i = 0; i < 12; ++i) {
        for (int j = 0; j < 4; ++j) {
            makeFile(root + "/new/d" + std::to_string(i) + "/e" + std::to_string(j) + "/f.txt");
        }
    }
    makeFile(root + "/new/d11/e3/poison");
    RawDatabase raw(database);
    // A write that fails part way, as a full disk would.
    raw.execute("CREATE TRIGGER poison BEFORE INSERT ON entries WHEN new.name = 'poison' BEGIN "
                "SELECT RAISE(ABORT, 'disk full'); END");
    auto orphans = [&] {
        return raw.integer("SELECT count(*) FROM entries e WHERE parent_id != 0 AND NOT EXISTS "
                           "(SELECT 1 FROM entries p WHERE p.id = e.parent_id)");
    };
    EXPECT_THROW(indexer.reconcile({root + "/new"}, roots()), NexdirError);
    EXPECT_EQ(orphans(), 0);
    FileIndexer::SubtreeWalk walk = indexer.beginSubtreeWalk(root);
    EXPECT_THROW(while (!indexer.stepSubtreeWalk(walk, roots(), 5)){}, NexdirError);
    EXPECT_EQ(orphans(), 0);
    raw.execute("DROP TRIGGER poison");
    while (!indexer.stepSubtreeWalk(walk, roots(), 5)) {
    }
    expectIndexEqualsDisk("after the cut");
}

TEST_F(ReconcileTest, ANewFolderIsWrittenBeforeItsChildrenSoAKillLeavesNoOrphans) {
    for (int i = 0; i < 30; ++i) {
        for (int j = 0; j < 3; ++j) {
            std::string d = "d" + std::to_string(i);
            makeFile(root + "/new/" + d + "/" + d + "e" + std::to_string(j) + "/f.txt");
        }
    }
    // Whenever the process ends, no child row is without its folder's: what is committed
    // holds no orphan, each time a folder is about to be listed. The folders are listed slowly
    // enough that the walk's writes are committed while it goes on.
    struct NoOrphans : DirectoryRegistrar {
        std::string database;
        std::atomic<int64_t> orphans{0};
        std::atomic<bool> sawPartOfTheWalk{false};
        void willList(const std::string&) override {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            RawDatabase raw(database);
            orphans += raw.integer("SELECT count(*) FROM entries AS e WHERE e.parent_id != 0 "
                                   "AND NOT EXISTS (SELECT 1 FROM entries AS p WHERE p.id = "
                                   "e.parent_id)");
            long long files = raw.integer("SELECT count(*) FROM entries WHERE name = 'f.txt'");
            sawPartOfTheWalk = sawPartOfTheWalk || (files > 0 && files < 90);
        }
    };
    auto check = std::make_shared<NoOrphans>();
    check->database = database;
    FileIndexer walker(index, data, {}, 4, 2);
    walker.setRegistrar(check);
    walker.reconcile({root + "/new"}, roots());
    EXPECT_EQ(check->orphans, 0);
    EXPECT_TRUE(check->sawPartOfTheWalk);
    expectIndexEqualsDisk("walked");

    // And a process killed in the middle of one: the next reconcile completes it.
    makeFile(root + "/newer/a/b/c.txt");
    std::string report = test::runInChild([&] {
        SearchIndex child(database);
        FileIndexer cut(child, data, {}, 2, 2);
        struct Killer : DirectoryRegistrar {
            void willList(const std::string& path) override {
                if (path.ends_with("/b")) {
                    _exit(0); // as kill -9 would, with batches in hand
                }
            }
        };
        cut.setRegistrar(std::make_shared<Killer>());
        cut.reconcile({root + "/newer"}, std::vector<std::string>{root});
        return std::string("finished");
    });
    EXPECT_EQ(report, "") << "the child was to end in the middle";
    SearchIndex reopened(database);
    FileIndexer next(reopened, data, {}, 7, 2);
    next.reconcileSubtree(root, roots());
    expectIndexEqualsDisk("");
}
