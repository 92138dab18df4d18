#include "EventJournal.h"

#include <algorithm>

namespace nexdir {

uint64_t EventJournal::add(const FileSystemEvent& event) {
    if (blocks_.empty() || blocks_.back().events.size() == blockSize_) {
        if (!blocks_.empty()) {
            // A full block keeps no spare room and no copy of its last path.
            Block& full = blocks_.back();
            full.events.shrink_to_fit();
            full.bytes.shrink_to_fit();
            std::string().swap(full.last);
        }
        blocks_.emplace_back().events.reserve(blockSize_);
    }
    Block& block = blocks_.back();
    const std::string& path = event.path;
    size_t shared = 0;
    size_t limit = std::min(block.last.size(), path.size());
    while (shared < limit && block.last[shared] == path[shared]) {
        ++shared;
    }
    block.events.push_back(
        {event.id, event.flags, uint32_t(shared), uint32_t(path.size() - shared)});
    block.bytes.append(path, shared);
    block.last = path;
    ++count_;

    uint64_t dropped = 0;
    while (count_ > capacity_ && blocks_.size() > 1) {
        dropped = blocks_.front().events.back().id;
        count_ -= blocks_.front().events.size();
        blocks_.pop_front();
    }
    return dropped;
}

void EventJournal::forEach(const std::function<void(const FileSystemEvent&)>& visit) const {
    FileSystemEvent event;
    for (const Block& block : blocks_) {
        size_t at = 0;
        event.path.clear();
        for (const Event& stored : block.events) {
            event.path.resize(stored.shared);
            event.path.append(block.bytes, at, stored.length);
            at += stored.length;
            event.id = stored.id;
            event.flags = stored.flags;
            visit(event);
        }
    }
}

void EventJournal::clear() {
    std::deque<Block>().swap(blocks_);
    count_ = 0;
}

} // namespace nexdir
