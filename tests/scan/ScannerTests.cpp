#include "FileIndexer.h"
#include "NexdirError.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

using namespace nexdir;
using nexdir::test::RawDatabase;
using nexdir::test::TempDirectory;

namespace {

namespace fs = std::filesystem;

// Empty unless told otherwise.
void makeFile(const std::string& path, const std::string& contents = "") {
    test::makeFile(path, contents);
}

struct RecordingRegistrar : DirectoryRegistrar {
    void willList(const std::string& folder) override {
        std::lock_guard guard(lock);
        folders.insert(folder);
        threads.insert(std::this_thread::get_id());
        if (onList) {
            onList(folder);
        }
    }
    std::mutex lock;
    std::set<std::string> folders;
    std::set<std::thread::id> threads;
    std::function<void(const std::string&)> onList;
};

class ScannerTest : public ::testing::Test {
protected:
    TempDirectory folder;
    std::string root = folder / "tree";
    std::string database = folder / "index.sqlite3";
    SearchIndex index{database};
    NameSearch names{index};

    void SetUp() override { fs::create_directories(root); }

    ScanTotals scan(FileIndexer& indexer, const ScanProgress& progress = {}) {
        return indexer.scan(root, root, 0, progress);
    }
};

} // namespace

TEST_F(ScannerTest, AnEmptyRootIsOneRowNamedByItsPath) {
    FileIndexer indexer(index, std::nullopt, {}, 2000, 4);
    ScanTotals totals = scan(indexer);
    EXPECT_EQ(totals.scanned, 0);
    EXPECT_EQ(totals.indexed, 1);
    EXPECT_EQ(totals.errors, 0);
    RawDatabase raw(database);
    EXPECT_EQ(raw.text("SELECT name FROM entries WHERE parent_id = 0"), root);
}

TEST_F(ScannerTest, IndexesWhatTheRulesKeepAndNeverFollowsLinks) {
    makeFile(root + "/docs/report.pdf", std::string(5000, 'r'));
    makeFile(root + "/docs/deep/a/b/c/notes.txt");
    makeFile(root + "/project/.git/config");
    makeFile(root + "/project/node_modules/lib/index.js");
    makeFile(root + "/project/src/main.c");
    makeFile(root + "/project/package.json");
    makeFile(root + "/project/coverage/lcov.info");
    fs::create_directory_symlink(root + "/docs", root + "/docs-link");
    fs::create_directory_symlink(root + "/loop", root + "/loop"); // a link to itself
    fs::create_directory_symlink("..", root + "/docs/up");
    makeFile(root + "/empty-dir/.keep");

    FileIndexer indexer(index, std::nullopt, {}, 3, 4);
    ScanTotals totals = scan(indexer);
    EXPECT_EQ(totals.errors, 0);
    test::Tree found = test::indexedTree(database);
    EXPECT_TRUE(test::indexEqualsDisk(database, root, indexer.rules()));
    EXPECT_TRUE(found.count(root + "/docs-link"));
    EXPECT_FALSE(found.count(root + "/docs-link/report.pdf"));
    EXPECT_FALSE(found.count(root + "/project/.git"));
    EXPECT_FALSE(found.count(root + "/project/coverage"));
    EXPECT_EQ(totals.indexed, int64_t(found.size()));
    // Excluded children are listed (scanned) but not indexed.
    EXPECT_GT(totals.scanned, totals.indexed - 1);

    auto report = names.search("report.pdf", 5).results;
    ASSERT_EQ(report.size(), 1u);
    EXPECT_EQ(report[0].size, 5000);
    EXPECT_GE(report[0].allocatedSize.value_or(0), 4096);
    auto link = names.search("docs-link", 5).results;
    ASSERT_EQ(link.size(), 1u);
    EXPECT_FALSE(link[0].isDirectory);
    // A folder's size is 0 whatever its inode reports.
    RawDatabase raw(database);
    EXPECT_EQ(raw.integer("SELECT count(*) FROM entries WHERE is_directory = 1 AND size != 0"), 0);
}

