#pragma once

#include "DirectoryRegistrar.h"
#include "DirectoryWalk.h"
#include "ExclusionRules.h"
#include "FileRecord.h"
#include "FileSystem.h"
#include "IndexProgress.h"
#include "ParallelScanState.h"
#include "SearchIndex.h"

#include <atomic>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace nexdir {

// The engine's scanner: walks folder trees into its index with several workers, under its
// exclusion rules, and brings single paths and subtrees back in line with the disk (reconcile).
// One indexer serves one index; the application calls it from its serial indexing queue, and
// a walk blocks that caller until its workers are done.
class FileIndexer {
public:
    // A reconcile walk held across queue turns: each step reconciles a bounded number of
    // folders. Nothing of it is persisted; its owner keeps it until a step answers true.
    struct SubtreeWalk {
        std::vector<std::string> pending; // paths still to reconcile; taken from the end
        std::string path;                 // the walk's own root
        std::set<std::string> covered;    // paths of `tracked` read successfully
        std::set<std::string> tracked;    // the persisted inaccessible list at the start
        std::set<std::string> protectedSubtrees;
        bool recursive = true; // folders found are walked in turn
        std::set<std::string> metadataOnly;
        int64_t visited = 0; // paths reconciled so far
        // Entry ids of pending folders already known from their parent's listing, so that
        // a deep walk need not resolve each path from its root again.
        // Each known path's (entry id, parent's entry id).
        std::map<std::string, std::pair<int64_t, int64_t>> knownIDs;
        // Folders the next step is expected to take, listed while this one's writes were
        // committed; each under the exclusion rules of `listedUnderRules`.
        std::shared_ptr<const std::map<std::string, WalkedFolder>> listed;
        uint64_t listedUnderRules = 0;
    };
    FileIndexer(SearchIndex& index, std::optional<std::string> appDataPath,
                std::vector<std::string> excludedPaths, int batchSize, int workerCount);

    // What the application and the command line index with: records written 2000 at a time,
    // by a worker per core, at most 4.
    static constexpr int defaultBatchSize = 2000;
    static int defaultWorkerCount();

    // Replaces the custom exclusions and rebuilds the rules; the index is not touched.
    void setExcludedPaths(std::vector<std::string> excludedPaths);

    // Walks the tree at `root` into the index. `volumeRoot` is the scan root of every
    // exclusion test; `rootParentID` is 0 for a volume root (whose entry is then named by its
    // full path), otherwise the id of the folder that holds `root`. Unreadable items are
    // counted and listed; a write failure stops the walk and is thrown.
    ScanTotals scan(const std::string& root, const std::string& volumeRoot, int64_t rootParentID,
                    const ScanProgress& progress);

    // The record of one item: `values` when given, otherwise read fresh; absent when they
    // cannot be read. The name is `name`, else the last path component, else the path.
    static std::optional<FileRecord> makeRecord(const std::string& path,
                                                std::optional<ItemValues> values, int64_t id,
                                                int64_t parentID,
                                                std::optional<std::string> name = std::nullopt);

    // What a record stores of an item's values: its size (0 for a folder) and the space it
    // takes on disk (absent for a folder, -1 for what is not a regular file).
    static int64_t recordedSize(const ItemValues& values);
    static std::optional<int64_t> allocatedSizeOf(const ItemValues& values);

    // ---- Reconcile ----

    // Brings each of `paths` (and, unless it is in `metadataOnlyPaths`, its children) in line
    // with the disk, writing only what differs: shortest first, so a folder comes before what
    // is inside it; a folder new to the index is filled by the parallel scanner. A path whose
    // folder is not indexed yet is reached from the nearest indexed folder above it. A path
    // that cannot be read for want of permission, or for a moment, is recorded as
    // inaccessible and the others go on; any other failure is logged and thrown. `roots`
    // absent: the discovered ones. `protectedSubtrees` (nested recovery regions) are left to
    // their own reconciles: never entered, changed or removed.
    void reconcile(const std::vector<std::string>& paths,
                   const std::optional<std::vector<std::string>>& roots,
                   const std::set<std::string>& metadataOnlyPaths = {},
                   const std::set<std::string>& protectedSubtrees = {});

