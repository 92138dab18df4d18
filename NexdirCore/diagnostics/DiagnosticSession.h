#pragma once

#include "DefaultsStore.h"

#include <string>

namespace nexdir {

// Counts launches and unclean exits in the user defaults and names this process's session.
// A session left open by a crash or a forced quit is counted as an unclean exit by the next
// launch. Used from the application's main thread.
class DiagnosticSession {
public:
    explicit DiagnosticSession(DefaultsStore& defaults);

    void begin();
    void end();
    bool isActive() const { return active_; }

    // A random UUID in upper case, made once per process on first use; it tags every line
    // of the debug log.
    static const std::string& id();

    static constexpr const char* launchesKey = "diagnosticsLaunches";
    static constexpr const char* uncleanExitsKey = "diagnosticsUncleanExits";
    static constexpr const char* sessionOpenKey = "diagnosticsSessionOpen";

private:
    DefaultsStore& defaults_;
    double started_;
    bool active_ = false;
};

} // namespace nexdir
