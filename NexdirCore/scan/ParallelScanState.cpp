#include "ParallelScanState.h"

namespace nexdir {

void ParallelScanState::addScanned(int64_t count) {
    std::lock_guard guard(lock_);
    totals_.scanned += count;
}

void ParallelScanState::addIndexed(int64_t count, const std::string& currentPath) {
    std::lock_guard guard(lock_);
    totals_.indexed += count;
    if (progress_) {
        progress_(totals_.scanned, totals_.indexed, totals_.errors, currentPath);
    }
}

void ParallelScanState::didFailToRead(const std::string& path) {
    std::lock_guard guard(lock_);
    totals_.errors += 1;
    totals_.inaccessiblePaths.push_back(path);
}

ScanTotals ParallelScanState::totals() {
    std::lock_guard guard(lock_);
    return totals_;
}

} // namespace nexdir
