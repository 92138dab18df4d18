#pragma once

#include "MountTable.h"

#include <functional>
#include <string>
#include <vector>

namespace nexdir {

// Which mounted file systems are the computer's internal volumes, the roots of the index.
namespace VolumeRoots {

// The roots to index: $NEXDIR_ROOTS (colon-separated) when set, otherwise the mount table.
// "/" first, the others in ascending order.
std::vector<std::string> discover();

// The rule over a mount table: "/" always; otherwise a mount of a whole local block-device
// file system that is not removable or a loop device, not under a media or technical
// location, and not a second mount of a file system that is a root already.
std::vector<std::string> fromMounts(const std::vector<MountEntry>& mounts,
                                    const std::function<bool(const MountEntry&)>& isRemovableOrLoop,
                                    const std::vector<std::string>& excludedLocations);

// True when the two lists name different sets of standardised paths.
bool changed(const std::vector<std::string>& a, const std::vector<std::string>& b);

// "/" first, then ascending; duplicates removed; every path standardised.
std::vector<std::string> sorted(const std::vector<std::string>& roots);

} // namespace VolumeRoots

} // namespace nexdir
