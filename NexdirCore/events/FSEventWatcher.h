#pragma once

#include "DispatchQueue.h"
#include "EventActivity.h"
#include "FileEventService.h"
#include "FileSystemEvent.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace nexdir {

// One event stream over a set of roots. Events are coalesced per folder with a latency of
// 0.35 s (the first event after a quiet period goes out at once) and handed in batches to
// `handler` on the watcher's own serial queue "nexdir.fsevents". Drop and activity lines go
// to the debug log from a second queue, "nexdir.event-diagnostics", so logging never delays
// delivery. `activity_` and the callback counters are confined to the stream queue.
class FSEventWatcher {
public:
    using Handler = std::function<void(const std::vector<FileSystemEvent>&)>;

    // Starts the stream; on return it is running. History after `since` comes first (with
    // `replayOverlap`, also events equal to it), then historyDone. At most 8 exclusion paths.
    FSEventWatcher(const std::vector<std::string>& paths, uint64_t since, bool replayOverlap,
                   bool fileEvents, const std::vector<std::string>& exclusionPaths, Handler handler,
                   FileEventService& service = FileEventService::shared());
    ~FSEventWatcher();
    FSEventWatcher(const FSEventWatcher&) = delete;
    FSEventWatcher& operator=(const FSEventWatcher&) = delete;

    // Stops the stream; idempotent, safe from any thread including the handler. After it
    // returns (from outside the handler), the handler is not called again.
    void stop();

    const std::string& diagnosticID() const { return diagnosticID_; }

    // The folders of this stream that the watch budget leaves unwatched, now.
    std::vector<std::string> unwatchedFolders();
    // Folders of this stream watched again after a time without a watch, each handed out
    // once: what changed meanwhile is found only by checking them.
    std::vector<std::string> takeFoldersToCheck();

    // An identifier greater than any event delivered so far.
    static uint64_t currentEventID();

    // One line per root, path + ":" + the file system's UUID (or its id in hex when it has
    // none), sorted, joined by line feeds. Changes when a root's file system is replaced.
    static std::string historyIdentity(const std::vector<std::string>& roots);

    static constexpr double latencySeconds = 0.35;
    static constexpr size_t maximumExclusions = 8;

private:
    void enqueue(const FileSystemEvent& event); // from the service
    void flush();                               // on queue_
    void receive(std::vector<FileSystemEvent> batch);
    void recordCallback(double duration, size_t count);

    FileEventService& service_;
    Handler handler_;
    std::string diagnosticID_;
    std::atomic<bool> stopped_{false};
    std::mutex stopLock_;
    uint64_t subscription_ = 0; // guarded by stopLock_

    // Confined to queue_.
    EventActivity activity_;
    double activityStarted_;
    int64_t callbackCount_ = 0;
    int64_t callbackEvents_ = 0;
    double maxCallback_ = 0;
    double lastCallbackLog_;

    std::mutex inboxLock_;
    std::vector<FileSystemEvent> pending_;                 // guarded by inboxLock_
    std::unordered_map<std::string, size_t> pendingIndex_; // guarded by inboxLock_
    std::optional<size_t> pendingUnwatched_;               // guarded by inboxLock_
    bool flushScheduled_ = false;                          // guarded by inboxLock_
    double lastFlush_ = -1e9;                              // guarded by inboxLock_

    // Declared last: destroyed first, while everything their tasks touch still exists.
    DispatchQueue diagnosticQueue_{"nexdir.event-diagnostics"};
    DispatchQueue queue_{"nexdir.fsevents"};
};

} // namespace nexdir
