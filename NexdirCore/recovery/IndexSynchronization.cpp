#include "IndexSynchronization.h"

#include "DebugLog.h"
#include "FSEventWatcher.h"
#include "Format.h"
#include "IndexMetadata.h"
#include "NexdirError.h"
#include "Paths.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace nexdir {

namespace key = IndexMetadata;

namespace {

std::string text(const std::optional<std::string>& value) {
    return value ? *value : "nil";
}

// MustScanSubDirs without RootChanged, Mount or Unmount.
bool isPlainRescan(const FileSystemEvent& event) {
    constexpr uint32_t rescanAndRoots = EventFlags::mustScanSubDirs | EventFlags::rootChanged |
                                        EventFlags::mount | EventFlags::unmount;
    return (event.flags & rescanAndRoots) == EventFlags::mustScanSubDirs;
}

std::string quotedList(const std::vector<std::string>& paths) {
    std::string list = "[";
    for (size_t i = 0; i < paths.size(); ++i) {
        list += (i ? ", \"" : "\"") + paths[i] + "\"";
    }
    return list + "]";
}

} // namespace

IndexSynchronization::IndexSynchronization(SearchIndex& index, FileIndexer& indexer,
                                           std::optional<std::string> region,
                                           std::set<std::string> protectedSubtrees)
    : index_(index), indexer_(indexer), region_(std::move(region)), protectedSubtrees_(std::move(protectedSubtrees)) {}

std::string IndexSynchronization::key(const std::string& name) const {
    return region_ ? key::scoped(*region_, name) : name;
}

std::optional<std::string> IndexSynchronization::metadata(const std::string& name) {
    return index_.metadata(key(name));
}

void IndexSynchronization::setMetadata(const std::string& name, const std::string& value) {
    index_.setMetadata(key(name), value);
}

void IndexSynchronization::setMetadata(const std::map<std::string, std::string>& values) {
    std::map<std::string, std::string> scoped;
    for (const auto& [name, value] : values) {
        scoped[key(name)] = value;
    }
    index_.setMetadata(scoped);
}

void IndexSynchronization::requireRecovery() {
    setMetadata(key::needsRecovery, key::flag(true));
}

uint64_t IndexSynchronization::unsignedValue(const std::string& name) {
    return key::parseUnsigned(metadata(name)).value_or(0);
}

bool IndexSynchronization::rootsMatch(const std::vector<std::string>& roots) {
    return index_.hasCompletedFullScan() && index_.metadata(key::roots) == key::encodeRoots(roots);
}

bool IndexSynchronization::isScopeRoot(const std::string& path,
                                       const std::vector<std::string>& roots) const {
    if (region_) {
        return path == *region_;
    }
    std::string standard = standardizePath(path);
    return std::any_of(roots.begin(), roots.end(),
                       [&](const std::string& root) { return standardizePath(root) == standard; });
}

bool IndexSynchronization::isRootRescan(const FileSystemEvent& event,
                                        const std::vector<std::string>& roots) const {
    if (!isPlainRescan(event)) {
        return false;
    }
    if (region_) {
        return event.path == *region_;
    }
    return !roots.empty() && standardizePath(event.path) == standardizePath(roots.front());
}

std::optional<uint64_t>
IndexSynchronization::resumeEventID(const std::vector<std::string>& roots, uint64_t currentEventID,
                                    const std::optional<std::string>& historyIdentity,
                                    const std::vector<std::string>& excludedPaths) {
    std::optional<std::string> format = index_.metadata(key::indexFormat);
    std::optional<std::string> recovery = metadata(key::needsRecovery);
    std::optional<std::string> saved = metadata(key::eventID);
    std::optional<uint64_t> checkpoint = key::parseUnsigned(saved);
    bool passes = index_.hasCompletedFullScan() && format == key::currentIndexFormat &&
                  index_.metadata(key::excludedPaths) == key::encodeExclusions(excludedPaths) &&
                  recovery != key::flag(true) &&
                  metadata(key::applyInProgress) != key::flag(true) &&
                  index_.metadata(key::roots) == key::encodeRoots(roots) && checkpoint &&
                  *checkpoint <= currentEventID;
    if (!passes) {
        DebugLog::write("resume rejected format=" + text(format) + " recovery=" + text(recovery) +
                        " saved=" + text(saved) + " current=" + std::to_string(currentEventID));
        return std::nullopt;
    }
    if (historyIdentity && metadata(key::historyIdentity) != *historyIdentity) {
        return std::nullopt;
    }
    return checkpoint;
}

