#include "Clock.h"
#include "DebugLog.h"
#include "DispatchQueue.h"
#include "FileEventService.h"
#include "IndexMetadata.h"
#include "LiveIndex.h"
#include "Paths.h"
#include "RegionalRecovery.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/mount.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace nexdir;
using nexdir::test::TempDirectory;
namespace fs = std::filesystem;

using nexdir::test::makeFile;

namespace {

// The engine over a real tree and index, with its own file-event service: a home folder with
// two usual folders makes three regions below the root.
class RegionalTest : public ::testing::Test {
protected:
    TempDirectory folder;
    std::string data = folder / "Nexdir";
    std::string root = folder / "tree";
    std::string home = root + "/home/u";
    FileEventService service;
    SearchIndex index{data + "/index-v2.sqlite3"};
    FileIndexer indexer{index, data, {}, 50, 2};
    std::vector<std::string> roots{root};
    DispatchQueue queue{"nexdir.indexer"};
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> texts; // guarded by lock
    std::shared_ptr<RegionalRecovery> engine;
    double fakeUptime = 0;
    bool ageing = false;

    void SetUp() override {
        makeFile(home + "/Documents/a.txt");
        makeFile(home + "/Downloads/b.txt");
        makeFile(root + "/srv/c.txt");
        indexer.setRegistrar(
            std::shared_ptr<DirectoryRegistrar>(std::shared_ptr<DirectoryRegistrar>(), &service));
    }
    void TearDown() override {
        if (engine) {
            engine->stop();
        }
    }
    uint64_t scan() { return LiveIndex::runFullScan(indexer, roots, {}).baseline; }
    // What every engine of these tests runs on, with its own `events`.
    RegionalRecovery::Options baseOptions(uint64_t since, FileEventService& events) {
        RegionalRecovery::Options options;
        options.index = &index;
        options.indexer = &indexer;
        options.roots = roots;
        options.queue = &queue;
        options.since = since;
        options.service = &events;
        options.home = home;
        return options;
    }
    void startEngine(uint64_t since, bool manual = false,
                     std::vector<double> delays = {60, 300, 1800}) {
        RegionalRecovery::Options options = baseOptions(since, service);
        options.manual = manual;
        options.retryDelays = delays;
        options.unwatchedPollSeconds = 0.5;
        if (ageing) {
            options.clock = [this] { return uptimeSeconds() + fakeUptime; };
        }
        options.status = [this](const std::string& text, bool) {
            std::lock_guard guard(lock);
            texts.push_back(text);
            changed.notify_all();
        };
        engine = RegionalRecovery::start(options);
    }
    // Waits up to `seconds` for a status text that starts with `prefix` (and holds `part`),
    // seen after `after`.
    bool waitForText(const std::string& prefix, size_t after = 0, double seconds = 10,
                     const std::string& part = "") {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, std::chrono::duration<double>(seconds), [&] {
            for (size_t i = after; i < texts.size(); ++i) {
                if (texts[i].starts_with(prefix) && texts[i].find(part) != std::string::npos) {
                    return true;
                }
            }
            return false;
        });
    }
    std::string history() {
        std::string all;
        std::lock_guard guard(lock);
        for (auto& t : texts)
            all += t + "\n";
        return all + test::readFile(DebugLog::url());
    }
    size_t textCount() {
        std::lock_guard guard(lock);
        return texts.size();
    }
    bool waitFor(const std::function<bool()>& condition, double seconds = 10) {
        for (double waited = 0; waited < seconds; waited += 0.05) {
            if (condition()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return condition();
    }
    bool indexed(const std::string& path) { return index.entryID(path, root).has_value(); }
    void expectIndexEqualsDisk() {
        EXPECT_TRUE(test::indexEqualsDisk(data + "/index-v2.sqlite3", root, indexer.rules()));
    }
    std::string regionKey(const std::string& region, const std::string& name) {
        return index.metadata(IndexMetadata::scoped(region, name)).value_or("");
    }
    // The kernel's queue overflowed: every stream is told of lost events.
    void overflow() {
        alignas(inotify_event) char record[sizeof(inotify_event)] = {};
        reinterpret_cast<inotify_event*>(record)->mask = IN_Q_OVERFLOW;
        reinterpret_cast<inotify_event*>(record)->wd = -1;
        service.handle(record, sizeof record);
    }
};

} // namespace

TEST_F(RegionalTest, ChangesReachTheIndexRegionByRegion) {
    startEngine(scan());
    ASSERT_TRUE(waitForText("Index ready \u2022 watching for changes"));
    EXPECT_EQ(index.metadata(IndexMetadata::regionPlan).value_or("").substr(0, 2), "[{");
    size_t beforeChanges = textCount();
    makeFile(home + "/Documents/new.txt");
    makeFile(root + "/srv/deep/er/new-folder-file.txt");
    fs::remove(home + "/Downloads/b.txt");
    fs::rename(root + "/srv/c.txt", home + "/moved-here.txt");
    EXPECT_TRUE(waitFor([&] {
        return indexed(home + "/Documents/new.txt") &&
               indexed(root + "/srv/deep/er/new-folder-file.txt") &&
               !indexed(home + "/Downloads/b.txt") && indexed(home + "/moved-here.txt") &&
               !indexed(root + "/srv/c.txt");
    }));
    // Each applied batch is told, the text unchanged, so that an open panel shows it.
    EXPECT_TRUE(waitForText("Index ready \u2022 watching for changes", beforeChanges));
    // Caught up, and marked so; an event that comes late (a folder's own change) makes the
    // engine busy again for a moment.
    EXPECT_TRUE(waitFor([&] {
        return engine->isCaughtUp() && index.metadata("needsRecovery") == std::string("0");
    }));
    expectIndexEqualsDisk();
    // What the status tells, changed from outside the engine, is told again when asked.
    size_t seen = textCount();
    index.setMetadata(IndexMetadata::scanErrors, "2");
    engine->refreshStatus();
    EXPECT_TRUE(
        waitForText("Partial index \u2022 2 inaccessible paths \u2022 Index Coverage\u2026", seen));
}

TEST_F(RegionalTest, LostEventsCostVerificationsWithinABudgetThenRetries) {
    startEngine(scan(), false, {0.3, 0.3});
    ASSERT_TRUE(waitForText("Index ready"));
    std::string documents = home + "/Documents";
    // Each stream hears of a loss on its own time, and a short verification may not change
    // the status line: what counts is the region's own state, caught up again.
    auto settled = [&](const std::string& attempts, const std::string& retries) {
        return waitFor([&] {
            return regionKey(documents, "automaticVerificationAttempts") == attempts &&
                   (regionKey(documents, "delayedRetryCount") + "0").substr(0, 1) == retries &&
                   engine->isCaughtUp();
        });
    };
    for (int loss = 1; loss <= 2; ++loss) {
        std::string lost = documents + "/lost-" + std::to_string(loss) + ".txt";
        makeFile(lost);
        overflow();
        ASSERT_TRUE(settled(std::to_string(loss), "0")) << "loss " << loss << history();
        EXPECT_TRUE(indexed(lost));
    }
    // A third loss finds the budget spent: paused, retried after the first delay as a manual
    // verification, which resets the budget to one.
    size_t seen = textCount();
    overflow();
    EXPECT_TRUE(settled("1", "1")) << history();
    EXPECT_TRUE(waitForText("Index catching up \u2022 ", seen));
    std::string log = test::readFile(DebugLog::url());
    EXPECT_NE(log.find("region paused path=" + documents + " "), std::string::npos);
    size_t retried = log.find("region verification begin path=" + documents + " ");
    while (retried != std::string::npos &&
           log.substr(retried, log.find('\n', retried) - retried).find("cause=3") ==
               std::string::npos) {
        retried = log.find("region verification begin path=" + documents + " ", retried + 1);
    }
    EXPECT_NE(retried, std::string::npos) << "no retry of " << documents;
}

TEST_F(RegionalTest, ARegionRootReplacedPausesThatRegionAlone) {
    startEngine(scan());
    ASSERT_TRUE(waitForText("Index ready"));
    std::string downloads = home + "/Downloads";
    fs::rename(downloads, home + "/Downloads-old");
    EXPECT_TRUE(waitForText("Index out of date \u2022 1 regions paused (" + downloads +
                            ") \u2022 other regions watching \u2022 Verify Index to retry"));
    EXPECT_NE(test::readFile(DebugLog::url())
                  .find("Region root moved or replaced; Verify Index to reattach: " + downloads),
              std::string::npos);
    // The others keep watching.
    makeFile(home + "/Documents/still-watched.txt");
    EXPECT_TRUE(waitFor([&] { return indexed(home + "/Documents/still-watched.txt"); }));
    // A manual verification reattaches it.
    engine->stop();
    fs::rename(home + "/Downloads-old", downloads);
    size_t seen = textCount();
    startEngine(FSEventWatcher::currentEventID(), true);
    EXPECT_TRUE(waitForText("Index ready", seen));
    expectIndexEqualsDisk();
}

TEST_F(RegionalTest, LaunchesCutShortInTheirCatchUpStillEndExactAndNeverPaused) {
    uint64_t baseline = scan();
    startEngine(baseline);
    ASSERT_TRUE(waitForText("Index ready"));
    engine->stop();
    // An earlier session's losses and its planned retry: moot once a launch verifies.
    index.setMetadata({{IndexMetadata::scoped(home, "automaticVerificationAttempts"), "2"},
                       {IndexMetadata::scoped(home, "delayedRetryCount"), "1"},
                       {IndexMetadata::scoped(home, "retryAfter"), "1000"}});
    for (int launch = 0; launch < 3; ++launch) {
        test::TreeChanger(root, unsigned(launch + 1)).change(15);
        // A new service, as a new process has: no history of the last session.
        FileEventService fresh;
        // Stopped in the middle of the catch-up: right after it begins.
        auto launched = RegionalRecovery::start(baseOptions(baseline, fresh));
        queue.sync([] {});                     // the start procedure
        queue.sync([&] { launched->stop(); }); // in queue order, so right after it began
    }
    size_t seen = textCount();
    startEngine(baseline);
    ASSERT_TRUE(waitForText("Index ready", seen, 20));
    expectIndexEqualsDisk();
    for (const auto& region : RecoveryRegion::plan(roots, home)) {
        EXPECT_EQ(regionKey(region.path, "verificationBlocked"), "0") << region.path;
        EXPECT_EQ(regionKey(region.path, "automaticVerificationAttempts"), "0") << region.path;
        EXPECT_EQ(regionKey(region.path, "retryAfter"), "0") << region.path;
    }
    // The folder checks of one launch's verifications only grow, finished regions included.
    int64_t checks = 0;
    std::lock_guard guard(lock);
    for (size_t i = seen; i < texts.size(); ++i) {
        if (texts[i].starts_with("Verifying \u2022 ")) {
            int64_t now = std::stoll(texts[i].substr(std::string("Verifying \u2022 ").size()));
            EXPECT_GE(now, checks) << texts[i];
            checks = now;
        }
    }
}

TEST_F(RegionalTest, FoldersPastTheWatchBudgetAreNotClaimedAsWatchedButStillFollowed) {
    // A share of 6 watches past the reserve: the tree's folders, and none more. The home
    // folder's are watched first.
    service.setHome(home);
    uint64_t baseline = scan();
    service.setWatchLimit(8192 + 6);
    ASSERT_EQ(service.watchedFolders(), 6u);
    fs::create_directories(root + "/srv/late");
    startEngine(baseline);
    makeFile(root + "/srv/late/inside/x.txt"); // a new folder past the share
    EXPECT_TRUE(waitForText("Index ready \u2022 ", 0, 10,
                            " checked every 0 s to leave file watches for other programs "
                            "\u2022 raise fs.inotify.max_user_watches"));
    // Changes inside it are found by the checks, which never make the index less than ready
    // while they run, nor hold up the folders that are watched.
    size_t ready = textCount();
    makeFile(root + "/srv/late/inside/later.txt");
    EXPECT_TRUE(waitFor([&] { return indexed(root + "/srv/late/inside/later.txt"); }));
    makeFile(home + "/Documents/watched.txt");
    EXPECT_TRUE(waitFor([&] { return indexed(home + "/Documents/watched.txt"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200)); // two polls more
    {
        std::lock_guard guard(lock);
        for (size_t i = ready; i < texts.size(); ++i) {
            EXPECT_TRUE(texts[i].starts_with("Index ready \u2022 ")) << texts[i];
        }
    }
    // Gone (from a folder itself unwatched, so no event tells), it is no longer counted.
    ASSERT_TRUE(waitForText("Index ready \u2022 2 folders are checked every 0 s"));
    size_t seen = textCount();
    fs::remove_all(root + "/srv/late/inside");
    EXPECT_TRUE(waitForText("Index ready \u2022 1 folder is checked every 0 s", seen));
    // The count is told as the poll begins; its check of the folder follows.
    EXPECT_TRUE(waitFor([&] { return !indexed(root + "/srv/late/inside"); }));
    // Room again (the limit raised): watched, and checked once for what changed meanwhile.
    seen = textCount();
    makeFile(root + "/srv/late/just-before.txt");
    service.setWatchLimit(100000);
    EXPECT_TRUE(waitForText("Index ready \u2022 watching for changes", seen));
    EXPECT_TRUE(waitFor([&] { return indexed(root + "/srv/late/just-before.txt"); }));
    expectIndexEqualsDisk();
}

namespace {

// An engine of its own over `root`, its index at `database`: for a test that cannot share the
// fixture's (another user, another file system).
struct LiveEngine {
    FileEventService service;
    SearchIndex index;
    FileIndexer indexer;
    DispatchQueue queue{"nexdir.indexer"};
    std::mutex lock;
    std::string text; // the last status, guarded by lock
    std::shared_ptr<RegionalRecovery> engine;

    LiveEngine(const std::string& database, const std::string& root,
               const std::function<void(FileIndexer&, RegionalRecovery::Options&)>& configure = {})
        : index(database), indexer(index, parentPath(database), {}, 50, 2) {
        indexer.setRegistrar(
            std::shared_ptr<DirectoryRegistrar>(std::shared_ptr<DirectoryRegistrar>(), &service));
        RegionalRecovery::Options options;
        if (configure) {
            configure(indexer, options);
        }
        options.index = &index;
        options.indexer = &indexer;
        options.roots = {root};
        options.queue = &queue;
        options.since = LiveIndex::runFullScan(indexer, {root}, {}).baseline;
        options.service = &service;
        options.home = root + "/home";
        options.status = [this](const std::string& status, bool) {
            std::lock_guard guard(lock);
            text = status;
        };
        engine = RegionalRecovery::start(options);
    }
    ~LiveEngine() { engine->stop(); }
    // Waits up to 10 s for `condition` and a status that starts with `status`; "ok", or what
    // was seen instead.
    std::string settle(const std::function<bool()>& condition, const std::string& status) {
        for (int i = 0; i < 200; ++i) {
            bool met = condition();
            std::lock_guard guard(lock);
            if (met && text.starts_with(status)) {
                return "ok";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::lock_guard guard(lock);
        return "not met: " + text;
    }
};

} // namespace

TEST(RegionalRecovery, AFolderThatBecomesUnreadableLeavesTheIndexUntilReadableAgain) {
    // As a user would meet it: root reads every folder whatever its mode.
    TempDirectory folder;
    chmod(folder.path().c_str(), 0777);
    std::string report = test::runUnprivileged([&] {
        std::string root = folder / "tree";
        std::string locked = root + "/locked";
        makeFile(locked + "/secret.txt");
        makeFile(root + "/open/a.txt");
        LiveEngine live(folder / "data/index-v2.sqlite3", root);
        auto secret = [&](bool indexed) {
            return [&live, &root, &locked, indexed] {
                return live.index.entryID(locked + "/secret.txt", root).has_value() == indexed;
            };
        };
        std::string steps = live.settle(secret(true), "Index ready \u2022 watching for changes");
        chmod(locked.c_str(), 0);
        steps += " | " + live.settle(secret(false), "Partial index \u2022 1 inaccessible paths");
        steps += " " + live.index.metadata("inaccessiblePaths").value_or("");
        chmod(locked.c_str(), 0755);
        steps += " | " + live.settle(secret(true), "Index ready \u2022 watching for changes");
        return steps + " " + live.index.metadata("inaccessiblePaths").value_or("");
    });
    EXPECT_EQ(report, "ok | ok [\"" + folder.path() + "/tree/locked\"] | ok []");
}

TEST(RegionalRecovery, ARegionPausedByAFullDiskCarriesOnOnceThereIsRoom) {
    TempDirectory folder;
    std::string small = folder / "small";
    fs::create_directories(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16m") != 0) {
        GTEST_SKIP() << "no small file system to fill here: " << std::strerror(errno);
    }
    std::string root = folder / "tree";
    makeFile(root + "/a.txt");
    {
        auto configure = [](FileIndexer& indexer, RegionalRecovery::Options& options) {
            indexer.setAvailableCapacity([](const std::string&) { return INT64_MAX; });
            options.retryDelays = std::vector<double>(40, 0.3);
            options.minimumFreeBytes = 1024 * 1024;
        };
        LiveEngine live(small + "/index-v2.sqlite3", root, configure);
        ASSERT_EQ(live.settle([] { return true; }, "Index ready"), "ok");
        {
            std::ofstream filler(small + "/filler", std::ios::binary);
            std::string block(64 * 1024, 'x');
            while (filler.write(block.data(), std::streamsize(block.size())) && filler.flush()) {
            }
        }
        for (int i = 0; i < 2000; ++i) {
            makeFile(root + "/many/a-rather-long-name-to-fill-pages-" + std::to_string(i) + ".txt");
        }
        // Paused, to be retried; and not retried while the disk stays full.
        EXPECT_EQ(live.settle([] { return true; }, "Index catching up \u2022 1 regions paused"),
                  "ok");
        EXPECT_EQ(live.settle([] { return test::logCount("region retry postponed ") > 1; }, ""),
                  "ok");
        fs::remove(small + "/filler");
        EXPECT_EQ(live.settle([&] { return live.index.entryID(root + "/many", root).has_value(); },
                              "Index ready \u2022 watching for changes"),
                  "ok");
        EXPECT_TRUE(test::indexEqualsDisk(small + "/index-v2.sqlite3", root, live.indexer.rules()));
    }
    umount(small.c_str());
}
