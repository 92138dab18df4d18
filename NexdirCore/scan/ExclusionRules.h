#pragma once

#include "ExclusionTables.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace nexdir {

// Decides whether an item met during a walk is left out of the index: not written, not
// entered, not counted as an error and never recorded as inaccessible.
//
// A plain value, immutable once built: every scanner worker reads it without locking. Only
// the build-output test touches the disk, and only for items named like a build folder.
class ExclusionRules {
public:
    // The product's rules: this platform's tables, the home folder of the moment, and the
    // mount points of the mount table (mountTablePath()) read once now.
    ExclusionRules(std::optional<std::string> appDataPath,
                   const std::vector<std::string>& excludedPaths);

    // Rules over given tables and mount points, for tests.
    ExclusionRules(std::optional<std::string> appDataPath,
                   const std::vector<std::string>& excludedPaths, const ExclusionTables& tables,
                   const std::string& home, const std::vector<std::string>& mountPoints);

    // True when `item`, met during a walk whose scan root is `scanRoot`, is left out. Both
    // are standardised first. Never fails.
    bool shouldSkip(const std::string& item, const std::string& scanRoot) const;

    // Also leaves out the files of the index at `databasePath` wherever it lies: the database,
    // its companions and locks, and its rebuild and set-aside folders. An index kept outside
    // the data directory (the command line's --db) is never indexed either.
    ExclusionRules withIndexFiles(const std::string& databasePath) const;

    // True for the application's data folder and the index's own files (standardised paths),
    // and for whatever lies below them: never indexed, and a change there is none of the
    // user's.
    bool isIndexLocation(std::string_view path) const;

    // The same test for paths that are standardised already.
    bool shouldSkipStandardized(std::string_view item, std::string_view scanRoot) const;

    // The same answer for `item` when its folder is known to be kept in a walk of `scanRoot`
    // (the walkers' hot path): only what the item's own name adds to the path is tested.
    bool shouldSkipChild(std::string_view item, std::string_view scanRoot) const;

    // The exclusion paths for the event stream of a region: the candidates that lie strictly
    // under `regionPath` and at or under none of `childRegionPaths`, in table order.
    std::vector<std::string>
    eventStreamExclusions(const std::string& regionPath,
                          const std::vector<std::string>& childRegionPaths) const;

    // Whether folders of this name are left out wherever they are (".git", "node_modules").
    static bool isExcludedEverywhere(std::string_view name);

    // The built-in technical list, raw.
    static std::vector<std::string> technicalPathsList();

    const std::optional<std::string>& appDataPath() const { return appDataPath_; }
    const std::vector<std::string>& excludedPaths() const { return excludedPaths_; }

private:
    bool isAlwaysExcludedName(std::string_view name) const;
    bool isBuildOutput(std::string_view item) const;
    bool isUnderNestedMount(std::string_view item, std::string_view scanRoot) const;
    bool isIndexFile(std::string_view item) const;

    std::string cloudStoragePath_;
    std::optional<std::string> appDataPath_;
    std::vector<std::string> excludedPaths_;
    std::vector<std::string> technicalPaths_;
    std::vector<std::string> fixedLocations_;
    std::vector<std::string> otherVolumes_;
    std::vector<std::string> cacheRoots_;
    std::vector<std::string> eventStreamCandidates_;
    std::unordered_set<std::string> alwaysExcludedNames_;
    std::unordered_set<std::string> mountPoints_; // standardised; "/" left out
    std::string indexFolder_;                     // empty: no index files to leave out
    std::string indexName_;
};

} // namespace nexdir
