#pragma once

#include "DirectoryRegistrar.h"
#include "EventJournal.h"
#include "FileDescriptor.h"
#include "FileSystemEvent.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <memory_resource>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace nexdir {

// The process-wide file-event service: one inotify instance, read by a dedicated thread that
// drains the kernel queue promptly, turned into a stream of folder events with identifiers
// that strictly increase within and across processes, and a bounded journal that gives new
// streams their history.
//
// Watches follow the walks: a folder is watched from the moment a walker registers it, just
// before listing it. A change inside a watched folder D is one event for D; a change of D's
// own metadata is an event for D with itemIsDir | itemInodeMetaMod. A kernel queue overflow
// reaches every stream as a kernelDropped event for its root, and the journal then covers
// nothing before it. Thread-safe; guarded by `lock_`.
//
// Watches are a budget shared with the user's other programs (see WatchBudget): the service
// holds at most its share, gives the coldest folders' watches to a hotter folder when at its
// share, gives watches back when others need them and takes them again when they no longer
// do, re-reading the limit and what others hold every minute. A folder without a watch is
// "unwatched": its streams' owners check it by polling.
class FileEventService : public DirectoryRegistrar {
public:
    // A stream's view: its roots and exclusions, where history starts, and where events go.
    struct StreamOptions {
        std::vector<std::string> roots;
        std::vector<std::string> exclusions;
        uint64_t since = sinceNow;
        bool replayOverlap = false;
    };
    using Sink = std::function<void(const FileSystemEvent&)>;
    static constexpr uint64_t sinceNow = UINT64_MAX;

    static FileEventService& shared();

    explicit FileEventService(size_t journalCapacity = 100'000);
    ~FileEventService() override;
    FileEventService(const FileEventService&) = delete;
    FileEventService& operator=(const FileEventService&) = delete;

    // Watches `folderPath` (called by walkers just before they list it).
    void willList(const std::string& folderPath) override;

    // Starts a stream: history from the journal after `since` (or, when the journal cannot
    // cover it, one mustScanSubDirs event for the first root), then historyDone, then live
    // events, all through `sink`. Answers a token for `unsubscribe`. The sink is called on
    // the service's thread (history: on the caller's) and must not call back into the service.
    uint64_t subscribe(const StreamOptions& options, Sink sink);
    void unsubscribe(uint64_t token);

    // False when the kernel refused an inotify instance: no stream can be given then.
    bool isAvailable() const { return inotify_.valid(); }

    // An identifier greater than every one handed out before, reserved.
    uint64_t currentEventID();

    size_t watchedFolders();
    // Folders without a watch, now. A stream over some of them is told so with a
    // folderUnwatched event for its root (when it subscribes, and whenever that set changes),
    // and asks for the list with `unwatchedFolders(token)`.
    size_t unwatchedFolders();
    // Those of them that the stream `token` covers, now: folders deleted, moved or watched
    // after all are no longer among them.
    std::vector<std::string> unwatchedFolders(uint64_t token);
    // Folders of the stream `token` that were watched again after a time without a watch,
    // each handed out once: what changed in between is found only by checking them.
    std::vector<std::string> takeFoldersToCheck(uint64_t token);
    // The user's limit as this service counts it: `limit` stands in for max_user_watches,
    // and the kernel refuses past it (tests; the shared service takes $NEXDIR_WATCH_LIMIT).
    void setWatchLimit(size_t limit);
    // Where the user's own folders are, which are watched first ($HOME unless told).
    void setHome(const std::string& home);
    // Reads the limit and what the user's other programs hold again, then gives watches back
    // or takes them again to keep to the budget. Every minute on its own; tests call it.
    void checkBudget();
    // The most watches the service may hold now.
    size_t watchBudget();

    // One step of the reader thread: handles the kernel's records in `buffer`. Public so that
    // tests can feed it records the kernel is slow to produce (a queue overflow).
    void handle(const char* buffer, size_t length);

private:
    struct Stream {
        StreamOptions options;
        Sink sink;
    };
    struct Watch {
        std::pmr::string path; // in watchMemory_
        uint8_t rank; // WatchBudget::rank
    };

    void run();
    uint64_t nextEventID();
    void publish(const FileSystemEvent& event);
    void renameWatches(const std::string& from, const std::string& to);
    void rootsMoved(const std::string& from);
    void forgetWatches(const std::string& under);
    void forgetUnwatched(const std::string& under);
    void tellUnwatched(const Stream& stream, const std::string& folder);
    void tellEveryStream(const std::string& folder);
    // The folder's watch descriptor, or -1 with errno set when the kernel refused.
    int addWatch(const std::string& folder, uint8_t rank);
    // Removes the `count` coldest watches, their folders left unwatched; answers how many.
    size_t releaseColdest(size_t count);
    // The watched folder of the largest rank, if its rank is above `above`; its wd.
    std::optional<int> coldestAbove(uint8_t above);
    void noteUnwatched(const std::string& folder);
    void applyBudget(const char* reason);
    size_t watchBudget_() const;
    static bool accepts(const StreamOptions& options, const std::string& path);

    FileDescriptor inotify_; // set once by the constructor
    FileDescriptor wake_;    // an eventfd that ends the reader thread; set once
    std::atomic<bool> stopping_{false};
    std::mutex lock_;
    // Watches live for as long as their folders do, and the walks that make them allocate and
    // free far more around them: in blocks of their own, they do not hold on to pages of the
    // heap that the walks gave back. The blocks are kept for reuse, so they hold as many
    // watches as were ever held at once (guarded by lock_).
    std::pmr::unsynchronized_pool_resource watchMemory_;
    std::pmr::unordered_map<int, Watch> watches_{&watchMemory_}; // guarded by lock_
    // Watch descriptors by rank, for the coldest: entries of removed watches are dropped
    // when met (guarded by lock_).
    std::array<std::vector<int>, 256> byRank_;
    size_t rankEntries_ = 0; // guarded by lock_
    EventJournal journal_;               // guarded by lock_
    uint64_t coveredFrom_ = 0;           // guarded by lock_: history after this is whole
    uint64_t lastID_ = 0;                // guarded by lock_
    std::map<uint64_t, Stream> streams_; // guarded by lock_
    uint64_t nextToken_ = 1;             // guarded by lock_
    std::optional<size_t> standInLimit_; // guarded by lock_
    size_t limit_ = SIZE_MAX;            // guarded by lock_: the user's, as last read
    size_t others_ = 0;                  // guarded by lock_: held by the user's other programs
    std::string home_;                   // guarded by lock_
    std::set<std::string> unwatched_;    // guarded by lock_
    std::set<std::string> toCheck_;      // guarded by lock_
    bool loggedWatchLimit_ = false;      // guarded by lock_
    double nextBudgetCheck_ = 0;         // the reader thread's own
    std::thread reader_;
};

} // namespace nexdir
