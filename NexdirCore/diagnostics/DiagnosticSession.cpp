#include "DiagnosticSession.h"

#include "Clock.h"
#include "DebugLog.h"
#include "Format.h"
#include "SessionID.h"

namespace nexdir {

DiagnosticSession::DiagnosticSession(DefaultsStore& defaults)
    : defaults_(defaults), started_(uptimeSeconds()) {}

const std::string& DiagnosticSession::id() {
    return processSessionID();
}

void DiagnosticSession::begin() {
    if (active_) {
        return;
    }
    bool previousUnclean = defaults_.boolean(sessionOpenKey);
    int64_t launches = defaults_.integer(launchesKey) + 1;
    defaults_.setInteger(launchesKey, launches);
    int64_t uncleanExits = defaults_.integer(uncleanExitsKey);
    if (previousUnclean) {
        uncleanExits += 1;
        defaults_.setInteger(uncleanExitsKey, uncleanExits);
    }
    defaults_.setBoolean(sessionOpenKey, true);
    active_ = true;
    DebugLog::write("session begin launches=" + std::to_string(launches) +
                    " uncleanExits=" + std::to_string(uncleanExits) +
                    " previousUnclean=" + (previousUnclean ? "true" : "false"));
}

void DiagnosticSession::end() {
    if (!active_) {
        return;
    }
    DebugLog::write("session end seconds=" + shortestDecimal(uptimeSeconds() - started_));
    defaults_.setBoolean(sessionOpenKey, false);
    active_ = false;
}

} // namespace nexdir
