#include "NexdirError.h"
#include "SearchIndex.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace nexdir;
using nexdir::test::RawDatabase;
using nexdir::test::TempDirectory;

namespace {

// The test clock: maintenance is told the time, never reads it.
constexpr double t0 = 1'700'000'000;
constexpr double day = 86'400;
// A stand-in for the free space of the index's volume.
constexpr int64_t plenty = int64_t(1) << 42;

class MaintenanceTest : public ::testing::Test {
protected:
    TempDirectory folder;
    std::string path = folder / "index.sqlite3";
    std::unique_ptr<SearchIndex> index = std::make_unique<SearchIndex>(path);
    std::function<bool()> always = [] { return true; };

    // A completed scan written in many small batches, as a live index is: the full-text
    // index holds one segment per batch, which optimising merges.
    void SetUp() override {
        int64_t root = index->reserveID();
        index->upsert({FileRecord(root, 0, "/", true, 0, 0, std::nullopt, false)});
        for (int batch = 0; batch < 100; ++batch) {
            std::vector<FileRecord> records;
            for (int i = 0; i < 60; ++i) {
                records.emplace_back(index->reserveID(), root,
                                     "report-" + std::to_string(batch) + "-" + std::to_string(i) +
                                         ".pdf",
                                     false, 1000, 10, 4096, false);
            }
            index->upsert(records);
        }
        index->markFullScanCompleted();
    }

    MaintenanceOutcome maintain(int64_t available, double now, const MaintenanceRules& rules = {}) {
        return index->maintain(available, now, 0, always, rules);
    }
    std::optional<std::string> attempt() { return index->metadata("maintenanceAttempt"); }
    int64_t fileBytes() {
        RawDatabase raw(path);
        return raw.integer("PRAGMA page_count") * raw.integer("PRAGMA page_size");
    }
    int64_t walBytes() {
        struct stat info {};
        return stat((path + "-wal").c_str(), &info) == 0 ? int64_t(info.st_size) : 0;
    }
    size_t found(const std::string& query) {
        NameSearch names(*index);
        return names.search(query, 1000).results.size();
    }
    void expectWholeAndSearchable() {
        RawDatabase raw(path);
        EXPECT_EQ(raw.text("PRAGMA integrity_check"), "ok");
        raw.execute("INSERT INTO entries_fts(entries_fts) VALUES('integrity-check')");
        EXPECT_EQ(found("report-42-"), 60u);
        EXPECT_EQ(index->statistics().files, 6000);
    }
    static bool logged(const std::string& message) { return test::logCount(message) > 0; }
};

} // namespace

TEST_F(MaintenanceTest, RefusalsAnswerFalseAndWriteNothing) {
    SearchIndex fresh(folder / "fresh.sqlite3");
    EXPECT_EQ(fresh.maintain(plenty, t0, 0, always), MaintenanceOutcome::noCompletedScan);
    EXPECT_FALSE(fresh.metadata("maintenanceAttempt"));

    index->setMetadata("needsRecovery", "1");
    EXPECT_EQ(maintain(plenty, t0), MaintenanceOutcome::recoveryPending);
    index->setMetadata("needsRecovery", "0");
    EXPECT_EQ(index->maintain(plenty, t0, 0, [] { return false; }), MaintenanceOutcome::stopped);
    int64_t size = fileBytes();
    EXPECT_EQ(index->maintain(plenty, t0, size + 1, always), MaintenanceOutcome::tooSmall);
    // VACUUM needs three times the file and 256 MiB to spare.
    int64_t needed = 3 * size + 268'435'456;
    EXPECT_EQ(maintain(needed - 1, t0), MaintenanceOutcome::notEnoughSpace);
    EXPECT_FALSE(index->maintainIfNeeded(needed - 1, t0, 0, always));
    EXPECT_FALSE(attempt());

    // Just enough: it runs, and compacts what a tenth of the files left free.
    RawDatabase(path).execute("DELETE FROM entries WHERE name LIKE 'report-%-1_.pdf'");
    size = fileBytes();
    EXPECT_TRUE(index->maintainIfNeeded(3 * size + 268'435'456, t0, size, always));
    EXPECT_EQ(attempt(), "1700000000");
    int64_t after = fileBytes();
    EXPECT_LT(after, size);
    EXPECT_TRUE(logged("index maintenance completed before=" + std::to_string(size) +
                       " after=" + std::to_string(after)));
    EXPECT_EQ(found("report-42-"), 50u);
    EXPECT_EQ(walBytes(), 0);
}

