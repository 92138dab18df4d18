#include "Arguments.h"

#include "Clock.h"
#include "DataDirectory.h"
#include "DirectoryWalk.h"
#include "FSEventWatcher.h"
#include "Paths.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace quelmo::cli {

namespace {

volatile std::sig_atomic_t interrupted = 0;

// Watches folders for the live view and remembers which; a folder that appears later is
// watched when its parent reports a change, as a reconcile of the index would.
class ViewRegistrar : public nexdir::DirectoryRegistrar {
public:
    explicit ViewRegistrar(nexdir::FileEventService& service) : service_(service) {}
    void willList(const std::string& folder) override {
        std::lock_guard guard(lock_);
        known_.insert(folder);
        service_.willList(folder);
    }
    void watchNewChildren(const std::string& folder, const nexdir::ExclusionRules& rules) {
        nexdir::watchTree(folder, rules, *this, [this](const std::string& child) {
            std::lock_guard guard(lock_);
            return known_.count(child) == 0;
        });
    }

private:
    nexdir::FileEventService& service_;
    std::mutex lock_;
    std::set<std::string> known_;
};

} // namespace

int runEvents(Arguments arguments) {
    std::optional<uint64_t> since;
    double seconds = -1;
    std::vector<std::string> paths;
    while (!arguments.empty()) {
        std::string word = arguments.next();
        if (word == "--since") {
            since = uint64_t(arguments.integerValue(word));
        } else if (word == "--seconds") {
            seconds = double(arguments.integerValue(word));
        } else if (word.starts_with("--")) {
            throw UsageError("unknown option for events: " + word);
        } else {
            paths.push_back(nexdir::standardizePath(word));
        }
    }
    if (paths.empty()) {
        throw UsageError("events needs at least one PATH");
    }
    auto& service = nexdir::FileEventService::shared();
    nexdir::ExclusionRules rules(nexdir::applicationDataDirectory(), {});
    ViewRegistrar registrar(service);
    for (const std::string& path : paths) {
        nexdir::watchTree(path, rules, registrar);
    }
    // Said at start and again whenever more folders are refused, during the run too.
    std::atomic<size_t> reportedUnwatched{0};
    auto reportUnwatched = [&] {
        size_t refused = service.unwatchedFolders();
        if (refused > reportedUnwatched.exchange(refused)) {
            std::fprintf(stderr, "%zu %s not watched: raise fs.inotify.max_user_watches\n", refused,
                         refused == 1 ? "folder is" : "folders are");
        }
    };
    reportUnwatched();
    uint64_t start = since ? *since : nexdir::FSEventWatcher::currentEventID();

    std::vector<std::unique_ptr<nexdir::FSEventWatcher>> watchers;
    for (const std::string& path : paths) {
        watchers.push_back(std::make_unique<nexdir::FSEventWatcher>(
            std::vector<std::string>{path}, start, false, false, std::vector<std::string>{},
            [&](const std::vector<nexdir::FileSystemEvent>& batch) {
                for (const auto& event : batch) {
                    std::printf("%llu\t0x%x\t%s\n", (unsigned long long)event.id, event.flags,
                                event.path.c_str());
                }
                std::fflush(stdout);
                for (const auto& event : batch) {
                    if (event.flags == 0) {
                        registrar.watchNewChildren(event.path, rules);
                    }
                }
                reportUnwatched();
            }));
    }
    std::signal(SIGINT, [](int) { interrupted = 1; });
    std::signal(SIGTERM, [](int) { interrupted = 1; });
    double deadline = seconds < 0 ? -1 : nexdir::uptimeSeconds() + seconds;
    while (!interrupted && (deadline < 0 || nexdir::uptimeSeconds() < deadline)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (auto& watcher : watchers) {
        watcher->stop();
    }
    return 0;
}

} // namespace quelmo::cli
