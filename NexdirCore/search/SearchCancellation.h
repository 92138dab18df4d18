#pragma once

#include <mutex>

namespace nexdir {

// A token with which the interface cancels a running search. Shared between the interface
// thread, which cancels it, and the searching thread, which reads it from inside SQLite's
// progress callback; the flag is guarded by `lock_`.
class SearchCancellation {
public:
    void cancel() {
        std::lock_guard guard(lock_);
        cancelled_ = true;
    }
    bool isCancelled() const {
        std::lock_guard guard(lock_);
        return cancelled_;
    }

private:
    mutable std::mutex lock_;
    bool cancelled_ = false; // guarded by lock_
};

} // namespace nexdir
