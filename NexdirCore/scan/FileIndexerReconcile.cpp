// Reconcile: single paths and subtrees brought back in line with the disk, writing only what
// differs; the resumable walks built on it; access recovery.

#include "FileIndexer.h"

#include "Clock.h"
#include "DebugLog.h"
#include "DiagnosticTiming.h"
#include "DirectoryWalk.h"
#include "IndexMetadata.h"
#include "NexdirError.h"
#include "Paths.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <unordered_map>

namespace nexdir {

namespace {

// A step yields the indexing queue after this long, whatever its folder count. Each step's
// commit writes again every page it changed, scattered over four indexes: steps of a tenth
// of a second made catching up with 20,000 changes take a fifth longer.
constexpr double stepSeconds = 0.3;

// Whether the sorted `paths` hold `path` or a path under it.
template <class Paths>
bool holdsAtOrUnder(const Paths& paths, const typename Paths::key_type& path) {
    if (path == "/") {
        return !paths.empty(); // "/" + "/" begins none of the paths under it
    }
    if (paths.count(path)) {
        return true;
    }
    // Every path under `path` sorts from `path/` on, before any path that does not begin so.
    std::string from = std::string(path) + "/";
    auto below = paths.lower_bound(typename Paths::key_type(from));
    return below != paths.end() && isAtOrUnder(*below, path);
}

// Whether no protected subtree lies at or under `path`.
bool protectsNothingAt(const std::set<std::string>* protectedSubtrees, const std::string& path) {
    return !protectedSubtrees || !holdsAtOrUnder(*protectedSubtrees, path);
}
// The positions k of up to `maximum` of the `available` paths at(0), at(1)…, in that order,
// none inside or around another: workers reconciling both would write one folder. A path
// inside or around one taken or passed over waits for a later step, which keeps a folder
// ahead of anything inside it; the paths after it go on being taken. Stopping at the first
// such path instead cut the steps of a catch-up to a hundred folders each, and each step's
// commit writes again every page it changed.
template <class At>
std::vector<size_t> takeApart(size_t available, At at, int maximum) {
    std::vector<size_t> taken;
    std::set<std::string_view> held; // taken or passed over; at(k) outlives the call
    auto meetsHeld = [&](std::string_view path) {
        // Each folder above the path, then the path and what lies under it.
        for (std::string_view above = path; above != "/";) {
            size_t slash = above.rfind('/');
            if (slash == std::string_view::npos) {
                break;
            }
            above = above.substr(0, std::max<size_t>(slash, 1));
            if (held.count(above)) {
                return true;
            }
        }
        return holdsAtOrUnder(held, path);
    };
    for (size_t k = 0; k < available && int(taken.size()) < maximum; ++k) {
        const std::string& next = at(k);
        if (!meetsHeld(next)) {
            taken.push_back(k);
        }
        held.insert(next);
    }
    return taken;
}

// Whether a walk goes on into `folder`, found below one of its paths.
bool walksInto(const FileIndexer::SubtreeWalk& walk, const std::string& folder) {
    return isAtOrUnder(folder, walk.path) || isAtOrUnder(walk.path, folder);
}

// Lists folders on a thread of its own until asked to finish. A listing made a moment before
// a step takes it is as good as one made then: whatever changes after it is an event of its
// own, reconciled later.
class ListingAhead {
public:
    ListingAhead(std::vector<std::string> paths, const std::vector<std::string>& roots,
                 const ExclusionRules& rules, DirectoryRegistrar* registrar)
        : thread_([this, paths = std::move(paths), roots = standardizedAll(roots), &rules,
                   registrar] {
              for (const std::string& path : paths) {
                  if (stop_) {
                      return;
                  }
                  const std::string* root = longestRootAbove(path, roots);
                  if (!root || rules.shouldSkipStandardized(path, *root)) {
                      continue;
                  }
                  try {
                      WalkedFolder listing(path, *root, rules, registrar, true);
                      if (listing.ok()) { // a failure is met again, and dealt with, by the step
                          listed_->emplace(path, std::move(listing));
                      }
                  } catch (const std::exception&) {
                      return; // the step lists the rest itself, and meets whatever this was
                  }
              }
          }) {}
    ListingAhead(const ListingAhead&) = delete;
    ListingAhead& operator=(const ListingAhead&) = delete;
    ~ListingAhead() { finish(); }

