#pragma once

// Lock and timing discipline shared by the index store's sources (internal).

#include "Clock.h"
#include "DiagnosticTiming.h"

#include <mutex>

namespace nexdir::detail {

inline constexpr int phaseScript = 5;
inline constexpr int phaseWriteTransaction = 6;
inline constexpr int phaseReadLockWait = 7;
inline constexpr int phaseWriteLockWait = 8;
inline constexpr int phaseReadOperation = 9;

// How long a statement waits for a lock on the database file before it fails as busy.
inline constexpr int busyTimeoutMilliseconds = 5000;

// Takes `lock`, reporting the wait as a slow operation of `phase` when it was long.
template <typename Mutex> std::unique_lock<Mutex> lockMeasured(Mutex& lock, int phase) {
    double started = uptimeSeconds();
    std::unique_lock<Mutex> guard(lock);
    DiagnosticTiming::record(phase, started);
    return guard;
}

// Declared after the read lock is taken: reports the read operation's duration (phase 9)
// when it ends, whichever way it ends.
class ReadOperationTiming {
public:
    ReadOperationTiming() : started_(uptimeSeconds()) {}
    ~ReadOperationTiming() { DiagnosticTiming::record(phaseReadOperation, started_); }
    ReadOperationTiming(const ReadOperationTiming&) = delete;
    ReadOperationTiming& operator=(const ReadOperationTiming&) = delete;

private:
    double started_;
};

} // namespace nexdir::detail