TEST_F(ScannerTest, StrangeNamesAreStoredAndFound) {
    std::string newline = "line\nbreak.txt";
    std::string invalid = "bytes\xFF\xFE.bin";
    std::string longest(251, 'n');
    longest += ".txt";
    for (const auto& name : {newline, invalid, longest}) {
        makeFile(root + "/" + name);
    }
    FileIndexer indexer(index, std::nullopt, {}, 2000, 2);
    scan(indexer);
    EXPECT_TRUE(index.entryID(root + "/" + newline, root));
    EXPECT_TRUE(index.entryID(root + "/" + invalid, root));
    EXPECT_TRUE(index.entryID(root + "/" + longest, root));
    auto found = names.search("bytes", 5).results;
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, root + "/" + invalid);
    EXPECT_EQ(names.search("line", 5).results.size(), 1u);
}

TEST_F(ScannerTest, ProgressComesOncePerWrittenBatch) {
    makeFile(root + "/a/1");
    makeFile(root + "/a/2");
    makeFile(root + "/b");
    FileIndexer indexer(index, std::nullopt, {}, 1, 1);
    std::vector<int64_t> indexedCounts;
    ScanTotals totals = scan(indexer, [&](int64_t, int64_t indexed, int64_t, const std::string&) {
        indexedCounts.push_back(indexed);
    });
    EXPECT_EQ(totals.indexed, 5);
    EXPECT_EQ(indexedCounts, (std::vector<int64_t>{1, 2, 3, 4, 5}));
}

TEST_F(ScannerTest, AnUnreadableRootFailsBeforeWritingAnything) {
    FileIndexer indexer(index, std::nullopt, {}, 2000, 2);
    try {
        indexer.scan(root + "/missing", root + "/missing", 0, {});
        FAIL() << "scanned a missing root";
    } catch (const NexdirError& error) {
        EXPECT_EQ(std::string(error.what()), "Could not read scan root " + root + "/missing");
    }
    EXPECT_EQ(index.statistics().indexedItems, 0);
    // A folder new to a live index that was renamed or removed after its parent's listing
    // showed it is simply not there: failing would stop keeping the whole index live.
    makeFile(root + "/kept");
    scan(indexer);
    ScanTotals gone = indexer.scan(root + "/gone", root, *index.entryID(root, root), {});
    EXPECT_EQ(gone.indexed + gone.errors, 0);
    EXPECT_EQ(index.statistics().indexedItems, 2);
}

TEST_F(ScannerTest, EveryFolderIsAnnouncedBeforeItIsListed) {
    makeFile(root + "/a/b/c/file");
    makeFile(root + "/d/file");
    auto registrar = std::make_shared<RecordingRegistrar>();
    registrar->onList = [&](const std::string& path) {
        // A folder removed between its parent's listing and its own is gone, not unreadable.
        if (path == root + "/d") {
            fs::remove_all(path);
            return;
        }
        // A file made the moment the folder is announced is in its listing: the watch comes
        // first, so no change falls between the two.
        test::writeFile(path + "/made-when-announced", "");
    };
    FileIndexer indexer(index, std::nullopt, {}, 2000, 4);
    indexer.setRegistrar(registrar);
    ScanTotals totals = scan(indexer);
    EXPECT_EQ(registrar->folders, (std::set<std::string>{root, root + "/a", root + "/a/b",
                                                         root + "/a/b/c", root + "/d"}));
    EXPECT_EQ(totals.errors, 0);
    test::Tree indexed = test::indexedTree(database);
    for (const char* folder : {"", "/a", "/a/b", "/a/b/c"}) {
        EXPECT_TRUE(indexed.count(root + folder + "/made-when-announced")) << folder;
    }
}

TEST_F(ScannerTest, PowerSavingUsesOneWorker) {
    for (int i = 0; i < 50; ++i) {
        makeFile(root + "/f" + std::to_string(i) + "/x");
    }
    auto registrar = std::make_shared<RecordingRegistrar>();
    FileIndexer indexer(index, std::nullopt, {}, 2000, 4);
    indexer.setRegistrar(registrar);
    indexer.setPowerSaving([] { return true; });
    scan(indexer);
    EXPECT_EQ(registrar->threads.size(), 1u);
    EXPECT_EQ(registrar->folders.size(), 51u);
}