    // What was listed so far; the rest is left to the step.
    std::shared_ptr<const std::map<std::string, WalkedFolder>> finish() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        return listed_;
    }

private:
    std::atomic<bool> stop_{false};
    std::shared_ptr<std::map<std::string, WalkedFolder>> listed_ =
        std::make_shared<std::map<std::string, WalkedFolder>>();
    std::thread thread_; // last: it starts once the rest is in place
};

// Slow-operation phases of a reconcile.
constexpr int phaseRead = 1;
constexpr int phaseFailedRead = 2;
constexpr int phaseListing = 3;

bool sameRow(const IndexedEntry& stored, const FileRecord& record) {
    return stored.name == record.name && stored.isDirectory == record.isDirectory &&
           stored.modifiedAt == record.modifiedAt && stored.size == record.size &&
           stored.allocatedSize == record.allocatedSize && stored.isDataless == record.isDataless;
}

// The same test before any record is built (building one normalises its name): the stored
// row of the same name holds what `values` would write.
bool matches(const IndexedEntry& stored, const ItemValues& values) {
    return stored.isDirectory == values.isDirectory && stored.modifiedAt == values.modifiedAt &&
           stored.size == FileIndexer::recordedSize(values) &&
           stored.allocatedSize == FileIndexer::allocatedSizeOf(values) && !stored.isDataless;
}

FileSystemError readFailure(const char* what, const std::string& path, int errorCode) {
    return FileSystemError(std::string(what) + " " + path + ": " + std::strerror(errorCode),
                           errorCode);
}

// The errno of a file-system failure; 0 for any other (SQLite's codes are not errno values).
int systemErrorCode(const std::exception& error) {
    auto* fileSystem = dynamic_cast<const FileSystemError*>(&error);
    return fileSystem ? fileSystem->errorCode() : 0;
}

} // namespace

FileIndexer::ReconcileTotals FileIndexer::reconcileTotals() const {
    return {reconcileTotals_.reconciled, reconcileTotals_.added, reconcileTotals_.removed,
            reconcileTotals_.updated, reconcileTotals_.errors};
}

void FileIndexer::resetReconcileTotals() {
    for (auto* total :
         {&reconcileTotals_.reconciled, &reconcileTotals_.added, &reconcileTotals_.removed,
          &reconcileTotals_.updated, &reconcileTotals_.errors}) {
        *total = 0;
    }
}

bool FileIndexer::isPermissionError(const std::exception& error) {
    return nexdir::isPermissionError(systemErrorCode(error));
}

bool FileIndexer::isUnavailableError(const std::exception& error) {
    return nexdir::isUnavailableError(systemErrorCode(error));
}

void FileIndexer::reconcile(const std::vector<std::string>& paths,
                            const std::optional<std::vector<std::string>>& roots,
                            const std::set<std::string>& metadataOnlyPaths,
                            const std::set<std::string>& protectedSubtrees) {
    ReconcileRequest request;
    request.metadataOnly = &metadataOnlyPaths;
    request.protectedSubtrees = &protectedSubtrees;
    request.collectExistingChildren = true;
    reconcilePaths(paths, roots ? *roots : discoverInternalRoots(), request);
}

void FileIndexer::reconcilePaths(const std::vector<std::string>& rawPaths,
                                 const std::vector<std::string>& rawRoots,
                                 const ReconcileRequest& request) {
    std::vector<std::string> roots = standardizedAll(rawRoots);
    std::vector<std::string> paths = standardizedAll(rawPaths);
    // Shortest first, so that a folder is handled before anything inside it.
    std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());

    for (const std::string& path : paths) {
        const std::string* root = longestRootAbove(path, roots);
        if (!root) {
            DebugLog::write("reconcile skipped path=" + path + " reason=outside every root");
            continue;
        }
        try {
            if (rules_.shouldSkipStandardized(path, *root)) {
                reconcileTotals_.reconciled += 1;
                reconcileTotals_.removed += index_.removeRecursively(path, *root);
                continue;
            }
            std::optional<std::pair<int64_t, int64_t>> known;
            if (request.knownIDs) {
                if (auto found = request.knownIDs->find(path); found != request.knownIDs->end()) {
                    // Known from its parent's listing in an earlier step, unless the index
                    // changed since.
                    auto stored = index_.entry(found->second.first);
                    if (stored && stored->name == lastPathComponent(path)) {
                        known = found->second;
                    }
                }
            }
            // A chain of folders missing from the index is created from the top down.
            std::string target = path;
            std::optional<int64_t> parentID; // of the target, found on the way
            while (!known && target != *root &&
                   !(parentID = index_.entryID(parentPath(target), *root))) {
                target = parentPath(target);
            }
            if (request.claim && !(*request.claim)(target)) {
                continue;
            }
            reconcileTotals_.reconciled += 1;
            bool refresh =
                target != path || !request.metadataOnly || !request.metadataOnly->count(path);
            ReconcileOutcome outcome;
            reconcileItem(target, *root, refresh, request, known, parentID, outcome);
            if (!outcome.unreadablePaths.empty()) {
                recordInaccessible(outcome.unreadablePaths, false);
            }
            if (request.outcome) {
                (*request.outcome)(outcome);
            }
        } catch (const std::exception& error) {
            if (isUnavailableError(error)) {
                reconcileTotals_.errors += 1;
                recordInaccessible({path}, false);
                if (request.outcome) {
                    // A walk that read this folder's own row from its parent's listing must
                    // not take that for the folder being readable.
                    ReconcileOutcome unreadable;
                    unreadable.unreadablePaths.push_back(path);
                    (*request.outcome)(unreadable);
                }
                continue;
            }
            DebugLog::write("reconcile path=" + path + " error=" + error.what());
            throw;
        }
    }
}