TEST_F(MaintenanceTest, AtMostOneAttemptInSevenDays) {
    EXPECT_TRUE(index->maintainIfNeeded(plenty, t0 + 0.75, 0, always));
    EXPECT_EQ(attempt(), "1700000000"); // whole seconds
    EXPECT_FALSE(index->maintainIfNeeded(plenty, t0 + 7 * day - 1, 0, always));
    EXPECT_EQ(maintain(plenty, t0 + 7 * day - 1), MaintenanceOutcome::attemptedRecently);
    EXPECT_EQ(maintain(plenty, t0 + 7 * day), MaintenanceOutcome::completed);

    // A forced run ignores the interval, and only the interval.
    MaintenanceRules forced;
    forced.minimumIntervalSeconds = 0;
    EXPECT_EQ(maintain(plenty, t0 + 7 * day, forced), MaintenanceOutcome::completed);
    EXPECT_EQ(maintain(0, t0 + 7 * day, forced), MaintenanceOutcome::notEnoughSpace);

    // An attempt dated in the future, by a clock that was wrong, does not put it off.
    index->setMetadata("maintenanceAttempt", std::to_string(int64_t(t0 + 365 * day)));
    EXPECT_EQ(maintain(plenty, t0 + 8 * day), MaintenanceOutcome::completed);
    EXPECT_EQ(attempt(), std::to_string(int64_t(t0 + 8 * day)));
    expectWholeAndSearchable();
}

TEST_F(MaintenanceTest, ASpentBudgetStopsTheWorkAndLeavesTheIndexWholeAndTheAttemptSet) {
    // The deadline passed by the end of the optimise: the file is left uncompacted.
    MaintenanceRules noTime;
    noTime.budgetSeconds = 0;
    EXPECT_EQ(maintain(plenty, t0, noTime), MaintenanceOutcome::optimised);
    EXPECT_EQ(attempt(), "1700000000");
    expectWholeAndSearchable();
    EXPECT_EQ(walBytes(), 0);

    // The caller's check turning false while SQLite works: the interrupt error, the step
    // under way rolled back.
    int checks = 0;
    MaintenanceRules forced;
    forced.minimumIntervalSeconds = 0;
    try {
        index->maintain(
            plenty, t0 + day, 0, [&] { return ++checks <= 2; }, forced);
        ADD_FAILURE() << "maintenance was not interrupted";
    } catch (const NexdirError& error) {
        EXPECT_EQ(error.code() & 0xff, SQLITE_INTERRUPT) << error.what();
    }
    EXPECT_GT(checks, 2);
    EXPECT_EQ(attempt(), std::to_string(int64_t(t0 + day)));
    EXPECT_TRUE(logged("index maintenance started bytes="));
    expectWholeAndSearchable();
    EXPECT_EQ(walBytes(), 0);
}

TEST_F(MaintenanceTest, TheWALIsTruncatedWithoutWaitingForReaders) {
    // Readers that overlapped every checkpoint let the WAL grow past 64 MiB: any call
    // truncates it, even one refused for its interval.
    index->setMetadata("maintenanceAttempt", std::to_string(int64_t(t0)));
    {
        RawDatabase raw(path);
        raw.execute("CREATE TABLE filler(b BLOB); INSERT INTO filler VALUES(zeroblob(70000000)); "
                    "DROP TABLE filler;");
    }
    ASSERT_GT(walBytes(), 67'108'863);
    EXPECT_EQ(maintain(plenty, t0 + day), MaintenanceOutcome::attemptedRecently);
    EXPECT_EQ(walBytes(), 0);

    // A reader holding its snapshot through the whole maintenance: the checkpoint is put off
    // (logged, not thrown), the work is done, and reads go on.
    RawDatabase reader(path);
    reader.execute("BEGIN; SELECT count(*) FROM entries;");
    EXPECT_EQ(maintain(plenty, t0 + 7 * day), MaintenanceOutcome::completed);
    EXPECT_TRUE(logged("maintenance WAL checkpoint deferred code=5"));
    EXPECT_EQ(found("report-7-"), 60u);
    EXPECT_EQ(reader.integer("SELECT count(*) FROM entries"), 6001);
    reader.execute("COMMIT;");
}

TEST_F(MaintenanceTest, AProcessKilledDuringMaintenanceLeavesTheIndexWhole) {
    MaintenanceRules forced;
    forced.minimumIntervalSeconds = 0;
    int checks = 0;
    ASSERT_EQ(index->maintain(
                  plenty, t0, 0, [&] { return ++checks > 0; }, forced),
              MaintenanceOutcome::completed);
    ASSERT_GT(checks, 4) << "too little work to be killed in the middle of";
    index.reset(); // a child must not inherit open connections
    // The child dies at its n-th budget check: between the optimise and the compaction, and
    // early, halfway and late in the compaction.
    for (int dieAt : {2, 3, checks / 2, checks - 1}) {
        SCOPED_TRACE(dieAt);
        std::string report = test::runInChild([&] {
            SearchIndex child(path);
            int childChecks = 0;
            child.maintain(
                plenty, t0 + day, 0,
                [&] {
                    if (++childChecks == dieAt) {
                        _exit(0); // as a kill would: no unwinding, no cleanup
                    }
                    return true;
                },
                forced);
            return "finished after " + std::to_string(childChecks) + " checks";
        });
        index = std::make_unique<SearchIndex>(path);
        EXPECT_EQ(report, "") << "the child lived through maintenance";
        EXPECT_EQ(attempt(), std::to_string(int64_t(t0 + day)));
        expectWholeAndSearchable();
        index.reset();
    }
}
