#pragma once

#include <cstdint>
#include <optional>

namespace nexdir {

// Turns a slow operation into a debug-log line. Phases used by the index store:
// 5 = one SQL script run (with its SQLite result code), 6 = one write transaction of
// entries, 7 = waiting for the read lock, 8 = waiting for the write lock, 9 = one read
// operation. The reconcile of a changed item uses 1 to 4.
namespace DiagnosticTiming {

inline constexpr double slowThresholdMilliseconds = 250.0;

// Logs "slow operation phase=..." when the time since `started` (uptime seconds) is 250 ms
// or more.
void record(int phase, double started, std::optional<int32_t> result = std::nullopt);

} // namespace DiagnosticTiming

} // namespace nexdir
