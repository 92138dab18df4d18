#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace nexdir {

// Running totals of one walk: (scanned, indexed, errors, current path).
using ScanProgress = std::function<void(int64_t, int64_t, int64_t, const std::string&)>;

// What a walk found.
struct ScanTotals {
    int64_t scanned = 0;                        // entries listed, excluded ones included
    int64_t indexed = 0;                        // records written
    int64_t errors = 0;                         // items and folders that could not be read
    std::vector<std::string> inaccessiblePaths; // in the order met
};

// The shared totals of one walk. Every field is guarded by `lock_`, which also serialises
// the progress calls: the callback runs on worker threads, one call at a time, and must not
// call back into the walk.
class ParallelScanState {
public:
    explicit ParallelScanState(ScanProgress progress) : progress_(std::move(progress)) {}

    void addScanned(int64_t count);
    // Adds written records and reports progress.
    void addIndexed(int64_t count, const std::string& currentPath);
    void didFailToRead(const std::string& path);
    ScanTotals totals();

private:
    std::mutex lock_;
    ScanProgress progress_;
    ScanTotals totals_; // guarded by lock_
};

} // namespace nexdir