void FileIndexer::reconcileItem(const std::string& path, const std::string& root, bool refresh,
                                const ReconcileRequest& request,
                                std::optional<std::pair<int64_t, int64_t>> known,
                                std::optional<int64_t> knownParentID, ReconcileOutcome& outcome) {
    if (known) {
        // Met in its parent's listing during this walk, which reconciled its own row then:
        // only its children are left to do. One that is no longer a folder to enter is taken
        // from the top.
        if (!refresh) {
            return;
        }
        try {
            refreshChildren(path, root, known->first, request, outcome);
            outcome.readablePaths.push_back(path);
            return;
        } catch (const FileSystemError& error) {
            if (error.errorCode() != ENOTDIR && error.errorCode() != ELOOP) {
                throw;
            }
        }
        known.reset();
    }
    double started = uptimeSeconds();
    int errorCode = 0;
    std::optional<ItemValues> values = readItemValues(path, errorCode);
    DiagnosticTiming::record(values ? phaseRead : phaseFailedRead, started);
    if (!values) {
        if (isMissingError(errorCode)) {
            reconcileTotals_.removed += index_.removeRecursively(path, root);
            return;
        }
        throw readFailure("Could not read", path, errorCode);
    }
    outcome.readablePaths.push_back(path);
    if (rules_.shouldSkipStandardized(path, root)) {
        reconcileTotals_.removed += index_.removeRecursively(path, root);
        return;
    }

    bool isRoot = path == root;
    std::optional<IndexedEntry> stored;
    int64_t parentID = 0;
    if (known) {
        stored = index_.entry(known->first);
        parentID = known->second;
    } else if (isRoot) {
        std::optional<int64_t> existing = index_.entryID(path, root);
        stored = existing ? index_.entry(*existing) : std::nullopt;
    } else {
        // Looked up below its parent, which is known more often than not, rather than by its
        // path, which costs a lookup per folder above it.
        std::optional<int64_t> parent =
            knownParentID ? knownParentID : index_.entryID(parentPath(path), root);
        if (!parent) {
            return; // its folder left the index meanwhile; the folder's own reconcile decides
        }
        parentID = *parent;
        stored = index_.child(parentID, lastPathComponent(path));
    }
    bool enterable = values->isEnterableFolder();
    bool protectsNothing = !request.protectedSubtrees || request.protectedSubtrees->empty();
    if (enterable && !stored && !request.collectChildren && protectsNothing) {
        scanNewFolder(path, root, parentID, request);
        return;
    }
    int64_t id = stored ? stored->id : index_.reserveID();
    FileRecord record = *makeRecord(path, values, id, parentID,
                                    isRoot ? std::optional<std::string>(path) : std::nullopt);
    // A folder that became a file or a link loses what was indexed below it.
    std::vector<int64_t> pruning;
    if (stored && stored->isDirectory && !enterable) {
        pruning.push_back(id);
    }
    if (!stored || !sameRow(*stored, record) || !pruning.empty()) {
        reconcileTotals_.removed += index_.upsert({record}, {}, pruning);
        (stored ? reconcileTotals_.updated : reconcileTotals_.added) += 1;
    }
    // Only its own metadata changed: perhaps its mode, and it may no longer be listed.
    if (enterable && !refresh && stored && access(path.c_str(), R_OK | X_OK) != 0) {
        refresh = true;
    }
    if (enterable && refresh) {
        refreshChildren(path, root, id, request, outcome);
    }
}

