#include "ExclusionRules.h"

#include "DataDirectory.h"
#include "MountTable.h"
#include "Paths.h"
#include "RebuildOwnership.h"
#include "SearchIndex.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace nexdir {

namespace {

const char* const alwaysExcluded[] = {
    ".git",          ".svn",        ".hg",         ".DS_Store", ".localized", "Icon\r",
    "node_modules",  ".next",       ".nuxt",       ".turbo",    ".venv",      "__pycache__",
    ".pytest_cache", ".mypy_cache", ".ruff_cache", ".gradle",   ".dart_tool", ".cache",
    ".nyc_output",   "DerivedData", ".build",      ".swiftpm"};

struct CachePattern {
    const char* inside;
    const char* suffix; // nullptr: the folder itself is indexed, its contents skipped
};

const CachePattern cachePatterns[] = {
    {"/Library/Caches/", "/Library/Caches"}, {"/.npm/_cacache/", "/.npm/_cacache"},
    {"/.pnpm-store/", "/.pnpm-store"},       {"/.yarn/cache/", "/.yarn/cache"},
    {"/.gradle/caches/", "/.gradle/caches"}, {"/.m2/repository/", "/.m2/repository"},
    {"/.cargo/registry/", nullptr},          {"/.cargo/git/", nullptr},
    {"/go/pkg/mod/", "/go/pkg/mod"}};

struct BuildOutput {
    const char* name;
    std::vector<const char*> markers;
    bool markerInside; // looked for inside the item itself rather than beside it
};

// One row per name: the first row named like the item decides. "dist" beside package.json
// is left out on purpose: people keep files of their own there.
const BuildOutput buildOutputs[] = {
    {"coverage", {"package.json", "pyproject.toml", "Cargo.toml"}, false},
    {"Pods", {"Podfile"}, false},
    {"Carthage", {"Cartfile"}, false},
    {"venv", {"pyvenv.cfg"}, true},
    {"target", {"Cargo.toml", "pom.xml"}, false},
    {"vendor", {"Gemfile", "composer.json", "go.mod"}, false},
    {"build", {"CMakeLists.txt", "meson.build", "build.gradle", "build.gradle.kts"}, false},
    {"_build", {"dune-project", "mix.exs"}, false},
    {".stack-work", {"stack.yaml"}, false}};

bool atOrUnderAny(std::string_view path, const std::vector<std::string>& roots) {
    for (const std::string& root : roots) {
        if (isAtOrUnder(path, root)) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> currentMountPoints() {
    std::vector<std::string> points;
    for (const MountEntry& mount : readMountTable()) {
        points.push_back(mount.mountPoint);
    }
    return points;
}

} // namespace

ExclusionRules::ExclusionRules(std::optional<std::string> appDataPath,
                               const std::vector<std::string>& excludedPaths)
    : ExclusionRules(std::move(appDataPath), excludedPaths,
                     ExclusionTables::linuxTables(homeDirectory()), homeDirectory(),
                     currentMountPoints()) {}

ExclusionRules::ExclusionRules(std::optional<std::string> appDataPath,
                               const std::vector<std::string>& excludedPaths,
                               const ExclusionTables& tables, const std::string& home,
                               const std::vector<std::string>& mountPoints)
    : cloudStoragePath_(cloudStoragePathFor(home)), excludedPaths_(standardizedAll(excludedPaths)),
      technicalPaths_(standardizedAll(tables.technicalPaths)),
      fixedLocations_(standardizedAll(tables.fixedLocations)),
      otherVolumes_(standardizedAll(tables.otherVolumes)),
      cacheRoots_(standardizedAll(tables.cacheRoots)),
      eventStreamCandidates_(tables.eventStreamCandidates) {
    if (appDataPath) {
        appDataPath_ = standardizePath(*appDataPath);
    }
    alwaysExcludedNames_.insert(std::begin(alwaysExcluded), std::end(alwaysExcluded));
    for (const std::string& point : mountPoints) {
        std::string standardized = standardizePath(point);
        if (standardized != "/") {
            mountPoints_.insert(standardized);
        }
    }
}

ExclusionRules ExclusionRules::withIndexFiles(const std::string& databasePath) const {
    ExclusionRules rules = *this;
    std::string path = standardizePath(databasePath);
    rules.indexFolder_ = path.substr(0, std::max<size_t>(path.rfind('/'), 1));
    rules.indexName_ = lastPathComponent(path);
    return rules;
}

bool ExclusionRules::isIndexFile(std::string_view item) const {
    size_t slash = item.rfind('/');
    if (indexFolder_.empty() || slash == std::string_view::npos ||
        item.substr(0, std::max<size_t>(slash, 1)) != indexFolder_) {
        return false;
    }
    std::string_view name = item.substr(slash + 1);
    if (name.starts_with(indexName_)) {
        std::string_view suffix = name.substr(indexName_.size());
        if (suffix.empty() || suffix == "-wal" || suffix == "-shm" || suffix == "-journal" ||
            suffix.starts_with(SearchIndex::namesFileSuffix)) {
            return true;
        }
    }
    return name == rebuildLockName || name == applicationLockName ||
           name.starts_with(rebuildFolderPrefix) || name.starts_with("corrupt-index-");
}

bool ExclusionRules::isIndexLocation(std::string_view path) const {
    if (appDataPath_ && isAtOrUnder(path, *appDataPath_)) {
        return true;
    }
    // Below the index's folder, the item of that folder that the path lies in.
    if (indexFolder_.empty() || !isAtOrUnder(path, indexFolder_) || path == indexFolder_) {
        return false;
    }
    size_t start = indexFolder_ == "/" ? 1 : indexFolder_.size() + 1;
    return isIndexFile(path.substr(0, path.find('/', start)));
}

bool ExclusionRules::isExcludedEverywhere(std::string_view name) {
    return std::find(std::begin(alwaysExcluded), std::end(alwaysExcluded), name) !=
           std::end(alwaysExcluded);
}

std::vector<std::string> ExclusionRules::technicalPathsList() {
    return ExclusionTables::linuxTables(homeDirectory()).technicalPaths;
}

bool ExclusionRules::shouldSkip(const std::string& item, const std::string& scanRoot) const {
    return shouldSkipStandardized(standardizePath(item), standardizePath(scanRoot));
}

bool ExclusionRules::shouldSkipStandardized(std::string_view item,
                                            std::string_view scanRoot) const {
    // 1. Cloud storage, whatever the walk's root.
    if (isAtOrUnder(item, cloudStoragePath_)) {
        return true;
    }
    // 2. Technical locations, unless the walk started inside one.
    for (const std::string& technical : technicalPaths_) {
        if (isAtOrUnder(item, technical) && !isAtOrUnder(scanRoot, technical)) {
            return true;
        }
    }
    // 3. The user's own exclusions.
    if (atOrUnderAny(item, excludedPaths_)) {
        return true;
    }
    // 4. The index's own folder, and its own files wherever they are.
    if ((appDataPath_ && isAtOrUnder(item, *appDataPath_)) || isIndexFile(item)) {
        return true;
    }
    // 5. Fixed system locations.
    if (atOrUnderAny(item, fixedLocations_)) {
        return true;
    }
    // 6. Other volumes: the mount area under a walk of "/", and every file system mounted
    //    below the walk's root (a walk never crosses into another one).
    if ((scanRoot == "/" && atOrUnderAny(item, otherVolumes_)) ||
        isUnderNestedMount(item, scanRoot)) {
        return true;
    }
    // 7. Cache roots.
    if (atOrUnderAny(item, cacheRoots_)) {
        return true;
    }
    // 8. Cache patterns anywhere in the path.
    for (const CachePattern& pattern : cachePatterns) {
        if (item.find(pattern.inside) != std::string_view::npos ||
            (pattern.suffix && item.ends_with(pattern.suffix))) {
            return true;
        }
    }
    // 9. Always-excluded names, in any component of the full path.
    std::string_view rest = item;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view component = rest.substr(0, slash);
        if (!component.empty() && isAlwaysExcludedName(component)) {
            return true;
        }
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    // 10. Build output recognised by a marker file.
    return isBuildOutput(item);
}

bool ExclusionRules::shouldSkipChild(std::string_view item, std::string_view scanRoot) const {
    // The folder holding `item` passed every rule, so no rule that tests "at or under" a
    // location can newly hold unless `item` is that location itself, and only the item's own
    // name is a new component. Kept in step with shouldSkipStandardized, step by step; a test
    // compares the two on random trees.
    auto equalsAny = [&](const std::vector<std::string>& paths) {
        return std::any_of(paths.begin(), paths.end(),
                           [&](const std::string& path) { return item == path; });
    };
    if (item == cloudStoragePath_) {
        return true;
    }
    for (const std::string& technical : technicalPaths_) {
        if (item == technical && !isAtOrUnder(scanRoot, technical)) {
            return true;
        }
    }
    if (equalsAny(excludedPaths_) || (appDataPath_ && item == *appDataPath_) || isIndexFile(item) ||
        equalsAny(fixedLocations_)) {
        return true;
    }
    if ((scanRoot == "/" && equalsAny(otherVolumes_)) ||
        (item.size() > scanRoot.size() && mountPoints_.count(std::string(item)))) {
        return true;
    }
    if (equalsAny(cacheRoots_)) {
        return true;
    }
    size_t slash = item.rfind('/');
    for (const CachePattern& pattern : cachePatterns) {
        // A new occurrence ends inside the item's own name.
        size_t length = std::strlen(pattern.inside);
        size_t from = slash + 1 >= length ? slash + 1 - length : 0;
        if (item.find(pattern.inside, from) != std::string_view::npos ||
            (pattern.suffix && item.ends_with(pattern.suffix))) {
            return true;
        }
    }
    if (isAlwaysExcludedName(item.substr(slash + 1))) {
        return true;
    }
    return isBuildOutput(item);
}

bool ExclusionRules::isAlwaysExcludedName(std::string_view name) const {
    // Every listed name is short; longer components cannot match.
    return name.size() <= 13 && alwaysExcludedNames_.count(std::string(name)) > 0;
}

bool ExclusionRules::isUnderNestedMount(std::string_view item, std::string_view scanRoot) const {
    if (mountPoints_.empty()) {
        return false;
    }
    // Each ancestor-or-self of the item that lies strictly under the root may be a mount point.
    for (size_t slash = item.find('/', 1);; slash = item.find('/', slash + 1)) {
        std::string_view prefix = item.substr(0, slash);
        if (prefix.size() > scanRoot.size() && isAtOrUnder(prefix, scanRoot) &&
            mountPoints_.count(std::string(prefix))) {
            return true;
        }
        if (slash == std::string_view::npos) {
            return false;
        }
    }
}

bool ExclusionRules::isBuildOutput(std::string_view item) const {
    std::string_view name = item.substr(item.rfind('/') + 1);
    for (const BuildOutput& output : buildOutputs) {
        if (name != output.name) {
            continue;
        }
        std::string folder(output.markerInside ? item : item.substr(0, item.rfind('/')));
        for (const char* marker : output.markers) {
            if (access((folder + "/" + marker).c_str(), F_OK) == 0) {
                return true;
            }
        }
        return false;
    }
    return false;
}

std::vector<std::string>
ExclusionRules::eventStreamExclusions(const std::string& regionPath,
                                      const std::vector<std::string>& childRegionPaths) const {
    std::vector<std::string> candidates;
    if (appDataPath_) {
        candidates.push_back(*appDataPath_);
    }
    candidates.insert(candidates.end(), eventStreamCandidates_.begin(),
                      eventStreamCandidates_.end());

    std::string region = standardizePath(regionPath);
    std::vector<std::string> children = standardizedAll(childRegionPaths);
    std::vector<std::string> chosen;
    for (const std::string& candidate : candidates) {
        std::string path = standardizePath(candidate);
        if (path == region || !isAtOrUnder(path, region) || atOrUnderAny(path, children)) {
            continue;
        }
        chosen.push_back(path);
    }
    return chosen;
}

} // namespace nexdir
