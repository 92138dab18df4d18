#pragma once

#include "DirectoryRegistrar.h"
#include "FileDescriptor.h"
#include "FileSystemEvent.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
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
    // Folders refused by the watch limit, now. A stream over some of them is told so with a
    // folderUnwatched event for its root (when it subscribes, and whenever another is
    // refused), and asks for the list with `unwatchedFolders(token)`.
    size_t unwatchedFolders();
    // Those of them that the stream `token` covers, now: folders deleted, moved or watched
    // after all are no longer among them.
    std::vector<std::string> unwatchedFolders(uint64_t token);
    // Refuses watches past `limit`, as the kernel does past max_user_watches (tests; the
    // shared service takes $NEXDIR_WATCH_LIMIT).
    void setWatchLimit(size_t limit);

    // One step of the reader thread: handles the kernel's records in `buffer`. Public so that
    // tests can feed it records the kernel is slow to produce (a queue overflow).
    void handle(const char* buffer, size_t length);

private:
    struct Stream {
        StreamOptions options;
        Sink sink;
    };

    void run();
    uint64_t nextEventID();
    void publish(const FileSystemEvent& event);
    void renameWatches(const std::string& from, const std::string& to);
    void rootsMoved(const std::string& from);
    void forgetWatches(const std::string& under);
    void forgetUnwatched(const std::string& under);
    void tellUnwatched(const Stream& stream, const std::string& folder);
    static bool accepts(const StreamOptions& options, const std::string& path);

    FileDescriptor inotify_; // set once by the constructor
    FileDescriptor wake_;    // an eventfd that ends the reader thread; set once
    std::atomic<bool> stopping_{false};
    std::mutex lock_;
    std::unordered_map<int, std::string> watches_; // guarded by lock_
    std::deque<FileSystemEvent> journal_;          // guarded by lock_
    size_t journalCapacity_;
    uint64_t coveredFrom_ = 0;           // guarded by lock_: history after this is whole
    uint64_t lastID_ = 0;                // guarded by lock_
    std::map<uint64_t, Stream> streams_; // guarded by lock_
    uint64_t nextToken_ = 1;             // guarded by lock_
    size_t watchLimit_ = SIZE_MAX;       // guarded by lock_
    std::set<std::string> unwatched_;    // guarded by lock_
    bool loggedWatchLimit_ = false;      // guarded by lock_
    std::thread reader_;
};

} // namespace nexdir
