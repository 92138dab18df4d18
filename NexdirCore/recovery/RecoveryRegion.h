#pragma once

#include "FileSystemEvent.h"

#include <cstddef>
#include <set>
#include <string>
#include <vector>

namespace nexdir {

// A region of the tree that follows the disk on its own: its own event stream, checkpoint
// and recovery state, so that events lost in one region cost a verification of that region
// alone. Its children are the nearest nested regions; their subtrees are theirs, not its.
struct RecoveryRegion {
    std::string path;
    std::vector<std::string> children; // sorted ascending

    bool operator==(const RecoveryRegion&) const = default;

    // A region's stream excludes its children, and a stream takes at most 8 exclusions.
    static constexpr size_t maximumChildren = 8;

    // The regions of the indexed `roots`: each root, and those of the usual large folders
    // (the system's, the home folder and its own) that lie inside a root, exist as folders
    // and are no symbolic link; in ascending path order, each with its nearest nested regions
    // as children.
    static std::vector<RecoveryRegion> plan(const std::vector<std::string>& roots,
                                            const std::string& home);

    // The candidates `plan` tries, in its order.
    static std::vector<std::string> candidates(const std::string& home);

    // The text that names a plan: two plans are the same exactly when their texts are. The
    // regions as JSON with sorted keys, then the volume history identity, then the stored
    // exclusions text, with nothing between them.
    static std::string configuration(const std::vector<RecoveryRegion>& regions,
                                     const std::string& identity, const std::string& exclusions);

    // What a manual "Verify Index" verifies: the regions that need it, or all when none does.
    static std::set<std::string> manualVerificationTargets(const std::set<std::string>& all,
                                                           const std::set<std::string>& incomplete);

    // `event` in this region's terms: a drop anywhere, or a rescan of the region or of a
    // folder above it, becomes one for the region's own path.
    FileSystemEvent scoped(const FileSystemEvent& event) const;

    // True when `path` is `root` or lies below it; every absolute path lies below "/".
    static bool contains(const std::string& root, const std::string& path);

    // `path` in the spelling of `root` across the private aliases /var, /tmp and /etc
    // (each also reachable under /private); otherwise unchanged.
    static std::string eventPath(const std::string& path, const std::string& root);
};

} // namespace nexdir
