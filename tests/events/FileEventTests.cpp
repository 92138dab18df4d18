#include "EventActivity.h"
#include "EventJournal.h"
#include "FSEventWatcher.h"
#include "FileEventService.h"
#include "NexdirError.h"
#include "TestSupport.h"
#include "WatchBudget.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <optional>
#include <thread>

using namespace nexdir;
using nexdir::test::TempDirectory;
namespace fs = std::filesystem;

namespace {

// Collects what a watcher delivers and waits for what a test expects.
class Collector {
public:
    FSEventWatcher::Handler handler() {
        return [this](const std::vector<FileSystemEvent>& batch) {
            std::lock_guard guard(lock_);
            events_.insert(events_.end(), batch.begin(), batch.end());
            changed_.notify_all();
        };
    }
    // Waits up to 3 s for an event matching `predicate`.
    bool waitFor(const std::function<bool(const FileSystemEvent&)>& predicate) {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, std::chrono::seconds(3), [&] {
            return std::any_of(events_.begin(), events_.end(), predicate);
        });
    }
    std::vector<FileSystemEvent> events() {
        std::lock_guard guard(lock_);
        return events_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<FileSystemEvent> events_;
};

auto at(const std::string& path, uint32_t flags = 0) {
    return [=](const FileSystemEvent& event) { return event.path == path && event.flags == flags; };
}

class FileEventTest : public ::testing::Test {
protected:
    TempDirectory folder;
    std::string root = folder / "watched";
    FileEventService service;
    Collector collected;

    void SetUp() override {
        fs::create_directories(root + "/inner");
        service.willList(root);
        service.willList(root + "/inner");
    }
    std::unique_ptr<FSEventWatcher> watch(uint64_t since = FileEventService::sinceNow,
                                          std::vector<std::string> exclusions = {}) {
        return std::make_unique<FSEventWatcher>(std::vector<std::string>{root}, since, false, false,
                                                exclusions, collected.handler(), service);
    }
};

} // namespace

TEST(FileSystemEvent, FlagPredicatesAndTheFullScanTest) {
    FileSystemEvent drop{"/x", EventFlags::kernelDropped, 5};
    EXPECT_TRUE(drop.isBufferDrop());
    EXPECT_TRUE(drop.requiresFullScan(100, {}));
    FileSystemEvent metadata{"/x", EventFlags::itemIsDir | EventFlags::itemInodeMetaMod, 5};
    EXPECT_TRUE(metadata.isDirectoryMetadataOnly());
    metadata.flags |= EventFlags::itemCreated;
    EXPECT_FALSE(metadata.isDirectoryMetadataOnly());

    FileSystemEvent rootChanged{"/home/u", EventFlags::rootChanged, 0};
    EXPECT_TRUE(rootChanged.requiresFullScan(UINT64_MAX - 1, {"/home/u"}));
    EXPECT_FALSE(rootChanged.requiresFullScan(10, {"/srv"}));
    FileSystemEvent oldMount{"/data", EventFlags::mount, 10};
    EXPECT_FALSE(oldMount.requiresFullScan(10, {"/"}));
    EXPECT_TRUE(FileSystemEvent({"/data", EventFlags::mount, 11}).requiresFullScan(10, {"/"}));
    EXPECT_FALSE(
        FileSystemEvent({"/media/usb", EventFlags::mount, 11}).requiresFullScan(10, {"/"}));
    EXPECT_FALSE(FileSystemEvent({"/home/u/x", 0, 11}).requiresFullScan(10, {"/"}));
}

TEST(EventActivity, CountsTopLevelChildrenWithinItsBound) {
    EventActivity activity;
    activity.root = "/home";
    std::vector<FileSystemEvent> batch;
    for (int i = 0; i < 65; ++i) {
        batch.push_back({"/home/child" + std::to_string(100 + i) + "/x", 0, 1});
    }
    batch.push_back({"/home/child100", 0, 2});
    batch.push_back({"/home", 0, 3});
    batch.push_back({"/srv", 0, 4});
    batch.push_back({"/home/child100", EventFlags::kernelDropped, 5});
    activity.record(batch);
    EXPECT_EQ(activity.total, 69);
    EXPECT_EQ(activity.other, 1);
    EXPECT_EQ(activity.unassigned, 3);
    EXPECT_EQ(activity.drops, 1);
    EXPECT_EQ(activity.children["child100"], 2);
    std::string summary = activity.summary();
    EXPECT_TRUE(summary.starts_with(
        R"({"delivered":69,"drops":1,"other":1,"topTrackedChildren":[{"events":2,"name":"child100"},{"events":1,"name":"child101"},)"))
        << summary;
    EXPECT_TRUE(summary.ends_with(R"(],"unassigned":3})")) << summary;
}

