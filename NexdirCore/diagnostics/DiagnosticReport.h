#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nexdir {

// What a report says about the program besides its log: the version and build number
// ("unknown" unless each is 1–40 letters, digits, dots or hyphens) and the lifecycle counters
// of the diagnostic session.
struct ReportInfo {
    std::string version;
    std::string buildNumber;
    int64_t launches = 0;
    int64_t uncleanExits = 0;
};

// A diagnostic report: the tail of the debug log with everything but listed event phrases,
// listed numeric fields and session identifiers taken out, for a person to review before it
// leaves the machine. A path becomes a region identifier, a hash of the path salted per
// report, so lines about one folder can be told apart within a report and matched with no
// other. Nothing in it names a path, a file, a user, a host or an error text: the only
// characters it copies from the log are timestamps, digits, true/false and UUIDs.
//
// Building reads files and may take a while: not on a thread that draws windows. The type has
// no state of its own; any thread may use it.
struct DiagnosticReport {
    std::string id;   // 32 lower-case hexadecimal digits, new for every report
    std::string text; // what is shown and sent

    // Builds a report from the logs in the order given (the older generation first). An
    // unreadable or missing log contributes nothing.
    static DiagnosticReport build(const std::vector<std::string>& logs, const ReportInfo& info);

    // The log at `log` and its previous generation, the older first, as build takes them.
    static std::vector<std::string> generationsOf(const std::string& log);

    // One debug-log line as the report keeps it, or nothing when the line is left out. `salt`
    // keys the region identifiers.
    static std::optional<std::string> sanitize(std::string_view line, std::string_view salt);

    // Only the end of each log is read, and only its last kept lines are reported.
    static constexpr size_t tailBytes = 128'000;
    static constexpr size_t maximumLines = 1500;
};

} // namespace nexdir
