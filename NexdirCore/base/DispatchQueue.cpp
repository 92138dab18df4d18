#include "DispatchQueue.h"

#include "DebugLog.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace nexdir {

namespace {
thread_local const DispatchQueue* currentQueue = nullptr;
}

DispatchQueue::DispatchQueue(std::string label, Priority priority) : label_(std::move(label)) {
    worker_ = std::thread([this, priority] {
        if (priority == Priority::utility) {
            // Linux keeps a nice value per thread: this lowers the worker alone. On two cores,
            // measuring a million files at the searches' own priority made the median search
            // five to eight times slower.
            setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), 10);
        }
        run();
    });
}

DispatchQueue::~DispatchQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

void DispatchQueue::async(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void DispatchQueue::asyncAfter(double seconds, std::function<void()> task) {
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(std::max(seconds, 0.0)));
    {
        std::lock_guard lock(mutex_);
        timedTasks_.emplace(deadline, std::move(task));
    }
    wake_.notify_one();
}

bool DispatchQueue::isCurrent() const {
    return currentQueue == this;
}

void DispatchQueue::run() {
    currentQueue = this;
    std::unique_lock lock(mutex_);
    while (true) {
        // Timed tasks whose deadline passed join the FIFO in deadline order, behind what is
        // already queued.
        auto now = Clock::now();
        while (!timedTasks_.empty() && timedTasks_.begin()->first <= now) {
            tasks_.push_back(std::move(timedTasks_.begin()->second));
            timedTasks_.erase(timedTasks_.begin());
        }
        if (!tasks_.empty()) {
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            try {
                task();
            } catch (const std::exception& error) {
                DebugLog::write("dispatch task failed queue=" + label_ + " error=" + error.what());
            } catch (...) {
                DebugLog::write("dispatch task failed queue=" + label_);
            }
            lock.lock();
            continue;
        }
        if (stopping_) {
            break;
        }
        if (timedTasks_.empty()) {
            wake_.wait(lock);
        } else {
            wake_.wait_until(lock, timedTasks_.begin()->first);
        }
    }
    currentQueue = nullptr;
}

} // namespace nexdir
