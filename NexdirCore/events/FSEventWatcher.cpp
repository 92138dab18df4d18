#include "FSEventWatcher.h"

#include "Clock.h"
#include "DebugLog.h"
#include "Format.h"
#include "NexdirError.h"
#include "Paths.h"
#include "UUID.h"
#include "VolumeIdentity.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <set>

namespace nexdir {

namespace {

constexpr double activityWindowSeconds = 30;
constexpr double callbackLogSeconds = 5;

std::string joined(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) {
        text += (i ? separator : "") + parts[i];
    }
    return text;
}

// Standardised, with symbolic links resolved where the path exists.
std::string normalizedExclusion(const std::string& path) {
    std::string standardized = standardizePath(path);
    char resolved[PATH_MAX];
    return realpath(standardized.c_str(), resolved) ? std::string(resolved) : standardized;
}

bool isSpecial(const FileSystemEvent& event) {
    return event.isLoss() || event.flags & (EventFlags::historyDone | EventFlags::mustScanSubDirs |
                                            EventFlags::rootChanged | EventFlags::mount |
                                            EventFlags::unmount | EventFlags::folderUnwatched);
}

} // namespace

FSEventWatcher::FSEventWatcher(const std::vector<std::string>& paths, uint64_t since,
                               bool replayOverlap, bool fileEvents,
                               const std::vector<std::string>& exclusionPaths, Handler handler,
                               FileEventService& service)
    : service_(service), handler_(std::move(handler)), diagnosticID_(makeUUIDString()),
      activityStarted_(uptimeSeconds()), lastCallbackLog_(activityStarted_) {
    activity_.root = paths.empty() ? "/" : paths.front();

    std::set<std::string> normalized;
    for (const std::string& path : exclusionPaths) {
        normalized.insert(normalizedExclusion(path));
    }
    std::vector<std::string> exclusions(normalized.begin(), normalized.end());
    if (exclusions.size() > maximumExclusions) {
        std::string message = "File event stream supports at most 8 exclusion paths; received " +
                              std::to_string(exclusions.size());
        DebugLog::write("stream exclusion rejected id=" + diagnosticID_ + ": " + message);
        throw NexdirError::sqlite(message);
    }
    DebugLog::write("stream created stream=" + diagnosticID_ +
                    " fileEvents=" + (fileEvents ? "true" : "false") + " overlap=" +
                    (replayOverlap ? "true" : "false") + " since=" + std::to_string(since) +
                    " roots=" + joined(paths, ",") + " exclusions=" + joined(exclusions, ","));

    if (!service_.isAvailable()) {
        throw NexdirError::sqlite("Could not create the file-system event stream");
    }
    FileEventService::StreamOptions options;
    for (const std::string& path : paths) {
        options.roots.push_back(standardizePath(path));
    }
    options.exclusions = exclusions;
    options.since = since;
    options.replayOverlap = replayOverlap;
    // History arrives during subscribe and its handler may stop the stream at once: stop()
    // waits here until the subscription it must cancel is known.
    std::lock_guard guard(stopLock_);
    subscription_ =
        service_.subscribe(options, [this](const FileSystemEvent& event) { enqueue(event); });
}

FSEventWatcher::~FSEventWatcher() {
    stop();
}

void FSEventWatcher::stop() {
    {
        std::lock_guard guard(stopLock_);
        if (stopped_.exchange(true)) {
            return;
        }
        service_.unsubscribe(subscription_);
    }
    // Let a delivery in progress finish, so no handler call follows stop() (not from inside
    // the handler itself, which would wait for itself).
    if (!queue_.isCurrent()) {
        queue_.sync([] {});
    }
}

std::vector<std::string> FSEventWatcher::unwatchedFolders() {
    std::lock_guard guard(stopLock_);
    return stopped_ ? std::vector<std::string>() : service_.unwatchedFolders(subscription_);
}

std::vector<std::string> FSEventWatcher::takeFoldersToCheck() {
    std::lock_guard guard(stopLock_);
    return stopped_ ? std::vector<std::string>() : service_.takeFoldersToCheck(subscription_);
}

uint64_t FSEventWatcher::currentEventID() {
    return FileEventService::shared().currentEventID();
}

