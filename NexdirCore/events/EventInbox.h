#pragma once

#include "FileSystemEvent.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace nexdir {

// The bounded, coalescing hand-off between a region's event stream and the work that applies
// its events. The stream's handler puts batches in (on the stream queue); the region's drain
// takes them out (on the indexing queue). Repeated events for one path and flag combination
// merge; past `limit` distinct entries everything held is dropped for one marker event that
// sends the whole region to verification. Every field is guarded by `lock_`.
class EventInbox {
public:
    // A limit below 1 is taken as 1.
    explicit EventInbox(int limit);

    // Adds a batch; true when the caller must schedule one drain (at most one is ever
    // outstanding). An inactive inbox drops the batch and answers false.
    bool receive(const std::vector<FileSystemEvent>& events);
    // The next batch to apply, oldest identifier first; absent when the drain should end
    // (which makes the next `receive` schedule a new one).
    std::optional<std::vector<FileSystemEvent>> take();
    // A batch has been applied: once one held historyDone, the replay of history is done.
    void applied(const std::vector<FileSystemEvent>& events);
    // Retires the inbox when its region is paused or replaced: it accepts nothing more.
    void invalidate();

    bool isActive();
    // Active, history applied, no drain outstanding and nothing held.
    bool isCaughtUp();
    // Entries held, the overflow marker counting one.
    int64_t pendingCount();
    // Seconds since the oldest batch still held arrived; 0 when none is held.
    double oldestAge();

    static constexpr int regionLimit = 10000;

private:
    std::mutex lock_;
    std::map<std::string, FileSystemEvent> events_; // key: flags in decimal + ":" + path
    bool scheduled_ = false;
    bool active_ = true;
    std::optional<FileSystemEvent> overflow_; // when present, events_ is empty
    bool historyApplied_ = false;
    std::optional<double> oldestReceived_; // uptime seconds
    size_t limit_;
};

} // namespace nexdir
