#pragma once

#include "FileSystemEvent.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace nexdir {

// The last events the file-event service published, oldest first, for streams that ask for
// history. Held compactly: events come in runs from the same folders, so each path is kept as
// what it shares with the path before it and the bytes after that, in blocks that each start
// with a whole path and are dropped whole. A path of a busy tree (100 to 200 bytes) then costs
// tens of bytes, where a string of its own cost its length plus the allocator's rounding.
// Not thread-safe: the service guards it.
class EventJournal {
public:
    explicit EventJournal(size_t capacity)
        : capacity_(capacity), blockSize_(std::clamp<size_t>(capacity / 16, 1, 64)) {}

    // Adds `event`; when more than the capacity are held, the oldest block goes, and answers
    // the identifier of its last event (history is whole only after it); else 0.
    uint64_t add(const FileSystemEvent& event);
    // Every event held, oldest first.
    void forEach(const std::function<void(const FileSystemEvent&)>& visit) const;
    void clear();
    size_t size() const { return count_; }

private:
    struct Event {
        uint64_t id;
        uint32_t flags;
        uint32_t shared; // bytes of the path before that begin this one
        uint32_t length; // bytes of its own, in the block's bytes after the previous event's
    };
    struct Block {
        std::vector<Event> events;
        std::string bytes;
        std::string last; // the last path, whole, while the block is filled
    };

    std::deque<Block> blocks_;
    size_t capacity_;
    size_t blockSize_; // events a block holds: at most a 16th of the capacity
    size_t count_ = 0;
};

} // namespace nexdir
