#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>

namespace nexdir {

// A serial queue: one worker thread runs its tasks one at a time, in the order they were
// submitted; timed tasks run once their deadline has passed, in deadline order.
//
// Any thread may call `async`, `asyncAfter` and `sync`. `sync` called from a task of this
// same queue runs the work inline instead of waiting for itself.
//
// Destruction is deterministic: tasks already submitted with `async` (and timed tasks that
// are already due) still run, timed tasks that are not yet due are dropped, and the worker
// is joined before the destructor returns. A queue must not be destroyed from its own tasks.
class DispatchQueue {
public:
    // How the worker competes for the processor: `utility` work (measuring, counting) runs at
    // a lower priority (nice 10), so that it takes a core only when the interactive work
    // (queries the user waits for) leaves one free.
    enum class Priority { userInitiated, utility };

    explicit DispatchQueue(std::string label, Priority priority = Priority::userInitiated);
    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    const std::string& label() const { return label_; }

    void async(std::function<void()> task);
    void asyncAfter(double seconds, std::function<void()> task);

    // Runs `work` on the queue and returns its result; an exception thrown by `work` is
    // rethrown in the caller.
    template <class Work> auto sync(Work&& work) -> std::invoke_result_t<Work&>;

    // True when the calling thread is running a task of this queue.
    bool isCurrent() const;

private:
    using Clock = std::chrono::steady_clock;

    void run();

    const std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;                            // guarded by mutex_
    std::multimap<Clock::time_point, std::function<void()>> timedTasks_; // guarded by mutex_
    bool stopping_ = false;                                              // guarded by mutex_
    std::thread worker_;
};

template <class Work> auto DispatchQueue::sync(Work&& work) -> std::invoke_result_t<Work&> {
    using Result = std::invoke_result_t<Work&>;
    if (isCurrent()) {
        return work();
    }
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;
    std::exception_ptr failure;
    std::conditional_t<std::is_void_v<Result>, char, std::optional<Result>> result{};
    async([&] {
        try {
            if constexpr (std::is_void_v<Result>) {
                work();
            } else {
                result.emplace(work());
            }
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard lock(doneMutex);
        done = true;
        doneSignal.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneSignal.wait(lock, [&] { return done; });
    if (failure) {
        std::rethrow_exception(failure);
    }
    if constexpr (!std::is_void_v<Result>) {
        return std::move(*result);
    }
}

} // namespace nexdir
