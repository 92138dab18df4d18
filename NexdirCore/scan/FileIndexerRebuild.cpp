// The full rebuild: a complete new index built beside the live one and installed in one step.

#include "FileIndexer.h"

#include "Clock.h"
#include "DebugLog.h"
#include "Format.h"
#include "IndexMetadata.h"
#include "NexdirError.h"
#include "Paths.h"
#include "RebuildOwnership.h"
#include "UUID.h"
#include "VolumeIdentity.h"
#include "VolumeRoots.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

namespace nexdir {

namespace {

namespace fs = std::filesystem;

// Removes a folder and everything in it when it goes out of scope, whatever happened.
struct FolderRemoval {
    std::string path;
    ~FolderRemoval() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

// True when "owner.pid" in `folder` names a process that is running.
bool ownerIsRunning(const std::string& folder) {
    std::ifstream file(folder + "/owner.pid");
    std::string text;
    if (!(file >> text)) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long pid = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || pid <= 0 || pid > INT32_MAX) {
        return false;
    }
    return kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// Seconds to the millisecond, for the log.
std::string secondsText(double seconds) {
    return shortestDecimal(std::round(seconds * 1000) / 1000);
}

} // namespace

std::vector<std::string> FileIndexer::discoverInternalRoots() {
    return VolumeRoots::discover();
}

std::vector<std::string> FileIndexer::walkRoots(const std::vector<std::string>& given) const {
    std::vector<std::string> resolved;
    for (const std::string& root : given) {
        std::string path = standardizePath(root);
        struct stat link {};
        struct stat target {};
        char real[PATH_MAX];
        if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
            stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode) &&
            realpath(path.c_str(), real)) {
            path =
                real; // a walk never follows links, so a root that is one is walked as its folder
        }
        resolved.push_back(std::move(path));
    }
    // Does the walk of `outer` reach `inner`? Only through folders it keeps and may enter.
    auto reaches = [&](const std::string& outer, const std::string& inner) {
        for (size_t slash = outer.size() == 1 ? 0 : outer.size(); slash != std::string::npos;) {
            slash = inner.find('/', slash + 1);
            std::string step = inner.substr(0, slash);
            struct stat info {};
            if (rules_.shouldSkip(step, outer) || lstat(step.c_str(), &info) != 0 ||
                (step != inner && !S_ISDIR(info.st_mode))) {
                return false;
            }
        }
        return true;
    };
    std::vector<std::string> walked;
    for (const std::string& root : VolumeRoots::sorted(resolved)) {
        bool reached = false;
        for (const std::string& outer : walked) {
            reached = reached || (isAtOrUnder(root, outer) && reaches(outer, root));
        }
        if (!reached) {
            walked.push_back(root);
        }
    }
    return walked;
}

bool FileIndexer::rootsChanged(const std::vector<std::string>& a,
                               const std::vector<std::string>& b) {
    return VolumeRoots::changed(a, b);
}

std::string FileIndexer::indexFolder() const {
    std::string folder = fs::path(index_.databasePath()).parent_path().string();
    return folder.empty() ? standardizePath(".") : standardizePath(folder);
}

void FileIndexer::removeAbandonedRebuilds(const std::string& folder) {
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    if (error) {
        throw FileSystemError("Could not list " + folder + ": " + error.message(), error.value());
    }
    for (const auto& entry : entries) {
        std::string name = entry.path().filename().string();
        if (!name.starts_with(rebuildFolderPrefix) ||
            !isUUIDString(name.substr(std::string(rebuildFolderPrefix).size()))) {
            continue;
        }
        struct stat info {};
        std::string path = entry.path().string();
        if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || ownerIsRunning(path)) {
            continue;
        }
        fs::remove_all(path, error);
        if (error) {
            throw FileSystemError("Could not remove " + path + ": " + error.message(),
                                  error.value());
        }
    }
}

void FileIndexer::cleanupAbandonedRebuilds() {
    std::string folder = indexFolder();
    RebuildOwnership lock(folder, rebuildLockName);
    removeAbandonedRebuilds(folder);
}