TEST_F(ScannerTest, TheFirstWriteFailureStopsTheWalkAndIsThrown) {
    for (int i = 0; i < 40; ++i) {
        makeFile(root + "/folder" + std::to_string(i) + "/file" + std::to_string(i));
    }
    RawDatabase(database).execute("CREATE TRIGGER refuse BEFORE INSERT ON entries WHEN new.name "
                                  "LIKE 'file%' BEGIN SELECT RAISE(ABORT, 'disk says no'); END;");
    FileIndexer indexer(index, std::nullopt, {}, 1, 4);
    try {
        scan(indexer);
        FAIL() << "the walk ignored a failed write";
    } catch (const NexdirError& error) {
        EXPECT_TRUE(std::string(error.what()).ends_with(": disk says no")) << error.what();
    }
}

TEST_F(ScannerTest, ManyWorkersWriteACompleteConsistentTree) {
    for (int f = 0; f < 300; ++f) {
        std::string sub = root + "/level" + std::to_string(f % 7) + "/folder" + std::to_string(f);
        for (int i = 0; i < 5; ++i) {
            makeFile(sub + "/item" + std::to_string(i) + ".dat");
        }
    }
    FileIndexer indexer(index, std::nullopt, {}, 17, 4);
    ScanTotals totals = scan(indexer);
    test::Tree found = test::indexedTree(database);
    EXPECT_TRUE(test::indexEqualsDisk(database, root, indexer.rules()));
    EXPECT_EQ(totals.indexed, int64_t(found.size()));
    EXPECT_EQ(totals.scanned, int64_t(found.size()) - 1);
}

TEST_F(ScannerTest, UnreadableFoldersAndItemsAreCountedAndListedNeverFatal) {
    makeFile(root + "/open/visible.txt");
    makeFile(root + "/locked/secret.txt");
    makeFile(root + "/listable-only/hidden.txt");
    chmod((root + "/locked").c_str(), 0);
    chmod((root + "/listable-only").c_str(), 0444); // names can be read, items cannot
    chmod(folder.path().c_str(), 0777);
    chmod(root.c_str(), 0777);
    std::string childDatabase = folder / "unprivileged.sqlite3";
    std::string report = test::runUnprivileged([&] {
        SearchIndex childIndex(childDatabase);
        FileIndexer indexer(childIndex, std::nullopt, {}, 2000, 2);
        ScanTotals totals = indexer.scan(root, root, 0, {});
        std::string lines = std::to_string(totals.errors) + "\n";
        for (const auto& path : totals.inaccessiblePaths) {
            lines += path + "\n";
        }
        return lines +
               (childIndex.entryID(root + "/open/visible.txt", root) ? "visible\n" : "missing\n");
    });
    chmod((root + "/locked").c_str(), 0755);
    chmod((root + "/listable-only").c_str(), 0755);
    // Two workers meet the two failures in either order.
    std::multiset<std::string> lines;
    for (size_t start = 0, end; (end = report.find('\n', start)) != std::string::npos;
         start = end + 1) {
        lines.insert(report.substr(start, end - start));
    }
    EXPECT_EQ(lines, (std::multiset<std::string>{"2", root + "/listable-only/hidden.txt",
                                                 root + "/locked", "visible"}))
        << report;
}

TEST_F(ScannerTest, APathLongerThanTheKernelTakesInOneCallIsWalked) {
    // 22 folders of 200 characters: the file's path is over 4,400 bytes, past PATH_MAX.
    std::string name(199, 'd');
    std::string expected = root;
    int at = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(at, 0);
    for (int level = 0; level < 22; ++level) {
        std::string component = name + char('a' + level);
        ASSERT_EQ(mkdirat(at, component.c_str(), 0755), 0);
        int next = openat(at, component.c_str(), O_RDONLY | O_DIRECTORY);
        close(at);
        ASSERT_GE(next, 0);
        at = next;
        expected += "/" + component;
    }
    int file = openat(at, "deep-file.txt", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(file, 0);
    close(file);
    close(at);
    expected += "/deep-file.txt";
    ASSERT_GT(expected.size(), size_t(PATH_MAX));

    FileIndexer indexer(index, std::nullopt, {}, 2000, 2);
    ScanTotals totals = scan(indexer);
    EXPECT_EQ(totals.errors, 0);
    EXPECT_TRUE(totals.inaccessiblePaths.empty());
    auto found = names.search("deep-file", 5).results;
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, expected);
    std::error_code ignored;
    fs::remove_all(root, ignored); // the temporary folder cannot remove what is this deep
}
