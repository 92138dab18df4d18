// Custom exclusions changed on a live index: what a change would touch, and bringing the
// index into line with it.

#include "FileIndexer.h"

#include "IndexMetadata.h"
#include "Paths.h"
#include "VolumeIdentity.h"

#include <algorithm>
#include <atomic>

namespace nexdir {

namespace {

// Reading a folder back in costs about three times what a full scan spends on the same
// items (285,000 items: 13.2 s, where scanning them took 4.3 s): past a third of what the
// index will hold, a rebuild of everything is the faster way. Below this many items the
// difference is not worth setting the index's other state (its regions) back to a fresh scan.
constexpr int64_t rebuildCostFactor = 3;
constexpr int64_t smallestRebuild = 50'000;

} // namespace

std::pair<std::set<std::string>, std::set<std::string>>
FileIndexer::exclusionDifference(const std::vector<std::string>& excludedPaths) const {
    std::set<std::string> before;
    for (const std::string& path : excludedPaths_) {
        before.insert(standardizePath(path));
    }
    std::set<std::string> after;
    for (const std::string& path : excludedPaths) {
        after.insert(standardizePath(path));
    }
    std::pair<std::set<std::string>, std::set<std::string>> difference;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::inserter(difference.first, difference.first.end()));
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                        std::inserter(difference.second, difference.second.end()));
    return difference;
}

int64_t FileIndexer::itemsOnDisk(const std::set<std::string>& paths, const ExclusionRules& rules,
                                 const std::vector<std::string>& roots, int64_t limit) {
    class Counter : public DirectoryWalk::Visitor {
    public:
        Counter(std::atomic<int64_t>& count, int64_t limit) : count_(count), limit_(limit) {}
        std::vector<DirectoryWalk::Folder> visit(const DirectoryWalk::Folder&,
                                                 const WalkedFolder& listing) override {
            std::vector<DirectoryWalk::Folder> subfolders;
            for (const WalkedItem& item : listing.items()) {
                if (item.isEnterableFolder()) {
                    subfolders.push_back({item.path, 0});
                }
            }
            if ((count_ += int64_t(listing.items().size())) > limit_) {
                return {}; // enough: the folders already queued end the walk
            }
            return subfolders;
        }

    private:
        std::atomic<int64_t>& count_;
        int64_t limit_;
    };
    std::atomic<int64_t> count{0};
    for (const std::string& path : paths) {
        const std::string* root = longestRootAbove(path, roots);
        int errorCode = 0;
        std::optional<ItemValues> values;
        if (count > limit || !root || rules.shouldSkipStandardized(path, *root) ||
            !(values = readItemValues(path, errorCode))) {
            continue;
        }
        count += 1;
        if (values->isEnterableFolder()) {
            DirectoryWalk(*root, rules, nullptr).run({path, 0}, workerCount_, [&] {
                return std::make_unique<Counter>(count, limit);
            });
        }
    }
    return count;
}

FileIndexer::ExclusionChange
FileIndexer::exclusionChange(const std::vector<std::string>& excludedPaths,
                             const std::vector<std::string>& rawRoots, int64_t limit) {
    std::vector<std::string> roots = standardizedAll(rawRoots);
    auto [added, dropped] = exclusionDifference(excludedPaths);
    ExclusionChange change;
    for (const std::string& path : added) {
        const std::string* root = longestRootAbove(path, roots);
        // A path inside another newly excluded one goes with it.
        bool inside = std::any_of(added.begin(), added.end(), [&](const std::string& other) {
            return other != path && isAtOrUnder(path, other);
        });
        if (root && !inside) {
            change.removedItems += index_.subtreeSize(path, *root);
        }
    }
    change.readdedFolders = int64_t(dropped.size());
    ExclusionRules rules =
        ExclusionRules(appDataPath_, excludedPaths).withIndexFiles(index_.databasePath());
    change.readdedItems = itemsOnDisk(dropped, rules, roots, limit);
    return change;
}

void FileIndexer::updateExclusions(std::vector<std::string> excludedPaths,
                                   const std::vector<std::string>& roots,
                                   const ItemProgress& progress) {
    auto [added, dropped] = exclusionDifference(excludedPaths);
    setExcludedPaths(excludedPaths);
    namespace key = IndexMetadata;

    int64_t items = index_.statistics().indexedItems;
    int64_t enough = std::max(smallestRebuild, items / rebuildCostFactor);
    if (!dropped.empty() && itemsOnDisk(dropped, rules_, roots, enough) > enough) {
        // The stored event position stays: events since then are replayed over the rebuild.
        std::optional<uint64_t> eventID = key::parseUnsigned(index_.metadata(key::eventID));
        scanAll(roots, eventID, volumeHistoryIdentity(roots), [&](const IndexProgress& value) {
            if (progress && value.phase == IndexProgress::Phase::scanning) {
                progress(value.indexed);
            }
        });
        return;
    }

    int64_t before = reconcileTotals_.added + reconcileTotals_.removed;
    auto done = [&] { return reconcileTotals_.added + reconcileTotals_.removed - before; };
    ScanProgress scanning = [&](int64_t, int64_t indexed, int64_t, const std::string&) {
        if (progress) {
            progress(done() + indexed);
        }
    };
    ReconcileRequest request;
    request.collectExistingChildren = true;
    request.scanProgress = &scanning;
    std::set<std::string> changed = added;
    changed.insert(dropped.begin(), dropped.end());
    // In order, a folder before what is inside it.
    for (const std::string& path : changed) {
        reconcilePaths({path}, roots, request);
        if (progress) {
            progress(done());
        }
    }
    recordInaccessible({}, true);
    index_.setMetadata(key::excludedPaths, key::encodeExclusions(std::move(excludedPaths)));
}

} // namespace nexdir