    // Resumable walks: a recursive one of one subtree, and one over a set of paths (their
    // children refreshed, folders new to the index walked in as well).
    SubtreeWalk beginSubtreeWalk(const std::string& path,
                                 const std::set<std::string>& protectedSubtrees = {});
    SubtreeWalk beginReconcileWalk(const std::vector<std::string>& paths,
                                   const std::set<std::string>& metadataOnlyPaths = {},
                                   const std::set<std::string>& protectedSubtrees = {});
    // Reconciles at most `maximumDirectories` paths of `walk`, or for at most 0.1 s; true when
    // the walk is complete. A failure leaves the walk as it was, to be stepped again.
    bool stepSubtreeWalk(SubtreeWalk& walk, const std::vector<std::string>& roots,
                         int maximumDirectories);
    // A whole subtree now; `progress` gets (folders reconciled, current path) about once a
    // second.
    using ReconcileProgress = std::function<void(int64_t, const std::string&)>;
    void reconcileSubtree(const std::string& path, const std::vector<std::string>& roots,
                          const ReconcileProgress& progress = {});

    // The persisted list of paths that could not be read, standardised.
    std::vector<std::string> inaccessiblePaths();
    // Its values can be read and, for a folder, it can be listed.
    static bool isReadable(const std::string& path);

    // Paths of the persisted inaccessible list that can be read again, and their repair:
    // each such path's subtree reconciled; answers how many left the list. A path whose
    // repair fails is passed over until a subtree walk (`recoveryFailures`); the first such
    // failure is thrown once the other paths are done.
    bool hasNewlyAccessiblePaths();
    int64_t recoverAccessiblePaths(const std::vector<std::string>& roots);

    // Replaces the custom exclusions and brings the index into line: newly excluded
    // subtrees removed, no longer excluded ones read back in, or, when these hold so many
    // items that it is faster, the index rebuilt (scanAll); stores the new list. `progress`
    // gets the number of items removed or written so far, from any thread.
    using ItemProgress = std::function<void(int64_t items)>;
    void updateExclusions(std::vector<std::string> excludedPaths,
                          const std::vector<std::string>& roots, const ItemProgress& progress = {});

    // What replacing the custom exclusions with `excludedPaths` would change: the indexed
    // entries under the newly excluded paths, and the paths no longer excluded with the items
    // on disk below them that the index would take, counted only until past `limit`.
    struct ExclusionChange {
        int64_t removedItems = 0;
        int64_t readdedFolders = 0;
        int64_t readdedItems = 0;
    };
    ExclusionChange exclusionChange(const std::vector<std::string>& excludedPaths,
                                    const std::vector<std::string>& roots, int64_t limit);

    // What reconciles did since the last reset: paths reconciled, entries added, removed
    // (each entry of a removed subtree counting) and rewritten, paths found unreadable.
    struct ReconcileTotals {
        int64_t reconciled = 0;
        int64_t added = 0;
        int64_t removed = 0;
        int64_t updated = 0;
        int64_t errors = 0;
    };
    ReconcileTotals reconcileTotals() const;
    void resetReconcileTotals();

    // Error classes of reconcile failures (FileSystemError carries the errno).
    static bool isPermissionError(const std::exception& error);
    static bool isUnavailableError(const std::exception& error);

    // ---- Full rebuild ----

    // The volume roots to index ("/" first): $NEXDIR_ROOTS, or the internal volumes.
    static std::vector<std::string> discoverInternalRoots();
    // The roots a scan walks, "/" first: standardised; a root given as a symbolic link to a
    // folder walked as that folder (as `find -H` does); repeats dropped, and a root that the
    // walk of another root reaches anyway left to that walk. A root on another file system
    // below one (a separate /home under "/") stays: walks never cross into it.
    std::vector<std::string> walkRoots(const std::vector<std::string>& roots) const;
    // True when the two lists name different sets of standardised paths.
    static bool rootsChanged(const std::vector<std::string>& a, const std::vector<std::string>& b);

