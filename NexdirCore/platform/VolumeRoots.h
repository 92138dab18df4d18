#pragma once

#include "MountTable.h"

#include <functional>
#include <string>
#include <vector>

namespace nexdir {

// Which mounted file systems are the computer's internal volumes, the roots of the index.
namespace VolumeRoots {

// The roots to index: $NEXDIR_ROOTS (colon-separated) when set, otherwise the mount table
// (mountTablePath()). "/" first, the others in ascending order.
std::vector<std::string> discover();

// The rule over a mount table: "/" always; otherwise a mount of a local block-device file
// system (or a ZFS dataset) that is not removable or a loop device, not the EFI system
// partition, not under a media or technical location, and not a bind mount of a tree a root
// already shows: its device is a kept root's and its root field is at or under that root's.
// A btrfs subvolume, such as /home beside "/" on one device, is a tree of its own.
std::vector<std::string> fromMounts(const std::vector<MountEntry>& mounts,
                                    const std::function<bool(const MountEntry&)>& isRemovableOrLoop,
                                    const std::vector<std::string>& excludedLocations);

// True when the two lists name different sets of standardised paths.
bool changed(const std::vector<std::string>& a, const std::vector<std::string>& b);

// "/" first, then ascending; duplicates removed; every path standardised.
std::vector<std::string> sorted(const std::vector<std::string>& roots);

} // namespace VolumeRoots

} // namespace nexdir