void FSEventWatcher::enqueue(const FileSystemEvent& event) {
    std::lock_guard guard(inboxLock_);
    // Changes to one folder within the latency window become one event; notices stay whole,
    // but for those of folders left unwatched, which only say there are more to ask for.
    auto known = isSpecial(event) ? pendingIndex_.end() : pendingIndex_.find(event.path);
    if (event.isUnwatchedNotice() && pendingUnwatched_) {
        FileSystemEvent& held = pending_[*pendingUnwatched_];
        held.id = std::max(held.id, event.id);
    } else if (known != pendingIndex_.end()) {
        FileSystemEvent& merged = pending_[known->second];
        // A folder whose contents changed needs listing, whatever else happened to it: only
        // when both are changes of its own metadata does the merge stay one.
        bool metadataOnly = merged.isDirectoryMetadataOnly() && event.isDirectoryMetadataOnly();
        merged.flags |= event.flags;
        if (!metadataOnly) {
            merged.flags &= ~(EventFlags::itemIsDir | EventFlags::itemInodeMetaMod);
        }
        merged.id = std::max(merged.id, event.id);
    } else {
        if (!isSpecial(event)) {
            pendingIndex_[event.path] = pending_.size();
        } else if (event.isUnwatchedNotice()) {
            pendingUnwatched_ = pending_.size();
        }
        pending_.push_back(event);
    }
    if (!flushScheduled_) {
        flushScheduled_ = true;
        double wait = std::max(0.0, lastFlush_ + latencySeconds - uptimeSeconds());
        queue_.asyncAfter(wait, [this] { flush(); });
    }
}

void FSEventWatcher::flush() {
    std::vector<FileSystemEvent> batch;
    {
        std::lock_guard guard(inboxLock_);
        batch.swap(pending_);
        pendingIndex_.clear();
        pendingUnwatched_.reset();
        flushScheduled_ = false;
        lastFlush_ = uptimeSeconds();
    }
    if (batch.empty() || stopped_) {
        return;
    }
    double started = uptimeSeconds();
    size_t count = batch.size();
    receive(std::move(batch));
    recordCallback(uptimeSeconds() - started, count);
}

void FSEventWatcher::receive(std::vector<FileSystemEvent> batch) {
    activity_.record(batch);
    std::vector<FileSystemEvent> drops;
    for (const FileSystemEvent& event : batch) {
        if (event.isLoss()) {
            drops.push_back(event);
        }
    }
    double elapsed = uptimeSeconds() - activityStarted_;
    if (!drops.empty() || elapsed >= activityWindowSeconds) {
        // Composed now, written later: the stream queue never waits for the log.
        std::string summary = activity_.summary();
        int64_t total = activity_.total, dropCount = activity_.drops;
        uint64_t current = currentEventID();
        double now = unixSeconds();
        diagnosticQueue_.async(
            [id = diagnosticID_, drops, summary, elapsed, total, dropCount, current, now] {
                for (const FileSystemEvent& drop : drops) {
                    DebugLog::write(
                        "drop received stream=" + id + " receivedAt=" + shortestDecimal(now) +
                        " path=" + drop.path + " flags=" + std::to_string(drop.flags) +
                        " id=" + std::to_string(drop.id) + " current=" + std::to_string(current));
                }
                DebugLog::write("event activity stream=" + id +
                                " windowSeconds=" + std::to_string(int64_t(elapsed)) +
                                " delivered=" + std::to_string(total) +
                                " drops=" + std::to_string(dropCount) + " summary=" + summary);
            });
        if (elapsed >= activityWindowSeconds) {
            activity_.reset();
            activityStarted_ = uptimeSeconds();
        }
    }
    if (!stopped_) {
        handler_(batch);
    }
}

void FSEventWatcher::recordCallback(double duration, size_t count) {
    callbackCount_ += 1;
    callbackEvents_ += int64_t(count);
    maxCallback_ = std::max(maxCallback_, duration);
    double now = uptimeSeconds();
    if (now - lastCallbackLog_ >= callbackLogSeconds) {
        DebugLog::write("callback stream=" + diagnosticID_ +
                        " batches=" + std::to_string(callbackCount_) +
                        " events=" + std::to_string(callbackEvents_) +
                        " maxMs=" + shortestDecimal(maxCallback_ * 1000));
        callbackCount_ = callbackEvents_ = 0;
        maxCallback_ = 0;
        lastCallbackLog_ = now;
    }
}

std::string FSEventWatcher::historyIdentity(const std::vector<std::string>& roots) {
    return volumeHistoryIdentity(roots);
}

} // namespace nexdir