    // Builds a complete new index of `roots` (absent: the discovered ones) in a ".rebuild-"
    // folder beside the live index and installs it in one step; searches answer from the old
    // content until then. `eventID` and `historyIdentity` are the event-stream position and
    // volume history taken just before the scan. Every failure leaves the live index as it
    // was and removes the rebuild folder.
    IndexSummary scanAll(const std::optional<std::vector<std::string>>& roots,
                         std::optional<uint64_t> eventID,
                         const std::optional<std::string>& historyIdentity,
                         const IndexProgressHandler& progress);

    // The phases of the last `scanAll` that got as far as its install.
    const ScanPhases& lastScanPhases() const { return lastScanPhases_; }

    // Removes rebuild folders that no running process owns, under the rebuild lock.
    void cleanupAbandonedRebuilds();
    // Removes from the live index the built-in technical locations an older index may hold.
    void applyTechnicalExclusions();
    // Merges `paths` into the persisted list of unreadable paths, keeping only paths the
    // rules do not exclude (with `pruneExcluded`, also re-testing the stored ones).
    void recordInaccessible(const std::vector<std::string>& paths, bool pruneExcluded);

    // Where free space is read (statvfs); tests stand in a full disk.
    void setAvailableCapacity(std::function<std::optional<int64_t>(const std::string&)> capacity) {
        availableCapacity_ = std::move(capacity);
    }

    SearchIndex& index() { return index_; }
    const ExclusionRules& rules() const { return rules_; }
    const std::vector<std::string>& excludedPaths() const { return excludedPaths_; }
    const std::optional<std::string>& appDataPath() const { return appDataPath_; }
    int batchSize() const { return batchSize_; }
    int workerCount() const { return workerCount_; }

    // Told about every folder just before a walk lists it (the file-event service).
    void setRegistrar(std::shared_ptr<DirectoryRegistrar> registrar) {
        registrar_ = std::move(registrar);
    }
    // Answers true while the system asks to save power: walks then use one worker.
    void setPowerSaving(std::function<bool()> isPowerSaving) {
        isPowerSaving_ = std::move(isPowerSaving);
    }
    // Rules over other tables, for tests.
    void setRules(ExclusionRules rules) {
        rules_ = std::move(rules);
        ++rulesGeneration_;
    }
    // How a rebuild is installed into the live index (tests make it fail).
    void setInstall(std::function<void(SearchIndex& rebuilt)> install) {
        install_ = std::move(install);
    }

    // Paths whose targeted access recovery failed, passed over until the next subtree
    // reconcile or walk (a region's verification), or until the owner clears them to retry.
    std::set<std::string> recoveryFailures;

private:
    // What reconciling one path found: the child folders a walk visits next (with their
    // entry ids), and the paths that were read successfully.
    struct ReconcileOutcome {
        struct Folder {
            std::string path;
            int64_t id;
            int64_t parentID;
        };
        std::vector<Folder> childFolders;
        std::vector<std::string> readablePaths;
        std::vector<std::string> unreadablePaths; // for the persisted inaccessible list
    };
    using OutcomeHandler = std::function<void(const ReconcileOutcome&)>;
    // The paths the step after one that took `batch` takes, if that one's writes commit.
    static std::vector<std::string>
    expectedNextBatch(const SubtreeWalk& walk, const std::vector<std::string>& batch,
                      const std::vector<std::optional<ReconcileOutcome>>& outcomes,
                      int maximumDirectories);
    struct ReconcileRequest {
        const std::set<std::string>* metadataOnly = nullptr;
        const std::set<std::string>* protectedSubtrees = nullptr;
        // Child folders are reported to the caller (every one, or only those new to the
        // index) instead of folders new to the index being filled by the parallel scanner.
        bool collectChildren = false;
        bool collectExistingChildren = true;
        // With collectChildren: folders new to the index are filled by the parallel scanner
        // all the same, and not reported.
        bool scanNewFolders = false;
        const OutcomeHandler* outcome = nullptr;
        const std::map<std::string, std::pair<int64_t, int64_t>>* knownIDs = nullptr;
        // Asked before a path's folder (the path itself, or the top of a chain of folders
        // missing from the index) is written with its children, when reconciles run side by
        // side; false: another one is writing it or a folder around it, and the path is left
        // for later.
        const std::function<bool(const std::string&)>* claim = nullptr;
        // Told how a folder new to the index is being filled.
        const ScanProgress* scanProgress = nullptr;
        // Listings made earlier in the walk, used in place of listing those folders again.
        const std::map<std::string, WalkedFolder>* listed = nullptr;
    };
    void reconcilePaths(const std::vector<std::string>& paths,
                        const std::vector<std::string>& roots, const ReconcileRequest& request);
    void reconcileItem(const std::string& path, const std::string& root, bool refreshChildren,
                       const ReconcileRequest& request,
                       std::optional<std::pair<int64_t, int64_t>> knownIDs,
                       std::optional<int64_t> knownParentID, ReconcileOutcome& outcome);

