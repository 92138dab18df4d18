#pragma once

// The engine's state in the index's metadata table: every key, and how each kind of value is
// written and read. One place, because values are compared byte for byte: the launch resumes
// from a checkpoint only when the roots and exclusions a rebuild wrote equal today's.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nexdir::IndexMetadata {

// Written by the full rebuild.
inline constexpr const char* indexFormat = "indexFormat";
inline constexpr const char* currentIndexFormat = "4";
inline constexpr const char* roots = "roots";
inline constexpr const char* historyIdentity = "historyIdentity";
inline constexpr const char* scanErrors = "scanErrors";
inline constexpr const char* inaccessiblePaths = "inaccessiblePaths";
inline constexpr const char* excludedPaths = "excludedPaths";
// The checkpoint and recovery state of the whole index, or of one region (see `scoped`).
inline constexpr const char* eventID = "eventID";
inline constexpr const char* scanBaseline = "scanBaseline";
inline constexpr const char* needsRecovery = "needsRecovery";
inline constexpr const char* applyInProgress = "applyInProgress";
inline constexpr const char* verificationInProgress = "verificationInProgress";
inline constexpr const char* verificationBlocked = "verificationBlocked";
inline constexpr const char* automaticVerificationAttempts = "automaticVerificationAttempts";
inline constexpr const char* retryAfter = "retryAfter";
inline constexpr const char* delayedRetryCount = "delayedRetryCount";
inline constexpr const char* automaticRetryAllowed = "automaticRetryAllowed";
inline constexpr const char* regionPlan = "regionPlan.v1";
inline constexpr const char* maintenanceAttempt = "maintenanceAttempt";
// A new UUID written just before the names file (see NameSearch) is saved, and deleted by the
// triggers of `entries` (IndexSchema::createTriggers, which spell the key out) at any change
// to what that file holds. While it is there, the entries are exactly as they were when it
// was written, and a names file carrying the same stamp holds them.
inline constexpr const char* namesStamp = "namesStamp";
// A new UUID per rebuild, written into the rebuilt database before it is installed: after an
// install reports an error, it tells whether the new content is in place all the same.
inline constexpr const char* rebuildID = "rebuildID";

// A region's own copy of a key: "region.v1:" + region path + ":" + key.
std::string scoped(const std::string& region, const std::string& key);

// Flags are "1" and "0".
inline const char* flag(bool value) {
    return value ? "1" : "0";
}

// "roots": the standardised paths, sorted ascending, joined by line feeds.
std::string encodeRoots(const std::vector<std::string>& roots);
std::vector<std::string> decodeRoots(const std::optional<std::string>& text);

// Lists of paths are JSON arrays of text. Paths are bytes on Linux and JSON holds only
// Unicode text, so each path is written through escapedUTF8 (Unicode.h): valid UTF-8 as it is,
// any other byte as one private-use code point of U+10FF80 to U+10FFFF, which reads back to
// the exact bytes.

// "excludedPaths": the paths as given, sorted ascending.
std::string encodeExclusions(std::vector<std::string> paths);

// The paths in the order given ("inaccessiblePaths").
std::string encodePathList(const std::vector<std::string>& paths);
// Absent when `text` is not such an array.
std::optional<std::vector<std::string>> decodePathList(const std::string& text);

// An unsigned decimal identifier or counter; absent when missing or not one.
std::optional<uint64_t> parseUnsigned(const std::optional<std::string>& text);

} // namespace nexdir::IndexMetadata
