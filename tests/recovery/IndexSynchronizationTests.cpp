#include "FSEventWatcher.h"
#include "IndexSynchronization.h"
#include "NexdirError.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace nexdir;
using nexdir::test::TempDirectory;
namespace fs = std::filesystem;
using Sync = IndexSynchronization;

using nexdir::test::makeFile;

namespace {

class SynchronizationTest : public ::testing::Test {
protected:
    TempDirectory folder;
    std::string data = folder / "Nexdir";
    std::string root = folder / "tree";
    SearchIndex index{data + "/index-v2.sqlite3"};
    FileIndexer indexer{index, data, {}, 50, 2};
    Sync whole{index, indexer};
    std::vector<std::string> roots{root};

    void SetUp() override {
        makeFile(root + "/docs/a.txt");
        makeFile(root + "/docs/deep/b.txt");
        makeFile(root + "/music/c.mp3");
        indexer.scanAll(roots, 100, std::nullopt, {});
    }
    FileSystemEvent event(const std::string& path, uint32_t flags, uint64_t id) {
        return {path, flags, id};
    }
    bool indexed(const std::string& path) { return index.entryID(path, root).has_value(); }
};

} // namespace

TEST_F(SynchronizationTest, EachKindOfEventBecomesTheWalkItNeeds) {
    makeFile(root + "/docs/new.txt");
    makeFile(root + "/music/deep/later/song.mp3");
    fs::remove(root + "/docs/a.txt");
    auto plan = whole.beginApply(
        {event(root + "/docs", 0, 201), event(root + "/music", EventFlags::mustScanSubDirs, 202),
         event(root + "/music/deep", EventFlags::mustScanSubDirs, 203), // inside the one above
         event(root + "/docs/deep", EventFlags::itemIsDir | EventFlags::itemInodeMetaMod, 204),
         event(root + "/docs/x", EventFlags::itemRenamed, 205),
         event(data + "/index-v2.sqlite3-wal", 0, 209), // the index's own files: never walked
         event(root + "/docs", EventFlags::folderUnwatched, 206)},
        roots, false);
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->recursivePaths, std::vector<std::string>{root + "/music"});
    EXPECT_EQ(*plan->directPaths,
              (std::vector<std::string>{root + "/docs", root + "/docs/deep", root + "/docs/x"}));
    EXPECT_EQ(plan->metadataOnly, std::set<std::string>{root + "/docs/deep"});
    EXPECT_EQ(plan->cursor, 209u);
    EXPECT_TRUE(plan->advancesCursor);
    EXPECT_FALSE(whole.stepApply(*plan, roots, 1));
    EXPECT_EQ(whole.metadata("applyInProgress"), "1");
    while (!whole.stepApply(*plan, roots, 1)) {
    }
    EXPECT_EQ(whole.metadata("eventID"), "209");
    EXPECT_EQ(whole.metadata("applyInProgress"), "0");
    EXPECT_TRUE(indexed(root + "/docs/new.txt"));
    EXPECT_FALSE(indexed(root + "/docs/a.txt"));
    EXPECT_TRUE(indexed(root + "/music/deep/later/song.mp3"));

    // A renamed item's folder is listed, not only refreshed.
    auto rename = whole.beginApply(
        {event(root + "/docs", EventFlags::itemIsDir | EventFlags::itemInodeMetaMod, 210),
         event(root + "/docs/b", EventFlags::itemRenamed, 211)},
        roots, false);
    EXPECT_TRUE(rename->metadataOnly.empty());

    // Events at or before the checkpoint's baseline advance nothing.
    auto old = whole.beginApply({event(root + "/docs", 0, 90)}, roots, false);
    EXPECT_FALSE(old->advancesCursor);
    while (!whole.stepApply(*old, roots, 32)) {
    }
    EXPECT_EQ(whole.metadata("eventID"), "209");
}