IndexSummary FileIndexer::scanAll(const std::optional<std::vector<std::string>>& givenRoots,
                                  std::optional<uint64_t> eventID,
                                  const std::optional<std::string>& historyIdentity,
                                  const IndexProgressHandler& progress) {
    std::string folder = indexFolder();
    RebuildOwnership lock(folder, rebuildLockName);
    removeAbandonedRebuilds(folder);

    // Twice the index plus 128 MiB, at least 256 MiB: room for the copy being built.
    int64_t required =
        std::max<int64_t>(2 * index_.statistics().indexBytes + 134'217'728, 268'435'456);
    std::optional<int64_t> available =
        availableCapacity_ ? availableCapacity_(folder) : availableCapacity(folder);
    if (available && *available < required) {
        throw IndexCapacityError(required, *available);
    }

    FolderRemoval rebuildFolder{folder + "/" + rebuildFolderPrefix + makeUUIDString()};
    auto rebuilt = std::make_unique<SearchIndex>(rebuildFolder.path + "/index.sqlite3");
    rebuilt->discardWhenClosed();
    std::vector<std::string> roots = walkRoots(givenRoots ? *givenRoots : discoverInternalRoots());
    IndexSummary summary;
    ScanPhases phases;
    {
        FileIndexer builder(*rebuilt, appDataPath_, excludedPaths_, batchSize_, workerCount_);
        builder.rules_ = rules_;
        builder.registrar_ = registrar_;
        builder.isPowerSaving_ = isPowerSaving_;
        summary = builder.scanInPlace(roots, progress);
        phases = builder.lastScanPhases_;
    }
    double installStarted = uptimeSeconds();

    namespace key = IndexMetadata;
    std::map<std::string, std::string> metadata = {
        {key::indexFormat, key::currentIndexFormat},
        {key::excludedPaths, IndexMetadata::encodeExclusions(excludedPaths_)},
        {key::scanErrors, std::to_string(summary.errors)},
        {key::inaccessiblePaths, IndexMetadata::encodePathList(summary.inaccessiblePaths)},
        {key::roots, IndexMetadata::encodeRoots(roots)},
        {key::needsRecovery, key::flag(false)},
    };
    if (auto attempt = index_.metadata(key::maintenanceAttempt)) {
        metadata[key::maintenanceAttempt] = *attempt;
    }
    rebuilt->setMetadata(metadata);
    if (eventID) {
        rebuilt->setMetadata({{key::eventID, std::to_string(*eventID)},
                              {key::scanBaseline, std::to_string(*eventID)}});
    }
    if (historyIdentity) {
        if (volumeHistoryIdentity(roots) != *historyIdentity) {
            throw NexdirError::sqlite("Volume history changed during scan; retrying is required");
        }
        rebuilt->setMetadata(key::historyIdentity, *historyIdentity);
    }
    // An install can report an error after its last page is in place (a full disk while
    // SQLite grows the shared memory at the commit): whether the rebuild is live decides
    // what really happened.
    std::string rebuildID = makeUUIDString();
    rebuilt->setMetadata(key::rebuildID, rebuildID);
    try {
        install_ ? install_(*rebuilt) : index_.replaceContents(*rebuilt);
    } catch (const std::exception& error) {
        bool installed = false;
        try {
            installed = index_.metadata(key::rebuildID) == rebuildID;
        } catch (const std::exception&) {
        }
        if (!installed) {
            throw;
        }
        DebugLog::write(std::string("scan install reported an error but is in place error=") +
                        error.what());
    }
    // The install wrote every page through the WAL, which would keep a second copy of the
    // index on disk for as long as the engine runs.
    index_.releaseWALSpace();
    phases.install = uptimeSeconds() - installStarted;
    lastScanPhases_ = phases;
    DebugLog::write("scan phases walk=" + secondsText(phases.walk) +
                    " indexes=" + secondsText(phases.indexes) +
                    " install=" + secondsText(phases.install));
    return summary;
}

IndexSummary FileIndexer::scanInPlace(const std::vector<std::string>& roots,
                                      const IndexProgressHandler& progress) {
    double started = uptimeSeconds();
    auto report = [&](const IndexProgress& value) {
        if (progress) {
            progress(value);
        }
    };
    report({IndexProgress::Phase::discovering, 0, 0, 0, ""});
    index_.resetForFullScan();
    IndexSummary summary;
    for (const std::string& rawRoot : roots) {
        std::string root = standardizePath(rawRoot);
        ScanTotals walk =
            scan(root, root, 0,
                 [&](int64_t scanned, int64_t indexed, int64_t errors, const std::string& path) {
                     report({IndexProgress::Phase::scanning, summary.scanned + scanned,
                             summary.indexed + indexed, summary.errors + errors, path});
                 });
        summary.scanned += walk.scanned;
        summary.indexed += walk.indexed;
        summary.errors += walk.errors;
        summary.inaccessiblePaths.insert(summary.inaccessiblePaths.end(),
                                         walk.inaccessiblePaths.begin(),
                                         walk.inaccessiblePaths.end());
    }
    double walked = uptimeSeconds();
    index_.finishBulkLoad();
    index_.markFullScanCompleted();
    lastScanPhases_ = {walked - started, uptimeSeconds() - walked, 0};
    report({IndexProgress::Phase::finished, summary.scanned, summary.indexed, summary.errors, ""});
    summary.duration = uptimeSeconds() - started;
    return summary;
}

void FileIndexer::applyTechnicalExclusions() {
    std::vector<std::string> roots =
        IndexMetadata::decodeRoots(index_.metadata(IndexMetadata::roots));
    for (const std::string& technical : ExclusionRules::technicalPathsList()) {
        if (const std::string* root = longestRootAbove(technical, roots)) {
            index_.removeRecursively(technical, *root);
        }
    }
    recordInaccessible({}, true);
}

void FileIndexer::recordInaccessible(const std::vector<std::string>& paths, bool pruneExcluded) {
    // Reconcile workers record side by side; the list is read, merged and written whole.
    std::lock_guard guard(inaccessibleLock_);
    // An unreadable list is rebuilt from what is known now.
    std::vector<std::string> existing =
        IndexMetadata::decodePathList(
            index_.metadata(IndexMetadata::inaccessiblePaths).value_or("[]"))
            .value_or(std::vector<std::string>{});
    std::vector<std::string> roots =
        IndexMetadata::decodeRoots(index_.metadata(IndexMetadata::roots));
    // A path is kept when the rules keep it in a walk of the longest stored root above it.
    auto keep = [&](const std::string& path) {
        const std::string* root = longestRootAbove(path, roots);
        return !rules_.shouldSkip(path, root ? *root : "/");
    };
    std::set<std::string> merged;
    for (const auto& path : existing) {
        if (!pruneExcluded || keep(path)) {
            merged.insert(path);
        }
    }
    for (const auto& path : paths) {
        if (keep(path)) {
            merged.insert(path);
        }
    }
    // An index written before the count followed the list may disagree with it: put right.
    if (merged == std::set<std::string>(existing.begin(), existing.end()) &&
        index_.metadata(IndexMetadata::scanErrors).value_or("0") == std::to_string(merged.size())) {
        return;
    }
    storeInaccessible(std::vector<std::string>(merged.begin(), merged.end()));
}

} // namespace nexdir