void FileIndexer::refreshChildren(const std::string& path, const std::string& root, int64_t id,
                                  const ReconcileRequest& request, ReconcileOutcome& outcome) {
    double started = uptimeSeconds();
    std::optional<WalkedFolder> own;
    const WalkedFolder* earlier = nullptr;
    if (request.listed) {
        if (auto found = request.listed->find(path); found != request.listed->end()) {
            earlier = &found->second;
        }
    }
    // Only folders the rules keep get here.
    const WalkedFolder& listing =
        earlier ? *earlier : own.emplace(path, root, rules_, registrar_.get(), true);
    DiagnosticTiming::record(phaseListing, started);
    if (!listing.ok()) {
        if (listing.errorCode() == ENOENT) {
            // Gone between its read and its listing.
            reconcileTotals_.removed += index_.removeRecursively(path, root);
            return;
        }
        if (nexdir::isPermissionError(listing.errorCode())) {
            forgetContents(path, id, request.protectedSubtrees);
        }
        throw readFailure("Could not list", path, listing.errorCode());
    }
    std::vector<std::string> newFolders;
    applyListing(listing, id, request, outcome, newFolders);
    for (const std::string& folder : newFolders) {
        scanNewFolder(folder, root, id, request);
    }
}

void FileIndexer::forgetContents(const std::string& path, int64_t id,
                                 const std::set<std::string>* protectedSubtrees) {
    // A folder that may no longer be listed is known as a scan would know it: by its own row
    // alone, and listed as unreadable. What it held before would go on being found, and never
    // leave the index when it goes from the disk.
    std::vector<int64_t> removing;
    for (const IndexedEntry& child : index_.children(id)) {
        if (!protectedSubtrees ||
            !protectedSubtrees->count(appendingPathComponent(path, child.name))) {
            removing.push_back(child.id);
        }
    }
    if (!removing.empty()) {
        reconcileTotals_.removed += index_.upsert({}, removing, {});
    }
}

void FileIndexer::applyListing(const WalkedFolder& listing, int64_t id,
                               const ReconcileRequest& request, ReconcileOutcome& outcome,
                               std::vector<std::string>& newFolders) {
    const std::string& path = listing.path();
    std::unordered_map<std::string, IndexedEntry> stored;
    for (IndexedEntry& child : index_.children(id)) {
        std::string name = child.name;
        stored.emplace(std::move(name), std::move(child));
    }

    std::vector<FileRecord> records;
    std::vector<int64_t> removing;
    std::vector<int64_t> pruning;
    auto flush = [&] {
        if (!records.empty() || !removing.empty() || !pruning.empty()) {
            reconcileTotals_.removed += index_.upsert(records, removing, pruning);
        }
        records.clear();
        removing.clear();
        pruning.clear();
    };
    for (const WalkedItem& item : listing.items()) {
        // Taken out of `stored`: what is left there at the end is no longer listed.
        std::optional<IndexedEntry> previous;
        if (auto storedChild = stored.find(item.name); storedChild != stored.end()) {
            previous = std::move(storedChild->second);
            stored.erase(storedChild);
        }
        // A nested region's subtree is its own: not compared, written, entered or removed.
        if (request.protectedSubtrees && request.protectedSubtrees->count(item.path)) {
            continue;
        }
        if (!item.values) {
            if (isMissingError(item.errorCode)) {
                if (previous) {
                    removing.push_back(previous->id); // gone since the listing
                }
            } else {
                reconcileTotals_.errors += 1;
                outcome.unreadablePaths.push_back(item.path); // what is stored of it stays
            }
            continue;
        }
        outcome.readablePaths.push_back(item.path);
        bool enterable = item.isEnterableFolder();
        bool newFolder = enterable && !(previous && previous->isDirectory);
        // Filled by the parallel scanner, once this batch has made room for it.
        if (enterable && newFolder && (!request.collectChildren || request.scanNewFolders) &&
            protectsNothingAt(request.protectedSubtrees, item.path)) {
            if (previous) {
                removing.push_back(previous->id);
            }
            newFolders.push_back(item.path);
            continue;
        }
        int64_t childID = previous ? previous->id : index_.reserveID();
        bool pruned = previous && previous->isDirectory && !enterable;
        if (pruned) {
            pruning.push_back(childID);
        }
        if (!previous || !matches(*previous, *item.values) || pruned) {
            (previous ? reconcileTotals_.updated : reconcileTotals_.added) += 1;
            records.push_back(*makeRecord(item.path, item.values, childID, id, item.name));
        }
        if (enterable && request.collectChildren &&
            (request.collectExistingChildren || newFolder)) {
            outcome.childFolders.push_back({item.path, childID, id});
        }
        if (records.size() >= size_t(batchSize_)) {
            flush();
        }
    }
    // What is stored but no longer listed is gone, with everything below it.
    for (const auto& [name, child] : stored) {
        std::string childPath = appendingPathComponent(path, name);
        if (!request.protectedSubtrees || !request.protectedSubtrees->count(childPath)) {
            removing.push_back(child.id);
        }
    }
    flush();
}