TEST_F(SynchronizationTest, DropsTheBaselineCoversAreIgnoredOthersDemandRecovery) {
    size_t logged = test::logCount("covered historical drop ignored");
    auto covered = whole.beginApply({event(root, EventFlags::kernelDropped, 99)}, roots, false);
    ASSERT_TRUE(covered);
    EXPECT_TRUE(covered->directPaths->empty());
    EXPECT_FALSE(covered->advancesCursor);
    whole.beginApply({event(root, EventFlags::mustScanSubDirs, 50)}, roots, false);
    EXPECT_EQ(test::logCount("covered historical drop ignored"), logged + 1) << "once per object";

    // A wrap, or an identifier of 0, is never covered.
    EXPECT_FALSE(whole.beginApply(
        {event(root, EventFlags::kernelDropped | EventFlags::eventIdsWrapped, 99)}, roots, false));
    EXPECT_EQ(whole.metadata("needsRecovery"), "1");
    EXPECT_FALSE(whole.beginApply({event(root + "/docs", 0, 300)}, roots, false))
        << "nothing is applied until a recovery";
}

TEST_F(SynchronizationTest, ADropVerifiesInPlaceWhenAllowedThenAppliesWhatCameAfter) {
    makeFile(root + "/docs/while-unwatched.txt");
    auto plan = whole.beginApply(
        {event(root, EventFlags::kernelDropped, 300), event(root + "/music", 0, 900)}, roots, true,
        [] { return uint64_t(500); });
    ASSERT_TRUE(plan);
    EXPECT_TRUE(indexed(root + "/docs/while-unwatched.txt"));
    EXPECT_EQ(whole.metadata("scanBaseline"), "500");
    EXPECT_EQ(whole.metadata("needsRecovery"), "0");
    EXPECT_EQ(whole.metadata("automaticVerificationAttempts"), "1");
    EXPECT_EQ(*plan->directPaths, std::vector<std::string>{root + "/music"});
    EXPECT_EQ(plan->cursor, 900u);

    // A root that changed is more than a verification can mend.
    EXPECT_FALSE(whole.beginApply({event(root, EventFlags::rootChanged, 0)}, roots, true));
    EXPECT_EQ(whole.metadata("needsRecovery"), "1");
}

TEST_F(SynchronizationTest, AnInterruptedApplyIsFoundByTheNextBatch) {
    index.setMetadata("applyInProgress", "1");
    EXPECT_FALSE(whole.beginApply({event(root + "/docs", 0, 300)}, roots, false));
    EXPECT_EQ(whole.metadata("needsRecovery"), "1");
}

TEST_F(SynchronizationTest, ResumeOnlyFromACheckpointThatStillDescribesTheIndex) {
    std::string identity = FSEventWatcher::historyIdentity(roots);
    index.setMetadata("historyIdentity", identity);
    EXPECT_EQ(whole.resumeEventID(roots, 1000, identity, {}), 100u);
    EXPECT_FALSE(whole.resumeEventID(roots, 99, identity, {})) << "saved after now";
    EXPECT_FALSE(whole.resumeEventID(roots, 1000, identity, {"/elsewhere"}));
    EXPECT_FALSE(whole.resumeEventID({root, folder / "other"}, 1000, identity, {}));
    EXPECT_FALSE(whole.resumeEventID(roots, 1000, std::string("another volume"), {}));
    whole.requireRecovery();
    EXPECT_FALSE(whole.resumeEventID(roots, 1000, identity, {}));
    EXPECT_GE(test::logCount("resume rejected format=4 recovery=1 saved=100 current=1000"), 1u);
}