std::optional<IndexSynchronization::PendingApply> IndexSynchronization::beginApply(
    const std::vector<FileSystemEvent>& events, const std::vector<std::string>& roots,
    bool recoverDrops, const std::function<uint64_t()>& recoveryBaseline,
    const std::function<void()>& willVerify, const Progress& verificationProgress) {
    // 1. An apply cut short, or a recovery pending: nothing is applied until it is done.
    if (metadata(key::applyInProgress) == key::flag(true)) {
        requireRecovery();
        return std::nullopt;
    }
    if (metadata(key::needsRecovery) == key::flag(true)) {
        return std::nullopt;
    }
    // 2.
    uint64_t saved = unsignedValue(key::eventID);
    uint64_t baseline = unsignedValue(key::scanBaseline);
    bool matching = rootsMatch(roots);

    // 3. Drops the scan baseline covers already.
    std::vector<FileSystemEvent> kept;
    for (const FileSystemEvent& event : events) {
        bool covered =
            matching &&
            (event.isBufferDrop() || (isPlainRescan(event) && isScopeRoot(event.path, roots))) &&
            !event.idsWrapped() && event.id != 0 && event.id <= baseline;
        if (!covered) {
            kept.push_back(event);
            continue;
        }
        if (!loggedCoveredDrop_) {
            loggedCoveredDrop_ = true;
            DebugLog::write("covered historical drop ignored id=" + std::to_string(event.id) +
                            " scanBaseline=" + std::to_string(baseline));
        }
    }

    // 4. Events that demand a scan: the first one decides.
    bool verified = false;
    for (const FileSystemEvent& event : kept) {
        if (!event.isLoss() && !event.requiresFullScan(saved, roots) &&
            !isRootRescan(event, roots)) {
            continue;
        }
        DebugLog::write("event requires scan path=" + event.path +
                        " flags=" + std::to_string(event.flags) +
                        " id=" + std::to_string(event.id) + " checkpoint=" + std::to_string(saved));
        requireRecovery();
        if (!recoverDrops || (!event.isBufferDrop() && !isRootRescan(event, roots))) {
            return std::nullopt; // a root change, a mount or a wrap: more than a verification
        }
        for (const FileSystemEvent& other : kept) {
            bool changesRoots = !other.isBufferDrop() && !isRootRescan(other, roots) &&
                                other.requiresFullScan(saved, roots);
            if (changesRoots || other.idsWrapped()) {
                return std::nullopt;
            }
        }
        if (willVerify) {
            willVerify();
        }
        uint64_t at = recoveryBaseline ? recoveryBaseline() : FSEventWatcher::currentEventID();
        verifyInPlace(roots, at, true, verificationProgress);
        saved = unsignedValue(key::eventID);
        verified = true;
        break;
    }

    // 5.
    if (std::any_of(kept.begin(), kept.end(),
                    [](const FileSystemEvent& event) { return event.isHistoryDone(); })) {
        DebugLog::write("history replay complete checkpoint=" + std::to_string(saved));
    }

    // 6. What is left to apply: changes newer than what the scope is known complete at.
    uint64_t threshold = verified ? saved : matching ? baseline : 0;
    std::vector<FileSystemEvent> applicable;
    for (const FileSystemEvent& event : kept) {
        constexpr uint32_t notices =
            EventFlags::userDropped | EventFlags::kernelDropped | EventFlags::historyDone;
        if ((event.flags & notices) || (verified && isRootRescan(event, roots)) ||
            event.isUnwatchedNotice() || !(event.id == 0 || event.id > threshold)) {
            continue;
        }
        applicable.push_back(event);
    }

    // 7. The scope's own paths, never the index's own files: an index kept in a folder of
    //    the tree changes that folder, whose other contents are the user's.
    std::vector<FileSystemEvent> scoped;
    for (const FileSystemEvent& event : applicable) {
        if (indexer_.rules().isIndexLocation(event.path) ||
            (region_ && !isAtOrUnder(event.path, *region_))) {
            continue;
        }
        scoped.push_back(event);
    }

    // 8. The plan.
    PendingApply plan;
    std::map<std::string, bool> onlyOwnMetadata;
    for (const FileSystemEvent& event : scoped) {
        auto [at, inserted] = onlyOwnMetadata.emplace(event.path, true);
        at->second = at->second && event.isDirectoryMetadataOnly();
    }
    std::set<std::string> renameParents;
    for (const FileSystemEvent& event : scoped) {
        if (!event.isRename()) {
            continue;
        }
        std::string parent = parentPath(standardizePath(event.path));
        if (!region_ || isAtOrUnder(parent, *region_)) {
            renameParents.insert(parent);
        }
    }
    for (const auto& [path, metadataOnly] : onlyOwnMetadata) {
        if (metadataOnly && !renameParents.count(path)) {
            plan.metadataOnly.insert(path);
        }
    }
    std::vector<std::string> rescans;
    for (const FileSystemEvent& event : scoped) {
        if (event.mustScanSubdirectories()) {
            rescans.push_back(event.path);
        }
    }
    // A folder listed as unreadable is watched by nobody: a change of its mode shows only in
    // the folder that holds it (or in its own metadata). Readable again, it is walked whole.
    std::vector<std::string> unreadable = indexer_.inaccessiblePaths();
    if (!unreadable.empty()) {
        std::set<std::string> changed;
        for (const FileSystemEvent& event : scoped) {
            changed.insert(standardizePath(event.path));
        }
        for (const std::string& path : unreadable) {
            if ((changed.count(path) || changed.count(parentPath(path))) &&
                (!region_ || isAtOrUnder(path, *region_)) && FileIndexer::isReadable(path)) {
                rescans.push_back(path);
            }
        }
    }
    std::stable_sort(
        rescans.begin(), rescans.end(),
        [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
    std::vector<std::string> recursive;
    for (const std::string& path : rescans) {
        if (std::none_of(recursive.begin(), recursive.end(),
                         [&](const std::string& kept) { return isAtOrUnder(path, kept); })) {
            recursive.push_back(path);
        }
    }
    std::set<std::string> direct(renameParents);
    for (const FileSystemEvent& event : scoped) {
        direct.insert(event.path);
    }
    plan.directPaths.emplace();
    for (const std::string& path : direct) {
        if (std::none_of(recursive.begin(), recursive.end(),
                         [&](const std::string& walked) { return isAtOrUnder(path, walked); })) {
            plan.directPaths->push_back(path);
        }
    }
    plan.recursivePaths.assign(recursive.rbegin(), recursive.rend());
    plan.cursor = saved;
    for (const FileSystemEvent& event : applicable) {
        plan.cursor = std::max(plan.cursor, event.id);
    }
    plan.advancesCursor = !applicable.empty();
    return plan;
}

bool IndexSynchronization::stepApply(PendingApply& pending, const std::vector<std::string>& roots,
                                     int maximumDirectories) {
    if (pending.complete) {
        return true;
    }
    try {
        if (!pending.started) {
            if (pending.advancesCursor) {
                setMetadata(key::applyInProgress, key::flag(true));
            }
            pending.started = true;
        }
        if (!pending.walk) {
            if (!pending.recursivePaths.empty()) {
                std::string path = pending.recursivePaths.back();
                pending.recursivePaths.pop_back();
                pending.walk = indexer_.beginSubtreeWalk(path, protectedSubtrees_);
            } else if (pending.directPaths) {
                std::vector<std::string> paths = std::move(*pending.directPaths);
                pending.directPaths.reset();
                pending.walk =
                    indexer_.beginReconcileWalk(paths, pending.metadataOnly, protectedSubtrees_);
            }
        }
        if (pending.walk && indexer_.stepSubtreeWalk(*pending.walk, roots, maximumDirectories)) {
            pending.walk.reset();
        }
        if (!pending.walk && pending.recursivePaths.empty() && !pending.directPaths) {
            if (pending.advancesCursor) {
                setMetadata({{key::eventID, std::to_string(pending.cursor)},
                             {key::applyInProgress, key::flag(false)}});
            }
            pending.complete = true;
            return true;
        }
        return false;
    } catch (...) {
        requireRecovery(); // its own failure is thrown instead
        throw;
    }
}

bool IndexSynchronization::apply(const std::vector<FileSystemEvent>& events,
                                 const std::vector<std::string>& roots, bool recoverDrops,
                                 const std::function<uint64_t()>& recoveryBaseline,
                                 const std::function<void()>& willVerify,
                                 const Progress& verificationProgress) {
    std::optional<PendingApply> pending =
        beginApply(events, roots, recoverDrops, recoveryBaseline, willVerify, verificationProgress);
    if (!pending) {
        return false;
    }
    while (!stepApply(*pending, roots, stepDirectories)) {
    }
    return true;
}

// ---- Verification ----

void IndexSynchronization::verifyInPlace(const std::vector<std::string>& roots, uint64_t baseline,
                                         bool automatic, const Progress& progress,
                                         const std::function<void()>& didVerifyRoot) {
    int64_t attempts = int64_t(unsignedValue(key::automaticVerificationAttempts));
    if (automatic &&
        (attempts >= automaticBudget || metadata(key::verificationBlocked) == key::flag(true))) {
        setMetadata(
            {{key::needsRecovery, key::flag(true)}, {key::verificationBlocked, key::flag(true)}});
        throw NexdirError::sqlite("Repeated event loss; automatic verification limit reached");
    }
    if (index_.metadata(key::roots) != key::encodeRoots(roots)) {
        throw NexdirError::sqlite("Index roots changed; a full rebuild is required");
    }
    std::string identity = FSEventWatcher::historyIdentity(roots);
    if (auto stored = key::parseUnsigned(metadata(key::eventID)); stored && *stored > baseline) {
        DebugLog::write("verification establishes new event history baseline=" +
                        std::to_string(baseline));
    }
    setMetadata(
        {{key::needsRecovery, key::flag(true)},
         {key::verificationInProgress, key::flag(true)},
         {key::automaticVerificationAttempts, automatic ? std::to_string(attempts + 1) : "0"}});
    std::vector<std::string> standard = standardizedAll(roots);
    DebugLog::write("verification begin baseline=" + std::to_string(baseline) +
                    " roots=" + quotedList(standard));
    for (const std::string& root : standard) {
        indexer_.reconcileSubtree(root, roots, progress);
        if (didVerifyRoot) {
            didVerifyRoot();
        }
    }
    if (FSEventWatcher::historyIdentity(roots) != identity) {
        throw NexdirError::sqlite("Volume history changed during verification");
    }
    setMetadata({{key::scanBaseline, std::to_string(baseline)},
                 {key::eventID, std::to_string(baseline)},
                 {key::historyIdentity, identity},
                 {key::needsRecovery, key::flag(false)},
                 {key::verificationInProgress, key::flag(false)},
                 {key::verificationBlocked, key::flag(false)},
                 {key::applyInProgress, key::flag(false)}});
    DebugLog::write("verification completed baseline=" + std::to_string(baseline) +
                    "; queued events still require catch-up");
}

FileIndexer::SubtreeWalk IndexSynchronization::beginRegionalVerification(uint64_t,
                                                                         Verification kind) {
    if (!region_) {
        throw NexdirError::sqlite("Missing recovery region");
    }
    int64_t attempts = int64_t(unsignedValue(key::automaticVerificationAttempts));
    if (kind == Verification::automatic &&
        (attempts >= automaticBudget || metadata(key::verificationBlocked) == key::flag(true))) {
        throw RecoveryDeferred();
    }
    std::map<std::string, std::string> state = {{key::needsRecovery, key::flag(true)},
                                                {key::verificationInProgress, key::flag(true)},
                                                {key::verificationBlocked, key::flag(false)}};
    if (kind == Verification::manual) {
        state[key::automaticVerificationAttempts] = "1";
    } else if (kind == Verification::automatic) {
        state[key::automaticVerificationAttempts] = std::to_string(attempts + 1);
    }
    setMetadata(state);
    return indexer_.beginSubtreeWalk(*region_, protectedSubtrees_);
}

bool IndexSynchronization::stepRegionalVerification(FileIndexer::SubtreeWalk& walk,
                                                    const std::vector<std::string>& roots,
                                                    uint64_t baseline,
                                                    const std::function<void()>& validateHistory) {
    if (!indexer_.stepSubtreeWalk(walk, roots, stepDirectories)) {
        return false;
    }
    if (validateHistory) {
        validateHistory();
    }
    setMetadata({{key::scanBaseline, std::to_string(baseline)},
                 {key::eventID, std::to_string(baseline)},
                 {key::needsRecovery, key::flag(false)},
                 {key::verificationInProgress, key::flag(false)},
                 {key::verificationBlocked, key::flag(false)},
                 {key::applyInProgress, key::flag(false)}});
    return true;
}

std::optional<double> IndexSynchronization::retryDate(double now,
                                                      const std::vector<double>& delays) {
    if (std::optional<std::string> pending = metadata(key::retryAfter)) {
        char* end = nullptr;
        double at = std::strtod(pending->c_str(), &end);
        if (end != pending->c_str() && *end == '\0' && std::isfinite(at) && at > 0) {
            return at; // stable across calls and restarts
        }
    }
    uint64_t count = unsignedValue(key::delayedRetryCount);
    if (count >= delays.size()) {
        return std::nullopt;
    }
    double at = now + delays[count];
    setMetadata(key::retryAfter, shortestDecimal(at));
    return at;
}

void IndexSynchronization::consumeRetry() {
    setMetadata(
        {{key::delayedRetryCount, std::to_string(unsignedValue(key::delayedRetryCount) + 1)},
         {key::retryAfter, "0"}});
}

void IndexSynchronization::seedRegion(uint64_t startEventID, bool planExisted) {
    bool recovering = planExisted || index_.metadata(key::needsRecovery) == key::flag(true);
    setMetadata({{key::eventID, std::to_string(startEventID)},
                 {key::scanBaseline, index_.metadata(key::scanBaseline).value_or("0")},
                 {key::needsRecovery, key::flag(recovering)},
                 {key::automaticVerificationAttempts, "0"},
                 {key::verificationBlocked, key::flag(false)},
                 {key::automaticRetryAllowed, key::flag(true)},
                 {key::delayedRetryCount, "0"},
                 {key::retryAfter, "0"}});
}

} // namespace nexdir
