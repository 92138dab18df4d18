#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nexdir {

// One progress report of a full scan: discovering once, scanning any number of times with
// totals that never decrease, finished once.
struct IndexProgress {
    enum class Phase { discovering, scanning, finished };
    Phase phase = Phase::discovering;
    int64_t scanned = 0;
    int64_t indexed = 0;
    int64_t errors = 0;
    std::string currentPath;

    bool operator==(const IndexProgress&) const = default;
};

using IndexProgressHandler = std::function<void(const IndexProgress&)>;

// What a finished full scan found.
struct IndexSummary {
    int64_t scanned = 0;
    int64_t indexed = 0;
    int64_t errors = 0;
    double duration = 0; // seconds
    std::vector<std::string> inaccessiblePaths;
};

// Where the time of the last full scan went, in seconds: the walk with its inserts, the
// full-text and secondary indexes built over the rows, and the install (the scan's state
// written into the rebuild, which is then copied into the live index).
struct ScanPhases {
    double walk = 0;
    double indexes = 0;
    double install = 0;
};

// The disk is too full for a rebuild beside the live index.
class IndexCapacityError : public std::runtime_error {
public:
    IndexCapacityError(int64_t required, int64_t available);
    int64_t required() const { return required_; }
    int64_t available() const { return available_; }
    std::string errorDescription() const { return what(); }

private:
    int64_t required_;
    int64_t available_;
};

} // namespace nexdir
