#include "Arguments.h"

#include "DataDirectory.h"
#include "DebugLog.h"
#include "DiagnosticReport.h"
#include "DiagnosticSession.h"

#include <cstdlib>
#include <fstream>
#include <iostream>

namespace quelmo::cli {

namespace {

// The application keeps the lifecycle counters in its settings file, which Qt writes as INI
// ($XDG_CONFIG_HOME/Quelmo/Quelmo.conf, keys of the [General] section). Read here without Qt:
// a missing file or key reads as 0, as the application's defaults do.
void readLifecycleCounters(nexdir::ReportInfo& info) {
    const char* configured = std::getenv("XDG_CONFIG_HOME");
    std::string folder = configured && configured[0] == '/' ? std::string(configured)
                                                            : nexdir::homeDirectory() + "/.config";
    std::ifstream settings(folder + "/Quelmo/Quelmo.conf");
    bool general = false;
    for (std::string line; std::getline(settings, line);) {
        if (line.starts_with('[')) {
            general = line.starts_with("[General]");
            continue;
        }
        size_t equals = line.find('=');
        if (!general || equals == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, equals);
        char* end = nullptr;
        long long value = std::strtoll(line.c_str() + equals + 1, &end, 10);
        if (*end != '\0' || end == line.c_str() + equals + 1) {
            continue;
        }
        if (key == nexdir::DiagnosticSession::launchesKey) {
            info.launches = value;
        } else if (key == nexdir::DiagnosticSession::uncleanExitsKey) {
            info.uncleanExits = value;
        }
    }
}

} // namespace

int runReport(Arguments arguments) {
    std::string log = nexdir::DebugLog::url();
    while (!arguments.empty()) {
        std::string word = arguments.next();
        if (word != "--log") {
            throw UsageError("unknown argument for report: " + word);
        }
        log = arguments.value(word);
    }
    nexdir::ReportInfo info{QUELMO_VERSION, QUELMO_BUILD_NUMBER, 0, 0};
    readLifecycleCounters(info);
    std::cout
        << nexdir::DiagnosticReport::build(nexdir::DiagnosticReport::generationsOf(log), info).text
        << '\n';
    return 0;
}

} // namespace quelmo::cli