TEST_F(SynchronizationTest, TheAutomaticBudgetAndItsRetrySchedule) {
    // The whole index: two automatic verifications, then the limit.
    whole.verifyInPlace(roots, 200, true);
    whole.verifyInPlace(roots, 150, true); // below the checkpoint: it moves back
    EXPECT_EQ(whole.metadata("eventID"), "150");
    EXPECT_EQ(whole.metadata("automaticVerificationAttempts"), "2");
    try {
        whole.verifyInPlace(roots, 300, true);
        FAIL() << "a third automatic verification ran";
    } catch (const NexdirError& error) {
        EXPECT_STREQ(error.what(), "Repeated event loss; automatic verification limit reached");
    }
    EXPECT_EQ(whole.metadata("verificationBlocked"), "1");
    whole.verifyInPlace(roots, 300, false);
    EXPECT_EQ(whole.metadata("automaticVerificationAttempts"), "0");
    EXPECT_EQ(whole.metadata("verificationBlocked"), "0");

    // A region: refused by the budget, reset to one by a manual verification; a launch's
    // catch-up neither counts nor is refused.
    Sync region(index, indexer, root + "/docs");
    region.setMetadata("automaticVerificationAttempts", "2");
    EXPECT_THROW(region.beginRegionalVerification(400, Sync::Verification::automatic),
                 Sync::RecoveryDeferred);
    auto catchUp = region.beginRegionalVerification(400, Sync::Verification::catchUp);
    EXPECT_EQ(region.metadata("automaticVerificationAttempts"), "2");
    EXPECT_EQ(region.metadata("verificationInProgress"), "1");
    // A history that changed stops the last step: nothing is written, recovery stays due.
    auto changedHistory = [] {
        throw NexdirError::sqlite("Volume history changed during recovery");
    };
    EXPECT_THROW(while (!region.stepRegionalVerification(catchUp, roots, 400, changedHistory)){},
                 NexdirError);
    EXPECT_EQ(region.metadata("needsRecovery"), "1");
    auto manual = region.beginRegionalVerification(400, Sync::Verification::manual);
    EXPECT_EQ(region.metadata("automaticVerificationAttempts"), "1");
    while (!region.stepRegionalVerification(manual, roots, 400, {})) {
    }
    EXPECT_EQ(region.metadata("needsRecovery"), "0");
    EXPECT_EQ(region.metadata("eventID"), "400");
    EXPECT_EQ(index.metadata("region.v1:" + root + "/docs:scanBaseline"), "400");
    EXPECT_THROW(whole.beginRegionalVerification(1, Sync::Verification::manual), NexdirError);

    // Retries: [60, 300] from now, stable until consumed, then none.
    EXPECT_EQ(region.retryDate(1000, {60, 300}), 1060);
    EXPECT_EQ(region.retryDate(5000, {60, 300}), 1060);
    region.consumeRetry();
    EXPECT_EQ(region.retryDate(2000, {60, 300}), 2300);
    region.consumeRetry();
    EXPECT_FALSE(region.retryDate(3000, {60, 300}));
    for (const char* notPending : {"0", "-5", "soon", "inf"}) {
        region.setMetadata({{"retryAfter", notPending}, {"delayedRetryCount", "0"}});
        EXPECT_EQ(region.retryDate(10, {60}), 70) << notPending;
    }
}

TEST_F(SynchronizationTest, ARegionsStateIsSeededFromTheWholeIndex) {
    Sync region(index, indexer, root + "/music");
    region.seedRegion(777, false);
    EXPECT_EQ(region.metadata("eventID"), "777");
    EXPECT_EQ(region.metadata("scanBaseline"), "100");
    EXPECT_EQ(region.metadata("needsRecovery"), "0");
    EXPECT_EQ(region.metadata("automaticRetryAllowed"), "1");
    region.seedRegion(778, true); // a plan that changed: the region verifies itself
    EXPECT_EQ(region.metadata("needsRecovery"), "1");
    // Unparsable or foreign values read as absent, never as an error.
    region.setMetadata({{"eventID", "12ab"}, {"automaticVerificationAttempts", "-3"}});
    EXPECT_EQ(region.unsignedValue("eventID"), 0u);
    EXPECT_EQ(region.unsignedValue("automaticVerificationAttempts"), 0u);
}
