#include "SearchIndex.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace nexdir;
using nexdir::test::RawDatabase;
using nexdir::test::TempDirectory;
using nexdir::test::TreeBuilder;

namespace {

class DiskUsageTest : public ::testing::Test {
protected:
    TempDirectory folder;
    std::string path = folder / "index.sqlite3";
    SearchIndex index{path};

    static std::vector<std::string> pathsOf(const std::vector<SearchResult>& results) {
        std::vector<std::string> paths;
        for (const SearchResult& result : results) {
            paths.push_back(result.path);
        }
        return paths;
    }
    std::vector<std::string> largest(int64_t limit, int64_t minimumSize, bool byDiskUsage) {
        return pathsOf(index.largestFiles(limit, minimumSize, byDiskUsage).results);
    }
    std::optional<int64_t> storedAllocation(int64_t id) { return index.entry(id)->allocatedSize; }
};

} // namespace

TEST_F(DiskUsageTest, LargestFilesRankMeasuredThenUnavailableThenUnmeasured) {
    TreeBuilder tree(index, "/vol");
    int64_t docs = tree.folder(tree.root(), "docs");
    tree.file(docs, "huge-unmeasured", 10'000'000'000);
    tree.file(docs, "small", 1000, 4096);
    tree.file(docs, "medium", 5000, 8192);
    tree.file(docs, "link", 20, -1);
    tree.file(docs, "tie-first", 400, 4096);
    tree.file(docs, "tie-second", 400, 4096);
    tree.file(docs, "empty", 0, 0);
    tree.file(999, "orphan", 1, 1024); // its chain of parents is broken: no path

    EXPECT_EQ(
        largest(50, 0, true),
        (std::vector<std::string>{"/vol/docs/medium", "/vol/docs/small", "/vol/docs/tie-first",
                                  "/vol/docs/tie-second", "/vol/docs/empty", "/vol/docs/link",
                                  "/vol/docs/huge-unmeasured"}));
    EXPECT_EQ(
        largest(50, 0, false),
        (std::vector<std::string>{"/vol/docs/huge-unmeasured", "/vol/docs/medium",
                                  "/vol/docs/small", "/vol/docs/tie-first", "/vol/docs/tie-second",
                                  "/vol/docs/link", "/vol/docs/empty"}));
    // Unavailable (-1) and unmeasured both read as absent; measured sizes as stored.
    std::vector<SearchResult> byDisk = index.largestFiles(50, 0, true).results;
    EXPECT_EQ(byDisk[0].allocatedSize, 8192);
    EXPECT_EQ(byDisk[0].name, "medium");
    EXPECT_EQ(byDisk[0].score, 0);
    EXPECT_EQ(byDisk[4].allocatedSize, 0);
    EXPECT_FALSE(byDisk[5].allocatedSize);
    EXPECT_FALSE(byDisk[6].allocatedSize);

    // The minimum is of the logical size in both rankings; below 0 it is 0.
    EXPECT_EQ(largest(50, 1000, true),
              (std::vector<std::string>{"/vol/docs/medium", "/vol/docs/small",
                                        "/vol/docs/huge-unmeasured"}));
    EXPECT_EQ(largest(50, -5, false), largest(50, 0, false));
    EXPECT_EQ(largest(2, 0, true),
              (std::vector<std::string>{"/vol/docs/medium", "/vol/docs/small"}));
    EXPECT_TRUE(largest(-1, 0, true).empty());
    EXPECT_TRUE(largest(0, 0, true).empty());
}

TEST_F(DiskUsageTest, ListsHoldAtMostAThousandFilesAndUnmeasuredOnesComeById) {
    TreeBuilder tree(index, "/");
    int64_t first = tree.file(tree.root(), "measured", 50, 4096);
    std::vector<FileRecord> records;
    for (int i = 0; i < 1100; ++i) {
        records.emplace_back(index.reserveID(), tree.root(), "file-" + std::to_string(i), false,
                             1000, i, std::nullopt, false);
    }
    index.upsert(records);
    tree.folder(tree.root(), "a folder is never measured");

    EXPECT_EQ(index.largestFiles(5000, 0, true).results.size(), 1000u);
    std::vector<SearchResult> unmeasured = index.unmeasuredFiles(5000);
    ASSERT_EQ(unmeasured.size(), 1000u);
    EXPECT_EQ(unmeasured.front().path, "/file-0");
    EXPECT_EQ(unmeasured.back().path, "/file-999");
    EXPECT_TRUE(std::is_sorted(unmeasured.begin(), unmeasured.end(),
                               [](auto& a, auto& b) { return a.id < b.id; }));
    // Below 1 asks for one; paging goes on past the last id given.
    EXPECT_EQ(pathsOf(index.unmeasuredFiles(0)), std::vector<std::string>{"/file-0"});
    EXPECT_EQ(pathsOf(index.unmeasuredFiles(-7)), std::vector<std::string>{"/file-0"});
    std::vector<SearchResult> rest = index.unmeasuredFiles(1000, unmeasured.back().id);
    ASSERT_EQ(rest.size(), 100u);
    EXPECT_EQ(rest.back().path, "/file-1099");
    EXPECT_TRUE(index.unmeasuredFiles(1000, rest.back().id).empty());
    EXPECT_GT(unmeasured.front().id, first);
}

TEST_F(DiskUsageTest, AMeasurementIsSavedOnlyOntoTheRowItWasTakenFor) {
    TreeBuilder tree(index, "/");
    tree.file(tree.root(), "kept", 100);
    int64_t grown = tree.file(tree.root(), "grown", 100);
    int64_t touched = tree.file(tree.root(), "touched", 100);
    int64_t renamedID = tree.file(tree.root(), "renamed", 100);
    int64_t measuredMeanwhile = tree.file(tree.root(), "measured meanwhile", 100);
    tree.file(tree.root(), "unavailable", 100);
    std::vector<SearchResult> listed = index.unmeasuredFiles(100);
    ASSERT_EQ(listed.size(), 6u);

    // Between the listing and the save: a scan sees the file grow, another its new time,
    // an id comes back under another name, and another measurement is saved first.
    index.upsert(
        {FileRecord(grown, tree.root(), "grown", false, 1000, 200, std::nullopt, false),
         FileRecord(touched, tree.root(), "touched", false, 2000, 100, std::nullopt, false)});
    RawDatabase(path).execute("UPDATE entries SET name = 'other' WHERE id = " +
                              std::to_string(renamedID));
    ASSERT_EQ(index.saveDiskUsage({{listed[4], FileDiskUsage{512, false}}}), 1);

    std::vector<MeasuredFile> measured;
    for (const SearchResult& file : listed) {
        measured.push_back({file, FileDiskUsage{4096, false}});
    }
    measured[5].usage.reset();
    EXPECT_EQ(index.saveDiskUsage(measured), 2); // "kept" and "unavailable"

    EXPECT_EQ(storedAllocation(listed[0].id), 4096);
    EXPECT_EQ(storedAllocation(grown), std::nullopt);
    EXPECT_EQ(storedAllocation(touched), std::nullopt);
    EXPECT_EQ(storedAllocation(renamedID), std::nullopt);
    EXPECT_EQ(storedAllocation(measuredMeanwhile), 512);
    EXPECT_EQ(storedAllocation(listed[5].id), -1);
    // The rows that changed are measured in a later round; nothing else is listed again.
    EXPECT_EQ(pathsOf(index.unmeasuredFiles(100)),
              (std::vector<std::string>{"/grown", "/touched", "/other"}));
    EXPECT_EQ(index.saveDiskUsage({}), 0);
}

TEST_F(DiskUsageTest, SavingMeasurementsGivesTheNameSearchNothingToFollow) {
    TreeBuilder tree(index, "/");
    int64_t file = tree.file(tree.root(), "report.pdf", 100);
    auto follow = [&](bool holdsCopy) {
        SearchIndex::RowChanges changes;
        index.read(
            [&](SearchIndex::Reader& reader) { changes = reader.followRowChanges(holdsCopy); });
        return changes;
    };
    ASSERT_EQ(follow(false).kind, SearchIndex::RowChanges::Kind::reload);

    index.saveDiskUsage({{index.unmeasuredFiles(10).at(0), FileDiskUsage{4096, false}}});
    SearchIndex::RowChanges afterSave = follow(true);
    EXPECT_EQ(afterSave.kind, SearchIndex::RowChanges::Kind::changes);
    EXPECT_TRUE(afterSave.changes.empty());

    // A new size and time are followed (filters test them), as a new name is.
    index.upsert({FileRecord(file, tree.root(), "report.pdf", false, 2000, 900, 8192, false),
                  FileRecord(index.reserveID(), tree.root(), "notes.txt", false, 1000, 5,
                             std::nullopt, false)});
    SearchIndex::RowChanges afterWrite = follow(true);
    ASSERT_EQ(afterWrite.changes.size(), 2u);
    EXPECT_EQ(afterWrite.changes[0].size, 900);
    EXPECT_EQ(afterWrite.changes[0].modifiedAt, 2000);
    EXPECT_EQ(afterWrite.changes[1].name, "notes.txt");
}