void FileIndexer::scanNewFolder(const std::string& path, const std::string& root, int64_t parentID,
                                const ReconcileRequest& request) {
    ScanTotals totals =
        scan(path, root, parentID, request.scanProgress ? *request.scanProgress : ScanProgress());
    reconcileTotals_.added += totals.indexed;
    reconcileTotals_.errors += totals.errors;
    if (!totals.inaccessiblePaths.empty()) {
        recordInaccessible(totals.inaccessiblePaths, false);
    }
}

// ---- Walks ----

std::vector<std::string> FileIndexer::inaccessiblePaths() {
    std::set<std::string> tracked = trackedInaccessible();
    return {tracked.begin(), tracked.end()};
}

std::set<std::string> FileIndexer::trackedInaccessible() {
    std::set<std::string> tracked;
    for (const std::string& path :
         IndexMetadata::decodePathList(
             index_.metadata(IndexMetadata::inaccessiblePaths).value_or("[]"))
             .value_or(std::vector<std::string>{})) {
        tracked.insert(standardizePath(path));
    }
    return tracked;
}

void FileIndexer::clearCovered(const std::set<std::string>& covered) {
    if (covered.empty()) {
        return;
    }
    std::lock_guard guard(inaccessibleLock_);
    std::optional<std::vector<std::string>> listed = IndexMetadata::decodePathList(
        index_.metadata(IndexMetadata::inaccessiblePaths).value_or("[]"));
    if (!listed) {
        return;
    }
    std::vector<std::string> kept;
    for (const std::string& path : *listed) {
        if (!covered.count(standardizePath(path))) {
            kept.push_back(path);
        }
    }
    if (kept.size() == listed->size()) {
        return;
    }
    std::sort(kept.begin(), kept.end());
    storeInaccessible(kept);
}

void FileIndexer::storeInaccessible(const std::vector<std::string>& paths) {
    // The count the status tells goes with the list, or a repaired index would go on
    // calling itself partial.
    index_.setMetadata({{IndexMetadata::inaccessiblePaths, IndexMetadata::encodePathList(paths)},
                        {IndexMetadata::scanErrors, std::to_string(paths.size())}});
}

FileIndexer::SubtreeWalk
FileIndexer::beginSubtreeWalk(const std::string& path,
                              const std::set<std::string>& protectedSubtrees) {
    // A whole subtree is read again: paths whose repair failed are worth another try.
    recoveryFailures.clear();
    return walkOf(path, protectedSubtrees);
}

FileIndexer::SubtreeWalk FileIndexer::walkOf(const std::string& path,
                                             const std::set<std::string>& protectedSubtrees) {
    SubtreeWalk walk;
    walk.path = standardizePath(path);
    walk.pending = {walk.path};
    walk.tracked = trackedInaccessible();
    walk.protectedSubtrees = protectedSubtrees;
    return walk;
}

