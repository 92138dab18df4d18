#pragma once

// The index, its companions, its locks, the debug log and the folders that hold them list the
// names of the user's files, private ones included: no other account may read them.

#include <optional>
#include <string>

namespace nexdir {

// Creates `folder` and every missing folder above it, each new one open to its owner alone
// (0700). A folder that exists is left as it is: it may be the user's home or a shared tree.
// Throws FileSystemError ("Could not create folder …: reason").
void createPrivateFolders(const std::string& folder);

// Creates `path` as an empty file open to its owner alone (0600), unless something is there.
// A failure is left for the open that follows to report.
void createPrivateFile(const std::string& path);

// Takes every permission of the group and of others away from `path` (a link is followed).
// Answers what changed, for a log line ("PATH 0644 to 0600", or "PATH 0644 unchanged: " and
// the reason); nothing when the path had none of those permissions or does not exist.
std::optional<std::string> restrictToOwner(const std::string& path);

} // namespace nexdir
