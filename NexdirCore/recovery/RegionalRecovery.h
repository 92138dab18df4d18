#pragma once

#include "DispatchQueue.h"
#include "EventInbox.h"
#include "FSEventWatcher.h"
#include "FileEventService.h"
#include "FileIndexer.h"
#include "IndexSynchronization.h"
#include "RecoveryRegion.h"
#include "SearchIndex.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace nexdir {

// Keeps the index in step with the disk after a full scan, region by region: each recovery
// region has its own event stream feeding its own inbox, its batches applied through its own
// synchronization, and, when it lost events, a resumable verification of that region alone.
// A region that fails is paused while the others go on; a paused region is retried on a
// schedule or by a manual verification. One status line for the whole index goes to `status`.
//
// Every piece of work runs on `queue` (the owner's indexing queue), in bounded steps that
// re-queue themselves; only the stream handlers run on the streams' own queues, and they
// touch only the inboxes and the `lock_`-guarded counters. Create with `start`; `stop` from any
// thread but `queue` ends it.
class RegionalRecovery : public std::enable_shared_from_this<RegionalRecovery> {
public:
    using Status = std::function<void(const std::string& text, bool busy)>;

    struct Options {
        SearchIndex* index = nullptr;
        FileIndexer* indexer = nullptr;
        std::vector<std::string> roots;
        DispatchQueue* queue = nullptr;
        uint64_t since = 0;  // the event identifier the index is complete at
        bool manual = false; // a user's "Verify Index"
        std::vector<double> retryDelays = {60, 300, 1800};
        Status status;
        FileEventService* service = &FileEventService::shared();
        std::string home; // the user's home folder, for the plan; empty: $HOME
        // The uptime clock, for tests that age a region without waiting.
        std::function<double()> clock;
        // How often folders the watch limit left unwatched are checked against the disk.
        double unwatchedPollSeconds = 30;
        // A region paused by a full disk is retried only with this much room beside the index.
        int64_t minimumFreeBytes = 32 * 1024 * 1024;
        // Where that room is read (statvfs); tests stand in a disk that fills and empties.
        std::function<std::optional<int64_t>(const std::string& folder)> freeSpace;
        // Called on the queue once every region has stayed caught up for a while after work,
        // before the index gives back memory: the searches' names in memory take the changes
        // the index holds for them, which nothing else takes while nobody searches.
        std::function<void()> idle;
        // Called on the queue after a piece of work that left the index holding
        // `followChangesAt` changes or more for the searches' names: they take them, as a
        // search would, so that a long catch-up nobody searches during does not pile them up.
        std::function<void()> followChanges;
        size_t followChangesAt = 16384;
    };

    // Returns at once; the start procedure runs on the queue.
    static std::shared_ptr<RegionalRecovery> start(Options options);
    ~RegionalRecovery();
    RegionalRecovery(const RegionalRecovery&) = delete;
    RegionalRecovery& operator=(const RegionalRecovery&) = delete;

    // Ends the engine: streams stopped, inboxes retired; work already queued finds it
    // inactive. Not from `queue` itself.
    void stop();

    bool isActive();
    bool isCaughtUp();
    // Publishes the status again, soon: for a change the engine did not make itself to what
    // the status tells (the count of inaccessible paths, after an access repair).
    void refreshStatus();

    // A region caught up this long gets its automatic budget back.
    static constexpr double healthySeconds = 300;

private:
    struct Region;

    explicit RegionalRecovery(Options options);
    double now() const;
    void startProcedure();
    void startWatcher(Region& region, bool force);
    void received(Region& region, const std::vector<FileSystemEvent>& batch);
    void drain(Region& region);
    void stepApply(Region& region);
    void begin(Region& region, IndexSynchronization::Verification kind, int cause);
    void step(Region& region);
    void block(Region& region, const std::exception& error);
    void retry(Region& region);
    void scheduleRetry(Region& region);
    void pollUnwatched();
    void startPoll(Region& region, std::vector<std::string> folders);
    void stepPoll(Region& region);
    // Entries the indexer added, removed or rewrote so far: a step that changes it changed
    // what searches find.
    int64_t writtenEntries() const;
    void publish(bool force);
    // Once every region has been caught up for a while after steps of work, the index gives
    // back the memory they took.
    void scheduleMemoryRelease();
    void releaseIdleMemory(int64_t stepsWhenScheduled);
    void followChangesIfMany();
    std::string statusText(bool& busy, int paused, int verifying, int ready, int64_t checks);
    template <class Work> void later(Region& region, Work work);

    Options options_;
    std::mutex lock_;
    bool active_ = true;             // guarded by lock_
    bool caughtUp_ = false;          // guarded by lock_
    int64_t receivedGeneration_ = 0; // guarded by lock_

    // Everything below: on the queue only.
    std::vector<std::unique_ptr<Region>> regions_;
    std::string identity_;
    double lastStatus_ = -1e9;
    double lastProgressLog_ = -1e9;
    std::optional<bool> lastReady_;
    std::optional<uint64_t> lastCursor_;
    std::string lastText_;
    std::optional<double> pendingSince_;
    std::optional<std::pair<int, int>> lastDiagnosticState_;
    double lastDiagnosticTime_ = -1e9;
    int64_t diagnosticTransitions_ = 0;
    bool pollScheduled_ = false;
    // Steps of applying, verifying and checking taken, and their count when memory was last
    // given back.
    int64_t stepsTaken_ = 0;
    int64_t stepsAtMemoryRelease_ = -1;
    bool memoryReleaseScheduled_ = false;
    // Folder checks of the verifications under way and of those that ended since none ran.
    int64_t verificationChecks_ = 0;
    // Something searches find was written since the status was last delivered: delivered
    // again then, even unchanged, so that an open panel refreshes its results.
    bool resultsChanged_ = false;
};

} // namespace nexdir