TEST_F(FileEventTest, ChangesInsideAWatchedFolderAreOneEventForTheFolder) {
    auto watcher = watch();
    test::writeFile(root + "/a.txt", "x");
    test::writeFile(root + "/b.txt", "x");
    fs::rename(root + "/a.txt", root + "/c.txt");
    test::writeFile(root + "/inner/d.txt", "x");
    ASSERT_TRUE(collected.waitFor(at(root)));
    ASSERT_TRUE(collected.waitFor(at(root + "/inner")));
    // A change of the folder's own metadata alone, in a window of its own.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    chmod((root + "/inner").c_str(), 0700);
    ASSERT_TRUE(collected.waitFor(
        at(root + "/inner", EventFlags::itemIsDir | EventFlags::itemInodeMetaMod)));
    // Coalesced within the latency: a handful of events, not one per change.
    auto events = collected.events();
    EXPECT_LE(events.size(), 6u);
    for (size_t i = 1; i < events.size(); ++i) {
        EXPECT_NE(events[i].id, events[i - 1].id);
    }
    EXPECT_GT(service.currentEventID(), events.back().id);
}

TEST_F(FileEventTest, HistoryComesFirstThenHistoryDone) {
    uint64_t before = service.currentEventID();
    test::writeFile(root + "/early.txt", "x");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto watcher = watch(before);
    ASSERT_TRUE(
        collected.waitFor([&](const FileSystemEvent& event) { return event.isHistoryDone(); }));
    auto events = collected.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.front().path, root);
    EXPECT_GT(events.front().id, before);
    EXPECT_TRUE(events.back().isHistoryDone());

    // An identifier from before the service existed cannot be replayed: the region must
    // verify itself.
    Collector old;
    FSEventWatcher fromThePast({root}, 1, false, false, {}, old.handler(), service);
    ASSERT_TRUE(old.waitFor([&](const FileSystemEvent& event) { return event.isHistoryDone(); }));
    EXPECT_TRUE(old.events().front().mustScanSubdirectories());
    EXPECT_EQ(old.events().front().path, root);
}

TEST_F(FileEventTest, ExcludedFoldersAreFilteredAndTheLimitIsEight) {
    auto watcher = watch(FileEventService::sinceNow, {root + "/inner"});
    test::writeFile(root + "/inner/skipped.txt", "x");
    test::writeFile(root + "/seen.txt", "x");
    ASSERT_TRUE(collected.waitFor(at(root)));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    for (const auto& event : collected.events()) {
        EXPECT_NE(event.path, root + "/inner");
    }

    std::vector<std::string> nine;
    for (int i = 0; i < 9; ++i) {
        nine.push_back("/excluded/" + std::to_string(i));
    }
    try {
        FSEventWatcher tooMany(
            {root}, FileEventService::sinceNow, false, false, nine, [](auto&) {}, service);
        FAIL() << "nine exclusions accepted";
    } catch (const NexdirError& error) {
        EXPECT_STREQ(error.what(),
                     "File event stream supports at most 8 exclusion paths; received 9");
    }
    nine.back() = "/excluded/0/../0"; // the same as the first once standardised
    EXPECT_NO_THROW(FSEventWatcher(
        {root}, FileEventService::sinceNow, false, false, nine, [](auto&) {}, service));
}

TEST_F(FileEventTest, MovedFoldersReportUnderTheirNewPathAndADeletedRootSaysSo) {
    auto watcher = watch();
    fs::rename(root + "/inner", root + "/moved");
    ASSERT_TRUE(collected.waitFor(at(root)));
    test::writeFile(root + "/moved/after-move.txt", "x");
    ASSERT_TRUE(collected.waitFor(at(root + "/moved")));

    fs::remove_all(root);
    ASSERT_TRUE(collected.waitFor([&](const FileSystemEvent& event) {
        return event.path == root && (event.flags & EventFlags::rootChanged) && event.id == 0;
    }));
}

