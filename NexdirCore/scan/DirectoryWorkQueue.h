#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace nexdir {

// One folder waiting to be listed, with its own entry id (its children's parent).
struct DirectoryWorkItem {
    std::string path;
    int64_t id = 0;
};

// The folders of one walk shared by its workers. Last in, first out, so the walk goes depth
// first and the queue stays short. The walk is over when `outstanding` (folders queued or
// being listed) reaches 0. Every field is guarded by `mutex_`.
class DirectoryWorkQueue {
public:
    explicit DirectoryWorkQueue(DirectoryWorkItem root);

    // The next folder to list; waits while others are still listing. Absent when the walk is
    // over or cancelled.
    std::optional<DirectoryWorkItem> next();

    // The folder taken last by this worker is done; `found` are its subfolders.
    void complete(std::vector<DirectoryWorkItem> found);

    // Stops the walk: every waiting and later `next()` answers absent.
    void cancel();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<DirectoryWorkItem> directories_; // guarded by mutex_
    int64_t outstanding_ = 1;                    // guarded by mutex_
    bool isCancelled_ = false;                   // guarded by mutex_
};

} // namespace nexdir
