#pragma once

#include <string>
#include <string_view>

namespace nexdir {

// The debug log: one append-only text file of one-line messages, bounded to two generations
// of about 2 MB. The line format is read back by the diagnostic report, so it is a contract:
//   <UTC timestamp> pid=<pid> <message> session=<session id> uptime=<seconds>
//
// Any thread may write; one process-wide lock is held from locating the file to closing it,
// so lines never interleave and rotation cannot race with an append.
namespace DebugLog {

// Appends one line; line feeds in `message` become spaces. Never throws: a failure is
// reported on stderr and the message is lost.
void write(std::string_view message);

// Where the next line goes: $NEXDIR_DEBUG_LOG_PATH when set and not empty, otherwise
// "Nexdir/debug.log" in the user's data directory.
std::string url();

// The name the log is moved to when it grows past its bound: the current log's, or that of
// the log at `log`.
std::string previousURL();
std::string previousURL(const std::string& log);

inline constexpr long long rotationThresholdBytes = 2'000'000;

} // namespace DebugLog

} // namespace nexdir
