#include "DirectoryWorkQueue.h"

namespace nexdir {

DirectoryWorkQueue::DirectoryWorkQueue(DirectoryWorkItem root) {
    directories_.push_back(std::move(root));
}

std::optional<DirectoryWorkItem> DirectoryWorkQueue::next() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !directories_.empty() || outstanding_ < 1 || isCancelled_; });
    if (isCancelled_ || outstanding_ < 1) {
        return std::nullopt;
    }
    DirectoryWorkItem item = std::move(directories_.back());
    directories_.pop_back();
    return item;
}

void DirectoryWorkQueue::complete(std::vector<DirectoryWorkItem> found) {
    {
        std::lock_guard lock(mutex_);
        if (isCancelled_) {
            return;
        }
        outstanding_ += int64_t(found.size()) - 1;
        for (DirectoryWorkItem& item : found) {
            directories_.push_back(std::move(item));
        }
    }
    changed_.notify_all();
}

void DirectoryWorkQueue::cancel() {
    {
        std::lock_guard lock(mutex_);
        isCancelled_ = true;
    }
    changed_.notify_all();
}

} // namespace nexdir
