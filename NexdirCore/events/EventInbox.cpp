#include "EventInbox.h"

#include "Clock.h"
#include "DebugLog.h"

#include <algorithm>

namespace nexdir {

EventInbox::EventInbox(int limit) : limit_(size_t(std::max(limit, 1))) {}

bool EventInbox::receive(const std::vector<FileSystemEvent>& events) {
    std::lock_guard guard(lock_);
    if (!active_) {
        return false;
    }
    if (!events.empty() && !oldestReceived_) {
        oldestReceived_ = uptimeSeconds();
    }
    for (const FileSystemEvent& event : events) {
        // The marker stands for the changes it replaced; a folder left unwatched is not a
        // change, and the region asks the event service for those instead.
        uint32_t changeFlags = event.flags & ~EventFlags::folderUnwatched;
        if (overflow_) {
            overflow_->flags |= changeFlags;
            continue;
        }
        std::string key = std::to_string(event.flags) + ":" + event.path;
        if (auto held = events_.find(key); held != events_.end()) {
            uint64_t id =
                held->second.id == 0 || event.id == 0 ? 0 : std::max(held->second.id, event.id);
            held->second = event;
            held->second.id = id;
        } else if (events_.size() >= limit_) {
            // Everything held is lost to one marker that sends the region to verification.
            uint32_t flags = changeFlags;
            for (const auto& [_, pending] : events_) {
                flags |= pending.flags & ~EventFlags::folderUnwatched;
            }
            events_.clear();
            DebugLog::write("event inbox overflow limit=" + std::to_string(limit_) +
                            "; recovery required");
            overflow_ = FileSystemEvent{
                "/", flags | EventFlags::mustScanSubDirs | EventFlags::userDropped, 0};
        } else {
            events_.emplace(std::move(key), event);
        }
    }
    if (!scheduled_) {
        scheduled_ = true;
        return true;
    }
    return false;
}

std::optional<std::vector<FileSystemEvent>> EventInbox::take() {
    std::lock_guard guard(lock_);
    if (active_ && overflow_) {
        std::vector<FileSystemEvent> marker{*overflow_};
        overflow_.reset();
        oldestReceived_.reset();
        return marker;
    }
    if (active_ && !events_.empty()) {
        std::vector<FileSystemEvent> batch;
        batch.reserve(events_.size());
        for (auto& [_, event] : events_) {
            batch.push_back(std::move(event));
        }
        events_.clear();
        oldestReceived_.reset();
        std::stable_sort(
            batch.begin(), batch.end(),
            [](const FileSystemEvent& a, const FileSystemEvent& b) { return a.id < b.id; });
        return batch;
    }
    scheduled_ = false;
    return std::nullopt;
}

void EventInbox::applied(const std::vector<FileSystemEvent>& events) {
    std::lock_guard guard(lock_);
    if (std::any_of(events.begin(), events.end(),
                    [](const FileSystemEvent& event) { return event.isHistoryDone(); })) {
        historyApplied_ = true;
    }
}

void EventInbox::invalidate() {
    std::lock_guard guard(lock_);
    active_ = false;
    events_.clear();
    overflow_.reset();
    oldestReceived_.reset();
}

bool EventInbox::isActive() {
    std::lock_guard guard(lock_);
    return active_;
}

bool EventInbox::isCaughtUp() {
    std::lock_guard guard(lock_);
    return active_ && historyApplied_ && !scheduled_ && events_.empty() && !overflow_;
}

int64_t EventInbox::pendingCount() {
    std::lock_guard guard(lock_);
    return int64_t(events_.size()) + (overflow_ ? 1 : 0);
}

double EventInbox::oldestAge() {
    std::lock_guard guard(lock_);
    return oldestReceived_ ? std::max(0.0, uptimeSeconds() - *oldestReceived_) : 0.0;
}

} // namespace nexdir
