#pragma once

#include <string>
#include <vector>

namespace nexdir {

// The location tables of the exclusion rules, one set per platform. The algorithm that reads
// them is the same everywhere; the tables say where a platform keeps its system data, caches
// and other volumes.
struct ExclusionTables {
    // Built-in technical locations, raw (not standardised): skipped by every walk that does
    // not start inside them. The first entry is the cloud-storage folder.
    std::vector<std::string> technicalPaths;
    // Skipped whatever the walk's root.
    std::vector<std::string> fixedLocations;
    // Other volumes' mount area, skipped only by a walk rooted at "/".
    std::vector<std::string> otherVolumes;
    // Cache roots, skipped with everything under them.
    std::vector<std::string> cacheRoots;
    // Candidates for a recovery region's event-stream exclusions, after the application data
    // directory, in order.
    std::vector<std::string> eventStreamCandidates;

    // What this product ships: the Linux tables.
    static ExclusionTables linuxTables(const std::string& home);
};

// Where other volumes are mounted on this platform: a root of "/" does not cover them.
std::vector<std::string> otherVolumeAreas();

// home + "/Library/CloudStorage": where a managed cloud-storage client keeps its folders.
// Linux has none (cloud clients mount through FUSE, which the nested-mount rule skips); the
// rule stays and simply matches nothing here.
std::string cloudStoragePathFor(const std::string& home);

} // namespace nexdir
