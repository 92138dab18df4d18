#pragma once

#include "DirectoryRegistrar.h"
#include "ExclusionRules.h"
#include "FileRecord.h"
#include "FileSystem.h"
#include "IndexProgress.h"
#include "ParallelScanState.h"
#include "SearchIndex.h"

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace nexdir {

// The engine's scanner: walks folder trees into its index with several workers, under its
// exclusion rules. One indexer serves one index; the application calls it from its serial
// indexing queue, and a walk blocks that caller until its workers are done.
class FileIndexer {
public:
    FileIndexer(SearchIndex& index, std::optional<std::string> appDataPath,
                std::vector<std::string> excludedPaths, int batchSize, int workerCount);

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
    void setRules(ExclusionRules rules) { rules_ = std::move(rules); }
    // How a rebuild is installed into the live index (tests make it fail).
    void setInstall(std::function<void(SearchIndex& rebuilt)> install) {
        install_ = std::move(install);
    }

    // Paths whose targeted access recovery failed.
    std::set<std::string> recoveryFailures;

private:
    IndexSummary scanInPlace(const std::vector<std::string>& roots,
                             const IndexProgressHandler& progress);
    void removeAbandonedRebuilds(const std::string& folder);
    std::string indexFolder() const;

    void flush(std::vector<FileRecord>& batch, ParallelScanState& state,
               const std::string& currentPath);

    SearchIndex& index_;
    std::optional<std::string> appDataPath_;
    std::vector<std::string> excludedPaths_;
    ExclusionRules rules_;
    int batchSize_;
    int workerCount_;
    std::shared_ptr<DirectoryRegistrar> registrar_;
    std::function<bool()> isPowerSaving_;
    std::function<std::optional<int64_t>(const std::string&)> availableCapacity_;
    std::function<void(SearchIndex& rebuilt)> install_;
};

} // namespace nexdir