TEST_F(FileEventTest, StopIsIdempotentAndSafeFromTheHandler) {
    // The handler learns its watcher through an atomic: it may run before the constructor
    // has returned.
    std::atomic<FSEventWatcher*> self{nullptr};
    std::atomic<int> calls{0};
    auto watcher = std::make_unique<FSEventWatcher>(
        std::vector<std::string>{root}, FileEventService::sinceNow, false, false,
        std::vector<std::string>{},
        [&](const std::vector<FileSystemEvent>&) {
            calls++;
            if (FSEventWatcher* current = self.load()) {
                current->stop();
            }
        },
        service);
    self = watcher.get();
    test::writeFile(root + "/x", "x");
    for (int i = 0; i < 60 && calls == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(calls.load(), 1);
    test::writeFile(root + "/y", "y");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(calls.load(), 1);
    watcher->stop();
    watcher->stop();
}

TEST(WatchBudget, AShareOfTheLimitAndWarmestFoldersFirst) {
    // Three quarters at most, and 8,192 left to the others.
    EXPECT_EQ(WatchBudget::allowed(65536, 0), 49152u);
    EXPECT_EQ(WatchBudget::allowed(65536, 20000), 65536u - 20000 - 8192);
    EXPECT_EQ(WatchBudget::allowed(65536, 70000), 0u);
    EXPECT_EQ(WatchBudget::allowed(20000, 0), 20000u - 8192);
    EXPECT_EQ(WatchBudget::allowed(8192, 0), 0u);
    std::string home = "/home/u";
    std::vector<std::string> warmestFirst = {"/home/u/Documents", "/home/u/Documents/a/b",
                                             "/home/u", "/home/u/.config/x", "/usr", "/usr/lib/x"};
    for (size_t i = 1; i < warmestFirst.size(); ++i) {
        EXPECT_LT(WatchBudget::rank(warmestFirst[i - 1], home), WatchBudget::rank(warmestFirst[i], home))
            << warmestFirst[i];
    }
    EXPECT_EQ(WatchBudget::tierOf(WatchBudget::rank("/usr/share", home)), 3);
}

TEST_F(FileEventTest, WatchesKeepToTheirShareGiveWayToWarmerFoldersAndComeBack) {
    // The limit of a user who runs nothing else, a share of 9 watches past the reserve.
    std::string home = root + "/home/u";
    service.setHome(home);
    service.setWatchLimit(WatchBudget::reserve + 9);
    std::vector<std::string> system, own;
    for (int i = 0; i < 10; ++i) {
        system.push_back(root + "/srv/" + std::to_string(i));
    }
    for (const char* name : {"", "/Documents", "/Documents/a", "/x"}) {
        own.push_back(home + name);
    }
    for (const auto* folders : {&system, &own}) {
        for (const std::string& folder : *folders) {
            fs::create_directories(folder);
            service.willList(folder);
        }
    }
    auto watcher = watch();
    Collector elsewhere;
    FSEventWatcher otherWatcher({folder / "other"}, FileEventService::sinceNow, false, false, {},
                                elsewhere.handler(), service);
    // The home folders came last and are watched all the same; the deepest others give way.
    auto unwatched = watcher->unwatchedFolders();
    EXPECT_EQ(service.watchedFolders(), 9u);
    EXPECT_EQ(unwatched.size(), 2 + system.size() + own.size() - 9);
    for (const std::string& folder : own) {
        EXPECT_EQ(std::count(unwatched.begin(), unwatched.end(), folder), 0) << folder;
    }
    EXPECT_TRUE(collected.waitFor(at(root, EventFlags::folderUnwatched)));
    EXPECT_TRUE(otherWatcher.unwatchedFolders().empty());

    // Another program takes watches: at the next check they are given back, coldest first,
    // so that the reserve stays free.
    std::optional<FileEventService> other;
    other.emplace();
    other->willList(system[0]);
    other->willList(system[1]);
    service.checkBudget();
    EXPECT_EQ(service.watchedFolders(), 7u);
    EXPECT_GE(test::logCount("file watches given back count=2 "), 1u);
    // A stream that starts later hears of the folders without a watch too.
    Collector late;
    FSEventWatcher lateWatcher({root}, FileEventService::sinceNow, false, false, {}, late.handler(),
                               service);
    EXPECT_TRUE(late.waitFor(at(root, EventFlags::folderUnwatched)));

    // Freed again, the warmest take their watches back, each handed out once to be checked.
    other.reset();
    service.checkBudget();
    EXPECT_EQ(service.watchedFolders(), 9u);
    std::vector<std::string> checks = watcher->takeFoldersToCheck();
    EXPECT_EQ(checks.size(), 2u);
    EXPECT_TRUE(watcher->takeFoldersToCheck().empty());

    // A folder gone is no longer counted; a limit raised watches every folder.
    fs::remove(system.back());
    EXPECT_EQ(watcher->unwatchedFolders().size(), unwatched.size() - 1);
    service.setWatchLimit(100000);
    EXPECT_EQ(service.unwatchedFolders(), 0u);
    size_t notices = 0;
    for (const auto& event : collected.events()) {
        notices += event.isUnwatchedNotice() ? 1 : 0;
    }
    EXPECT_LE(notices, 6u); // merged, not one a folder
}

TEST(EventJournal, GivesBackEveryEventItHoldsAndDropsTheOldestWhole) {
    // Paths that share more or less with the one before, one longer than the one before and
    // one shorter, an empty one and a repeat.
    std::vector<FileSystemEvent> added;
    const char* paths[] = {"/home/a/b/one.txt", "/home/a/b/two.txt", "/home/a/b", "/home/a/bc/d",
                           "/", "", "/home/a/bc/d", "/home/\xff/x"};
    EventJournal journal(160); // blocks of 10
    uint64_t dropped = 0;
    for (uint64_t id = 1; id <= 170; ++id) {
        added.push_back({std::string(paths[id % 8]) + (id % 3 ? "" : std::to_string(id)),
                         uint32_t(id * 7), id});
        if (uint64_t at = journal.add(added.back())) {
            dropped = at;
        }
    }
    EXPECT_EQ(dropped, 10u); // the first block, whole: history is whole after event 10
    std::vector<FileSystemEvent> held;
    journal.forEach([&](const FileSystemEvent& event) { held.push_back(event); });
    ASSERT_EQ(held.size(), 160u);
    EXPECT_EQ(journal.size(), 160u);
    for (size_t i = 0; i < held.size(); ++i) {
        EXPECT_EQ(held[i].path, added[i + 10].path);
        EXPECT_EQ(held[i].id, added[i + 10].id);
        EXPECT_EQ(held[i].flags, added[i + 10].flags);
    }
    journal.clear();
    journal.forEach([](const FileSystemEvent&) { ADD_FAILURE() << "cleared"; });
    EXPECT_EQ(journal.add({"/x", 0, 171}), 0u);
}

TEST(FSEventWatcher, HistoryIdentityNamesEachRootsFileSystem) {
    std::string identity = FSEventWatcher::historyIdentity({"/", "/proc"});
    auto newline = identity.find('\n');
    ASSERT_NE(newline, std::string::npos);
    EXPECT_TRUE(identity.starts_with("/:"));
    EXPECT_TRUE(identity.substr(newline + 1).starts_with("/proc:"));
    EXPECT_EQ(identity, FSEventWatcher::historyIdentity({"/proc", "/"}));
    try {
        FSEventWatcher::historyIdentity({"/no/such/root"});
        FAIL();
    } catch (const NexdirError& error) {
        EXPECT_STREQ(error.what(),
                     "Could not identify volume /no/such/root: No such file or directory");
    }
}

TEST_F(FileEventTest, AKernelOverflowReachesEveryStreamAndEndsTheHistory) {
    uint64_t before = service.currentEventID();
    test::writeFile(root + "/before-overflow.txt", "x");
    auto watcher = watch();
    Collector second;
    FSEventWatcher other({root + "/inner"}, FileEventService::sinceNow, false, false, {},
                         second.handler(), service);
    inotify_event overflow{};
    overflow.wd = -1;
    overflow.mask = IN_Q_OVERFLOW;
    service.handle(reinterpret_cast<const char*>(&overflow), sizeof overflow);
    ASSERT_TRUE(collected.waitFor(at(root, EventFlags::kernelDropped)));
    ASSERT_TRUE(second.waitFor(at(root + "/inner", EventFlags::kernelDropped)));

    // What happened before the overflow can no longer be replayed.
    Collector late;
    FSEventWatcher replay({root}, before, false, false, {}, late.handler(), service);
    ASSERT_TRUE(late.waitFor([](const FileSystemEvent& event) { return event.isHistoryDone(); }));
    EXPECT_TRUE(late.events().front().mustScanSubdirectories());
}

TEST_F(FileEventTest, StrangeFolderNamesKeepTheirBytes) {
    std::string strange = root + "/line\nbreak \xFF";
    fs::create_directories(strange);
    service.willList(strange);
    auto watcher = watch();
    test::writeFile(strange + "/file", "x");
    ASSERT_TRUE(collected.waitFor(at(strange)));
}

TEST_F(FileEventTest, AContentChangeMergedWithAMetadataChangeStillNeedsListing) {
    auto watcher = watch();
    test::writeFile(root + "/wake.txt", "x"); // opens a latency window
    ASSERT_TRUE(collected.waitFor(at(root)));
    test::writeFile(root + "/inner/new.txt", "x");
    chmod((root + "/inner").c_str(), 0700);
    ASSERT_TRUE(collected.waitFor(
        [&](const FileSystemEvent& event) { return event.path == root + "/inner"; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    for (const auto& event : collected.events()) {
        if (event.path == root + "/inner") {
            EXPECT_FALSE(event.isDirectoryMetadataOnly());
        }
    }
}
