#include "RecoveryRegion.h"

#include "EventPaths.h"
#include "Paths.h"
#include "Unicode.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace nexdir {

namespace {

// A real folder: there, a folder, and its path the one its links resolve to (so a link,
// or a folder reached through one, never becomes a region).
bool isRealFolder(const std::string& path) {
    struct stat info {};
    char resolved[PATH_MAX];
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           realpath(path.c_str(), resolved) && path == resolved;
}

// The regions of `paths`, ascending, each with its nearest nested regions as children.
std::vector<RecoveryRegion> regionsOf(const std::set<std::string>& paths) {
    std::vector<RecoveryRegion> regions;
    for (const std::string& path : paths) {
        RecoveryRegion region{path, {}};
        for (const std::string& other : paths) {
            if (other == path || !isAtOrUnder(other, path)) {
                continue;
            }
            // Nearest only: not below another region that is itself below this one.
            bool nested = std::any_of(paths.begin(), paths.end(), [&](const std::string& middle) {
                return middle != path && middle != other && isAtOrUnder(middle, path) &&
                       isAtOrUnder(other, middle);
            });
            if (!nested) {
                region.children.push_back(other);
            }
        }
        regions.push_back(std::move(region));
    }
    return regions;
}

size_t mostChildren(const std::vector<RecoveryRegion>& regions) {
    size_t most = 0;
    for (const RecoveryRegion& region : regions) {
        most = std::max(most, region.children.size());
    }
    return most;
}

} // namespace

std::vector<std::string> RecoveryRegion::candidates(const std::string& rawHome) {
    std::string home = standardizePath(rawHome);
    std::vector<std::string> paths = {"/etc", "/home", "/opt", "/srv", "/usr", "/var", home};
    for (const char* name : {"Desktop", "Documents", "Downloads", "Music", "Pictures", "Videos",
                             ".config", ".local", ".local/share"}) {
        paths.push_back(appendingPathComponent(home, name));
    }
    return paths;
}

std::vector<RecoveryRegion> RecoveryRegion::plan(const std::vector<std::string>& roots,
                                                 const std::string& home) {
    std::set<std::string> paths;
    std::vector<std::string> standardRoots;
    for (const std::string& root : roots) {
        standardRoots.push_back(standardizePath(root));
        paths.insert(standardRoots.back());
    }
    // Roots are regions whatever their number: a walk never crosses from one into another.
    // A candidate is one only while no region then has more children than its stream can
    // exclude; past that it stays part of the region around it, which follows it all the same.
    size_t allowed = std::max(maximumChildren, mostChildren(regionsOf(paths)));
    for (const std::string& candidate : candidates(home)) {
        bool insideARoot =
            std::any_of(standardRoots.begin(), standardRoots.end(),
                        [&](const std::string& root) { return isAtOrUnder(candidate, root); });
        if (!insideARoot || paths.count(candidate) || !isRealFolder(candidate)) {
            continue;
        }
        paths.insert(candidate);
        if (mostChildren(regionsOf(paths)) > allowed) {
            paths.erase(candidate);
        }
    }
    return regionsOf(paths);
}

std::string RecoveryRegion::configuration(const std::vector<RecoveryRegion>& regions,
                                          const std::string& identity,
                                          const std::string& exclusions) {
    nlohmann::json array = nlohmann::json::array();
    for (const RecoveryRegion& region : regions) {
        nlohmann::json children = nlohmann::json::array();
        for (const std::string& child : region.children) {
            children.push_back(escapedUTF8(child));
        }
        array.push_back({{"children", children}, {"path", escapedUTF8(region.path)}});
    }
    return array.dump() + identity + exclusions;
}

std::set<std::string>
RecoveryRegion::manualVerificationTargets(const std::set<std::string>& all,
                                          const std::set<std::string>& incomplete) {
    std::set<std::string> targets;
    std::set_intersection(all.begin(), all.end(), incomplete.begin(), incomplete.end(),
                          std::inserter(targets, targets.end()));
    return targets.empty() ? all : targets;
}

FileSystemEvent RecoveryRegion::scoped(const FileSystemEvent& event) const {
    FileSystemEvent result = event;
    std::string mapped = eventPath(event.path, path);
    if (event.isLoss()) {
        result.path = path;
    } else if (!(event.flags & EventFlags::mustScanSubDirs)) {
        result.path = mapped;
    } else {
        // A rescan of the region or of a folder above it is a rescan of the whole region.
        result.path = isAtOrUnder(path, mapped) ? path : mapped;
    }
    return result;
}

bool RecoveryRegion::contains(const std::string& root, const std::string& path) {
    return isAtOrUnder(path, root);
}

std::string RecoveryRegion::eventPath(const std::string& path, const std::string& root) {
    return eventPathIn(path, root);
}

} // namespace nexdir
