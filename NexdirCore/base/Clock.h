#pragma once

#include <cstdint>

namespace nexdir {

// The system uptime clock: monotonic, unaffected by wall-clock changes. Durations and rate
// limits throughout the engine are measured on it.
double uptimeSeconds();
uint64_t uptimeNanoseconds();

// Wall-clock time, for values stored in the index metadata.
double unixSeconds();

} // namespace nexdir