FileIndexer::SubtreeWalk
FileIndexer::beginReconcileWalk(const std::vector<std::string>& paths,
                                const std::set<std::string>& metadataOnlyPaths,
                                const std::set<std::string>& protectedSubtrees) {
    SubtreeWalk walk = walkOf("/", protectedSubtrees);
    std::set<std::string> distinct;
    for (const std::string& path : paths) {
        distinct.insert(standardizePath(path));
    }
    // Taken from the end: the shortest paths, the ancestors, come first.
    walk.pending.assign(distinct.begin(), distinct.end());
    std::stable_sort(
        walk.pending.begin(), walk.pending.end(),
        [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    walk.recursive = false;
    for (const std::string& path : metadataOnlyPaths) {
        walk.metadataOnly.insert(standardizePath(path));
    }
    return walk;
}

std::vector<std::string>
FileIndexer::expectedNextBatch(const SubtreeWalk& walk, const std::vector<std::string>& batch,
                               const std::vector<std::optional<ReconcileOutcome>>& outcomes,
                               int maximumDirectories) {
    // As the step leaves `pending`, read from its end: the paths it takes again, then the
    // folders it found, then what was pending before.
    std::vector<const std::string*> front;
    for (size_t i = 0; i < batch.size(); ++i) {
        if (!outcomes[i]) {
            front.push_back(&batch[i]);
        }
    }
    size_t again = front.size();
    for (size_t i = 0; i < batch.size(); ++i) {
        if (outcomes[i]) {
            for (const ReconcileOutcome::Folder& folder : outcomes[i]->childFolders) {
                if (walksInto(walk, folder.path)) {
                    front.push_back(&folder.path);
                }
            }
        }
    }
    std::reverse(front.begin() + std::ptrdiff_t(again), front.end());
    auto at = [&](size_t k) -> const std::string& {
        return k < front.size() ? *front[k]
                                : walk.pending[walk.pending.size() - 1 - (k - front.size())];
    };
    std::vector<std::string> next;
    for (size_t k : takeApart(front.size() + walk.pending.size(), at, maximumDirectories)) {
        next.push_back(at(k));
    }
    // A folder whose own metadata alone changed is not listed.
    std::erase_if(next, [&](const std::string& path) { return walk.metadataOnly.count(path) > 0; });
    return next;
}

bool FileIndexer::stepSubtreeWalk(SubtreeWalk& walk, const std::vector<std::string>& roots,
                                  int maximumDirectories) {
    double started = uptimeSeconds();
    // One batch of paths reconciled side by side by the workers: paths of which none lies
    // inside another.
    std::vector<std::string> batch;
    {
        size_t last = walk.pending.size() - 1;
        auto at = [&](size_t k) -> const std::string& { return walk.pending[last - k]; };
        std::vector<size_t> picked = takeApart(walk.pending.size(), at, maximumDirectories);
        std::vector<char> leaving(walk.pending.size(), 0);
        for (size_t k : picked) {
            batch.push_back(std::move(walk.pending[last - k]));
            leaving[last - k] = 1;
        }
        size_t kept = 0;
        for (size_t i = 0; i < walk.pending.size(); ++i) {
            if (!leaving[i]) {
                if (kept != i) {
                    walk.pending[kept] = std::move(walk.pending[i]);
                }
                ++kept;
            }
        }
        walk.pending.resize(kept);
    }
    std::shared_ptr<const std::map<std::string, WalkedFolder>> listed;
    if (walk.listedUnderRules == rulesGeneration_) {
        listed = std::move(walk.listed);
    }
    walk.listed.reset();
    std::vector<std::optional<ReconcileOutcome>> outcomes(batch.size());
    std::vector<std::exception_ptr> failures(batch.size());
    // Paths apart may still climb to the same folder missing from the index, or one to a
    // folder around another's: two workers writing one folder would each give it an id, and
    // the rows written under the id that lost would be lost to every search. So each claims
    // the folder it writes, and one that meets a claim around or inside its own waits for
    // the next step. A claim holds until the step ends: what the step writes is committed
    // only then, so a folder done earlier in the step still reads as it was.
    std::mutex claimsLock;
    std::vector<std::optional<std::string>> claims(batch.size()); // guarded by claimsLock
    std::vector<char> deferred(batch.size(), 0);
    std::atomic<size_t> nextIndex{0};
    auto work = [&] {
        for (size_t i; (i = nextIndex++) < batch.size();) {
            if (uptimeSeconds() - started >= stepSeconds && i > 0) {
                return; // the rest waits for the next step
            }
            OutcomeHandler keep = [&, i](const ReconcileOutcome& outcome) {
                outcomes[i] = outcome;
            };
            std::function<bool(const std::string&)> claim = [&, i](const std::string& folder) {
                std::lock_guard guard(claimsLock);
                for (const std::optional<std::string>& other : claims) {
                    if (other && (isAtOrUnder(folder, *other) || isAtOrUnder(*other, folder))) {
                        deferred[i] = 1;
                        return false;
                    }
                }
                claims[i] = folder;
                return true;
            };
            ReconcileRequest request;
            request.metadataOnly = &walk.metadataOnly;
            request.protectedSubtrees = &walk.protectedSubtrees;
            request.collectChildren = true;
            request.collectExistingChildren = walk.recursive;
            // Walked 128 folders a step, each listed, compared and written on its own, a
            // subtree of 50,000 items moved in took about 15 s to catch up with; scanned, 2.
            request.scanNewFolders = true;
            request.outcome = &keep;
            request.knownIDs = &walk.knownIDs;
            request.claim = &claim;
            request.listed = listed.get();
            try {
                reconcilePaths({batch[i]}, roots, request);
                if (!outcomes[i] && !deferred[i]) {
                    outcomes[i].emplace(); // excluded, outside every root or unreadable
                }
            } catch (...) {
                failures[i] = std::current_exception();
            }
        }
    };
    int workers =
        std::min<int>(isPowerSaving_ && isPowerSaving_() ? 1 : workerCount_, int(batch.size()));
    // The step's writes go in as one transaction: one per folder, each with its full-text
    // index flush and its pages appended to the WAL, made catching up with 20,000 changes
    // take four times longer. The folders a step writes lie apart (see the claims), so its
    // removals may go before all of its records; and the next step reads what this one
    // wrote, so it is committed before the step ends.
    //
    // The commit takes about as long as the listings and reads before it, on this thread
    // alone: meanwhile another lists the folders the next step will take.
    std::exception_ptr unwritten;
    std::optional<ListingAhead> ahead;
    {
        SearchIndex::GroupedWrites grouped(index_);
        std::vector<std::thread> threads;
        for (int i = 1; i < workers; ++i) {
            threads.emplace_back(work);
        }
        work();
        for (std::thread& thread : threads) {
            thread.join();
        }
        if (workers > 1) {
            ahead.emplace(expectedNextBatch(walk, batch, outcomes, maximumDirectories), roots,
                          rules_, registrar_.get());
        }
        try {
            reconcileTotals_.removed += grouped.finish();
        } catch (...) {
            unwritten = std::current_exception();
        }
    }
    if (ahead && !unwritten) {
        walk.listed = ahead->finish();
        walk.listedUnderRules = rulesGeneration_;
    }

    // In the walk's own order: what was done is recorded, what failed or was not reached is
    // taken again by the next step (the walk keeps its state through a failure).
    std::exception_ptr failure = unwritten;
    std::vector<std::string> again;
    for (size_t i = 0; i < batch.size(); ++i) {
        if (!outcomes[i] || unwritten) {
            failure = failure ? failure : failures[i];
            again.push_back(std::move(batch[i]));
            continue;
        }
        for (const auto& folder : outcomes[i]->childFolders) {
            if (walksInto(walk, folder.path)) {
                walk.pending.push_back(folder.path);
                walk.knownIDs[folder.path] = {folder.id, folder.parentID};
            }
        }
        for (const std::string& path : outcomes[i]->readablePaths) {
            if (walk.tracked.count(path)) {
                walk.covered.insert(path);
            }
        }
        // A folder whose row its parent's listing read, in this step or an earlier one, but
        // which could not be listed itself.
        for (const std::string& path : outcomes[i]->unreadablePaths) {
            walk.covered.erase(path);
        }
        walk.knownIDs.erase(batch[i]);
        walk.visited += 1;
    }
    walk.pending.insert(walk.pending.end(), again.rbegin(), again.rend());
    if (failure) {
        std::rethrow_exception(failure);
    }
    if (!walk.pending.empty()) {
        return false;
    }
    clearCovered(walk.covered);
    return true;
}

void FileIndexer::reconcileSubtree(const std::string& path, const std::vector<std::string>& roots,
                                   const ReconcileProgress& progress) {
    recoveryFailures.clear();
    reconcileSubtreeInParallel(path, roots, progress);
}

void FileIndexer::reconcileSubtreeInParallel(const std::string& rawPath,
                                             const std::vector<std::string>& roots,
                                             const ReconcileProgress& progress) {
    std::string path = standardizePath(rawPath);
    std::set<std::string> tracked = trackedInaccessible();
    std::set<std::string> covered;
    auto cover = [&](const std::vector<std::string>& readable) {
        for (const std::string& readablePath : readable) {
            if (tracked.count(readablePath)) {
                covered.insert(readablePath);
            }
        }
    };

    // The subtree's own top first, alone: its row, and whether there is a folder to walk.
    ReconcileRequest top;
    top.collectChildren = true;
    std::optional<ReconcileOutcome> topOutcome;
    OutcomeHandler keepTop = [&](const ReconcileOutcome& outcome) { topOutcome = outcome; };
    top.outcome = &keepTop;
    ReconcileRequest ownRow = top;
    std::set<std::string> onlyItself{path};
    ownRow.metadataOnly = &onlyItself;
    reconcilePaths({path}, roots, ownRow);
    if (!topOutcome) {
        return; // outside every root, excluded, gone or unreadable: already dealt with
    }
    cover(topOutcome->readablePaths);
    std::vector<std::string> walkRoots = standardizedAll(roots);
    const std::string* root = longestRootAbove(path, walkRoots);
    int errorCode = 0;
    std::optional<ItemValues> values = readItemValues(path, errorCode);
    std::optional<int64_t> id = root ? index_.entryID(path, *root) : std::nullopt;
    if (!root || !values || !values->isEnterableFolder() || !id) {
        clearCovered(covered);
        return;
    }

    // Then every folder below it, each listed once by one of the workers, which compare the
    // listing with the stored children and queue the child folders for one another.
    ReconcileRequest request;
    request.collectChildren = true;
    request.collectExistingChildren = true;
    std::mutex lock;
    std::vector<std::string> unreadable; // guarded by lock
    int64_t directories = 0;             // guarded by lock
    int64_t queued = 1;                  // guarded by lock: folders handed to the walk
    double lastProgress = uptimeSeconds();
    double lastLog = lastProgress;
    bool reported = false;
    class Reconciler : public DirectoryWalk::Visitor {
    public:
        explicit Reconciler(std::function<std::vector<DirectoryWalk::Folder>(
                                const DirectoryWalk::Folder&, const WalkedFolder&)>
                                visit)
            : visit_(std::move(visit)) {}
        std::vector<DirectoryWalk::Folder> visit(const DirectoryWalk::Folder& folder,
                                                 const WalkedFolder& listing) override {
            return visit_(folder, listing);
        }

    private:
        std::function<std::vector<DirectoryWalk::Folder>(const DirectoryWalk::Folder&,
                                                         const WalkedFolder&)>
            visit_;
    };
    auto visit = [&](const DirectoryWalk::Folder& folder, const WalkedFolder& listing) {
        ReconcileOutcome outcome;
        std::vector<DirectoryWalk::Folder> next;
        if (!listing.ok()) {
            int code = listing.errorCode();
            if (code == ENOENT) {
                reconcileTotals_.removed += index_.removeRecursively(folder.path, *root);
            } else if (nexdir::isUnavailableError(code) || code == ENOTDIR || code == ELOOP) {
                // Unreadable, or no longer a folder: its own row is its parent's to fix, and
                // a later reconcile of the path takes it from the top.
                if (nexdir::isPermissionError(code)) {
                    forgetContents(folder.path, folder.id, nullptr);
                }
                if (code != ENOTDIR && code != ELOOP) {
                    reconcileTotals_.errors += 1;
                    std::lock_guard guard(lock);
                    unreadable.push_back(folder.path);
                }
            } else {
                throw readFailure("Could not list", folder.path, code);
            }
        } else {
            std::vector<std::string> ignored; // every child folder is collected
            applyListing(listing, folder.id, request, outcome, ignored);
            outcome.readablePaths.push_back(folder.path);
            for (const auto& child : outcome.childFolders) {
                next.push_back({child.path, child.id});
            }
        }
        reconcileTotals_.reconciled += 1;
        std::lock_guard guard(lock);
        cover(outcome.readablePaths);
        unreadable.insert(unreadable.end(), outcome.unreadablePaths.begin(),
                          outcome.unreadablePaths.end());
        directories += 1;
        queued += int64_t(next.size());
        double now = uptimeSeconds();
        if (progress && (!reported || now - lastProgress >= 1.0)) {
            progress(directories, folder.path);
            reported = true;
            lastProgress = now;
        }
        if (now - lastLog >= 10.0) {
            DebugLog::write(
                "subtree verification progress directories=" + std::to_string(directories) +
                " pending=" + std::to_string(queued - directories));
            lastLog = now;
        }
        return next;
    };
    int workers = isPowerSaving_ && isPowerSaving_() ? 1 : workerCount_;
    try {
        // The top folder's children were listed with its own row above only when it was new;
        // listing it again here is what refreshes them.
        DirectoryWalk(*root, rules_, registrar_.get()).run({path, *id}, workers, [&] {
            return std::make_unique<Reconciler>(visit);
        });
    } catch (const std::exception& error) {
        DebugLog::write("reconcile path=" + path + " error=" + error.what());
        throw;
    }
    if (!unreadable.empty()) {
        recordInaccessible(unreadable, false);
    }
    // A folder read as a row of its parent's listing but not listable itself stays listed.
    for (const std::string& path : unreadable) {
        covered.erase(path);
    }
    clearCovered(covered);
}

// ---- Access recovery ----

bool FileIndexer::isReadable(const std::string& path) {
    int errorCode = 0;
    std::optional<ItemValues> values = readItemValues(path, errorCode);
    if (!values) {
        return false;
    }
    if (values->isDirectory && !values->isSymbolicLink) {
        return DirectoryListing(path).ok();
    }
    return values->isSymbolicLink || access(path.c_str(), R_OK) == 0;
}

bool FileIndexer::hasNewlyAccessiblePaths() {
    for (const std::string& path : trackedInaccessible()) {
        if (isReadable(path)) {
            return true;
        }
    }
    return false;
}

int64_t FileIndexer::recoverAccessiblePaths(const std::vector<std::string>& roots) {
    std::set<std::string> before = trackedInaccessible();
    std::exception_ptr failure;
    for (const std::string& path : before) {
        if (recoveryFailures.count(path) || !isReadable(path)) {
            continue;
        }
        try {
            reconcileSubtreeInParallel(path, roots, {});
        } catch (const std::exception& error) {
            recoveryFailures.insert(path);
            DebugLog::write(std::string("targeted access recovery failed: ") + error.what());
            failure = failure ? failure : std::current_exception();
        }
    }
    std::set<std::string> after = trackedInaccessible();
    int64_t repaired = 0;
    for (const std::string& path : before) {
        repaired += after.count(path) ? 0 : 1;
    }
    DebugLog::write("targeted access recovery repaired=" + std::to_string(repaired) +
                    " remaining=" + std::to_string(after.size()));
    if (failure) {
        std::rethrow_exception(failure); // the others were repaired all the same
    }
    return repaired;
}

} // namespace nexdir