    void refreshChildren(const std::string& path, const std::string& root, int64_t id,
                         const ReconcileRequest& request, ReconcileOutcome& outcome);
    // Brings the stored children of folder `id` in line with `listing`; any thread. Child
    // folders new to the index are returned in `newFolders` when not collected.
    void applyListing(const WalkedFolder& listing, int64_t id, const ReconcileRequest& request,
                      ReconcileOutcome& outcome, std::vector<std::string>& newFolders);
    // A subtree now, by several workers (what reconcileSubtree does).
    void reconcileSubtreeInParallel(const std::string& path, const std::vector<std::string>& roots,
                                    const ReconcileProgress& progress);
    void scanNewFolder(const std::string& path, const std::string& root, int64_t parentID,
                       const ReconcileRequest& request);
    // The custom exclusions `excludedPaths` adds and drops, standardised, each in order.
    std::pair<std::set<std::string>, std::set<std::string>>
    exclusionDifference(const std::vector<std::string>& excludedPaths) const;
    // Items on disk at and below `paths` that `rules` keep, counting on past `limit` only to
    // finish the folders being listed.
    int64_t itemsOnDisk(const std::set<std::string>& paths, const ExclusionRules& rules,
                        const std::vector<std::string>& roots, int64_t limit);
    // Removes what is stored below the folder `id` at `path`, but for protected subtrees.
    void forgetContents(const std::string& path, int64_t id,
                        const std::set<std::string>* protectedSubtrees);
    std::set<std::string> trackedInaccessible();
    void clearCovered(const std::set<std::string>& covered);
    void storeInaccessible(const std::vector<std::string>& paths);
    SubtreeWalk walkOf(const std::string& path, const std::set<std::string>& protectedSubtrees);

    IndexSummary scanInPlace(const std::vector<std::string>& roots,
                             const IndexProgressHandler& progress);
    void removeAbandonedRebuilds(const std::string& folder);
    std::string indexFolder() const;

    SearchIndex& index_;
    std::optional<std::string> appDataPath_;
    std::vector<std::string> excludedPaths_;
    ExclusionRules rules_;
    uint64_t rulesGeneration_ = 0; // moves whenever rules_ is replaced
    int batchSize_;
    int workerCount_;
    std::shared_ptr<DirectoryRegistrar> registrar_;
    std::function<bool()> isPowerSaving_;
    std::function<std::optional<int64_t>(const std::string&)> availableCapacity_;
    std::function<void(SearchIndex& rebuilt)> install_;
    ScanPhases lastScanPhases_; // of the last scanAll or scanInPlace; the indexer's queue
    std::mutex inaccessibleLock_; // held while the persisted inaccessible list is rewritten
    // Counted by reconcile workers.
    struct {
        std::atomic<int64_t> reconciled{0};
        std::atomic<int64_t> added{0};
        std::atomic<int64_t> removed{0};
        std::atomic<int64_t> updated{0};
        std::atomic<int64_t> errors{0};
    } reconcileTotals_;
};

} // namespace nexdir
