#include "DiagnosticTiming.h"

#include "Clock.h"
#include "DebugLog.h"
#include "Format.h"

#include <string>

namespace nexdir::DiagnosticTiming {

void record(int phase, double started, std::optional<int32_t> result) {
    double elapsed = (uptimeSeconds() - started) * 1000;
    if (elapsed < slowThresholdMilliseconds) {
        return;
    }
    std::string message =
        "slow operation phase=" + std::to_string(phase) + " elapsedMs=" + shortestDecimal(elapsed);
    if (result) {
        message += " sqliteResult=" + std::to_string(*result);
    }
    DebugLog::write(message);
}

} // namespace nexdir::DiagnosticTiming
