#pragma once

#include <string>
#include <vector>

namespace nexdir {

// Which file systems hold the given roots: one line per root, path + ":" + the file system's
// UUID (from /dev/disk/by-uuid, or its statfs id in hex when it has none), sorted and joined by
// line feeds. Changes when a root's file system is replaced, not at every launch, so a stored
// event position is trusted only while it is unchanged. Throws "Could not identify volume "
// + path when a root cannot be read.
std::string volumeHistoryIdentity(const std::vector<std::string>& roots);

} // namespace nexdir
