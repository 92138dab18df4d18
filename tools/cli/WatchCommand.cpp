// quelmo-cli watch: a headless Quelmo that keeps an index live, for servers and scripts.

#include "Arguments.h"

#include "Clock.h"
#include "DataDirectory.h"
#include "DebugLog.h"
#include "DispatchQueue.h"
#include "FSEventWatcher.h"
#include "FileEventService.h"
#include "FileIndexer.h"
#include "IndexSynchronization.h"
#include "LiveIndex.h"
#include "NameSearch.h"
#include "NexdirError.h"
#include "Paths.h"
#include "QueryEndpoint.h"
#include "RegionalRecovery.h"
#include "SearchIndex.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

namespace quelmo::cli {

namespace {

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t verifyRequested = 0;

// Status texts on stdout, one a line, as they are published; from any thread. The engine
// tells its text again after each change it applies (for a panel to refresh): a line repeats
// only when something else was said between.
class StatusPrinter {
public:
    void print(const std::string& text) {
        std::lock_guard guard(lock_);
        if (text == last_) {
            return;
        }
        last_ = text;
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

private:
    std::mutex lock_;
    std::string last_; // guarded by lock_
};

} // namespace

int runWatch(Arguments arguments) {
    std::string database = nexdir::defaultIndexPath();
    std::vector<std::string> excluded;
    std::vector<std::string> roots;
    double seconds = -1;
    while (!arguments.empty()) {
        std::string word = arguments.next();
        if (word == "--db") {
            database = arguments.value(word);
        } else if (word == "--exclude") {
            excluded.push_back(arguments.value(word));
        } else if (word == "--seconds") {
            seconds = double(arguments.integerValue(word));
        } else if (word.starts_with("--")) {
            throw UsageError("unknown option for watch: " + word);
        } else {
            roots.push_back(nexdir::standardizePath(word));
        }
    }
    // One engine per index: the application's single-instance lock, in the index's folder.
    auto instance = claimIndex(database, "watch");
    nexdir::DebugLog::write("watch launch path=" + database);
    auto index = nexdir::SearchIndex::openRecoveringCorruption(database);
    if (roots.empty()) {
        roots = nexdir::FileIndexer::discoverInternalRoots();
    }
    nexdir::FileIndexer indexer(*index, dataDirectoryFor(roots), excluded,
                                nexdir::FileIndexer::defaultBatchSize,
                                nexdir::FileIndexer::defaultWorkerCount());
    roots = indexer.walkRoots(roots);
    // Watches follow the walks: every folder a scan or a reconcile lists is watched first.
    nexdir::FileEventService& service = nexdir::FileEventService::shared();
    indexer.setRegistrar(std::shared_ptr<nexdir::DirectoryRegistrar>(
        std::shared_ptr<nexdir::DirectoryRegistrar>(), &service));
    nexdir::IndexSynchronization whole(*index, indexer);
    // Command-line searches are answered from every name held in memory, loaded before the
    // first one asks, as the application does.
    nexdir::NameSearch names(*index);
    nexdir::DispatchQueue searchQueue("nexdir.search");
    searchQueue.async([&names] {
        try {
            names.prepare();
        } catch (const std::exception& error) {
            nexdir::DebugLog::write(std::string("search preparation failed error=") + error.what());
        }
    });
    std::unique_ptr<nexdir::QueryEndpoint> endpoint = nexdir::QueryEndpoint::start(
        database, names, [] { return int64_t(nexdir::FileEventService::shared().unwatchedFolders()); });

    StatusPrinter printer;
    std::mutex stateLock;
    std::shared_ptr<nexdir::RegionalRecovery> recovery; // guarded by stateLock
    bool scanning = false;                              // guarded by stateLock
    bool failed = false;                                // guarded by stateLock
    nexdir::DispatchQueue queue("nexdir.indexer");

    auto startRecovery = [&](uint64_t since, bool manual = false) {
        nexdir::RegionalRecovery::Options options;
        options.index = index.get();
        options.indexer = &indexer;
        options.roots = roots;
        options.queue = &queue;
        options.since = since;
        options.manual = manual;
        options.status = [&printer](const std::string& text, bool) { printer.print(text); };
        options.idle = [&names] { names.settle(); };
        options.followChanges = [&names] { names.prepare(); };
        std::lock_guard guard(stateLock);
        recovery = nexdir::RegionalRecovery::start(std::move(options));
    };
    queue.async([&] {
        try {
            nexdir::LiveIndex::LaunchCheck check =
                nexdir::LiveIndex::checkLaunch(indexer, whole, roots, excluded);
            nexdir::DebugLog::write("startup cursor=" + (check.resumePoint
                                                             ? std::to_string(*check.resumePoint)
                                                             : std::string("nil")));
            if (check.resumePoint) {
                printer.print(nexdir::LiveIndex::resumingText(check.inaccessible));
                startRecovery(*check.resumePoint);
                return;
            }
            if (check.recover) {
                startRecovery(check.storedEventID);
                return;
            }
            {
                std::lock_guard guard(stateLock);
                scanning = true;
            }
            printer.print(nexdir::LiveIndex::reindexingText());
            double started = nexdir::uptimeSeconds();
            nexdir::LiveIndex::FullScan scan = nexdir::LiveIndex::runFullScan(
                indexer, roots, [&](const nexdir::IndexProgress& progress) {
                    if (auto text = nexdir::LiveIndex::progressText(progress)) {
                        printer.print(*text);
                    }
                });
            nexdir::DebugLog::write("scan installed items=" + std::to_string(scan.summary.indexed) +
                                    " errors=" + std::to_string(scan.summary.errors) + " seconds=" +
                                    std::to_string(nexdir::uptimeSeconds() - started));
            {
                std::lock_guard guard(stateLock);
                scanning = false;
            }
            printer.print(nexdir::LiveIndex::scannedText(scan.summary.indexed));
            startRecovery(scan.baseline);
        } catch (const std::exception& error) {
            nexdir::DebugLog::write(std::string("watch failed error=") + error.what());
            std::fprintf(stderr, "%s\n", error.what());
            std::lock_guard guard(stateLock);
            scanning = false;
            failed = true;
        }
    });

    std::signal(SIGINT, [](int) { stopRequested = 1; });
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    // What the application's Verify Index does: every region that needs it (or all) verified
    // now, and paused ones resumed.
    std::signal(SIGHUP, [](int) { verifyRequested = 1; });
    double deadline = seconds < 0 ? -1 : nexdir::uptimeSeconds() + seconds;
    while (!stopRequested && (deadline < 0 || nexdir::uptimeSeconds() < deadline)) {
        std::shared_ptr<nexdir::RegionalRecovery> verified;
        {
            std::lock_guard guard(stateLock);
            if (failed) {
                return 1;
            }
            if (verifyRequested && !scanning && recovery) {
                verified = recovery; // a scan under way verifies nothing: it rebuilds
            }
            verifyRequested = 0;
        }
        if (verified) {
            nexdir::DebugLog::write("watch verification requested");
            verified->stop();
            startRecovery(nexdir::FSEventWatcher::currentEventID(), true);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::shared_ptr<nexdir::RegionalRecovery> running;
    {
        std::lock_guard guard(stateLock);
        if (scanning) {
            // A scan cannot be cut short; its rebuild folder is cleared by the next start, and
            // the live index is as it was.
            nexdir::DebugLog::write("watch stopped during a scan");
            endpoint.reset();
            std::fflush(stdout);
            std::_Exit(0);
        }
        running = recovery;
    }
    if (running) {
        running->stop();
    }
    // Nothing writes now: the names held are saved for the next launch to read in one go.
    names.saveNames();
    nexdir::DebugLog::write("watch stopped");
    return 0;
}

} // namespace quelmo::cli
