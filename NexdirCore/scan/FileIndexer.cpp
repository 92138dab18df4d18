#include "FileIndexer.h"

#include "DirectoryWalk.h"
#include "FileDiskUsage.h"
#include "NexdirError.h"
#include "Paths.h"

#include <algorithm>
#include <thread>

namespace nexdir {

int FileIndexer::defaultWorkerCount() {
    return int(std::min(4u, std::max(1u, std::thread::hardware_concurrency())));
}

FileIndexer::FileIndexer(SearchIndex& index, std::optional<std::string> appDataPath,
                         std::vector<std::string> excludedPaths, int batchSize, int workerCount)
    : index_(index), appDataPath_(std::move(appDataPath)), excludedPaths_(std::move(excludedPaths)),
      rules_(ExclusionRules(appDataPath_, excludedPaths_).withIndexFiles(index.databasePath())),
      batchSize_(std::max(batchSize, 1)), workerCount_(std::max(workerCount, 1)) {}

void FileIndexer::setExcludedPaths(std::vector<std::string> excludedPaths) {
    excludedPaths_ = std::move(excludedPaths);
    rules_ = ExclusionRules(appDataPath_, excludedPaths_).withIndexFiles(index_.databasePath());
    ++rulesGeneration_;
}

std::optional<FileRecord> FileIndexer::makeRecord(const std::string& path,
                                                  std::optional<ItemValues> values, int64_t id,
                                                  int64_t parentID,
                                                  std::optional<std::string> name) {
    if (!values) {
        int errorCode = 0;
        values = readItemValues(path, errorCode);
        if (!values) {
            return std::nullopt;
        }
    }
    std::string recordName = name ? *name : lastPathComponent(path);
    if (recordName.empty()) {
        recordName = path;
    }
    return FileRecord(id, parentID, std::move(recordName), values->isDirectory, values->modifiedAt,
                      recordedSize(*values), allocatedSizeOf(*values), false);
}

int64_t FileIndexer::recordedSize(const ItemValues& values) {
    // A folder's size is 0: what its inode reports (4096, say) is no size of its contents.
    return values.isDirectory ? 0 : values.size;
}

std::optional<int64_t> FileIndexer::allocatedSizeOf(const ItemValues& values) {
    // Files are measured by the same stat that read them, so a walk leaves none unmeasured;
    // what is not a regular file (a link, a socket) is measured as unavailable (-1).
    if (values.isDirectory) {
        return std::nullopt;
    }
    auto usage = FileDiskUsage::fromStat(values.isRegularFile, values.blocks512);
    return usage ? usage->bytes : -1;
}

namespace {

// One scanner worker: turns what it lists into records and writes them in batches of its own.
class RecordWriter : public DirectoryWalk::Visitor {
public:
    RecordWriter(FileIndexer& indexer, ParallelScanState& state, std::string root,
                 bool parentsFirst)
        : indexer_(indexer), state_(state), root_(std::move(root)), parentsFirst_(parentsFirst) {
        batch_.reserve(size_t(indexer.batchSize()));
    }

    std::vector<DirectoryWalk::Folder> visit(const DirectoryWalk::Folder& folder,
                                             const WalkedFolder& listing) override {
        if (!listing.ok()) {
            // A folder that vanished since its parent was listed is simply gone.
            if (!isMissingError(listing.errorCode())) {
                state_.didFailToRead(folder.path);
            }
            return {};
        }
        state_.addScanned(int64_t(listing.listedCount()));
        if (indexer_.index().isBulkLoading()) {
            return appendFolder(folder, listing);
        }
        std::vector<DirectoryWalk::Folder> subfolders;
        for (const WalkedItem& item : listing.items()) {
            if (!wasRead(item)) {
                continue;
            }
            int64_t id = indexer_.index().reserveID();
            if (item.isEnterableFolder()) {
                subfolders.push_back({item.path, id});
            }
            batch_.push_back(
                *FileIndexer::makeRecord(item.path, item.values, id, folder.id, item.name));
            if (batch_.size() >= size_t(indexer_.batchSize())) {
                flush(item.path);
            }
        }
        // Written before another worker can list them, so that no child row is ever stored
        // without its folder's: in a live index a walk cut short leaves no orphans behind.
        if (parentsFirst_ && !subfolders.empty()) {
            flush(folder.path);
        }
        return subfolders;
    }

    void finish() override {
        flush(root_);
        reportAppended(root_);
    }

private:
    // Whether the item's values were read; a failure other than the item being gone since
    // the listing is counted.
    bool wasRead(const WalkedItem& item) {
        if (!item.values && !isMissingError(item.errorCode)) {
            state_.didFailToRead(item.path);
        }
        return bool(item.values);
    }

    // Into an index being rebuilt, each folder's rows are numbered as they are written, one
    // folder after another: the rows then go in in id order and fill the table's pages, so
    // the rebuild needs not be written anew. Numbered as listed, side by side, two workers'
    // rows went in out of order and left the table's pages 7% empty.
    std::vector<DirectoryWalk::Folder> appendFolder(const DirectoryWalk::Folder& folder,
                                                    const WalkedFolder& listing) {
        std::vector<FileRecord> records;
        std::vector<std::pair<size_t, std::string>> enterable; // record, path
        for (const WalkedItem& item : listing.items()) {
            if (!wasRead(item)) {
                continue;
            }
            if (item.isEnterableFolder()) {
                enterable.emplace_back(records.size(), item.path);
            }
            records.push_back(*FileIndexer::makeRecord(item.path, item.values, 0, folder.id,
                                                       item.name));
        }
        if (records.empty()) {
            return {};
        }
        indexer_.index().appendNumbered(records);
        std::vector<DirectoryWalk::Folder> subfolders;
        for (auto& [record, path] : enterable) {
            subfolders.push_back({std::move(path), records[record].id});
        }
        appended_ += int64_t(records.size());
        if (appended_ >= indexer_.batchSize()) {
            reportAppended(folder.path);
        }
        return subfolders;
    }

    void reportAppended(const std::string& currentPath) {
        if (appended_ > 0) {
            state_.addIndexed(appended_, currentPath);
            appended_ = 0;
        }
    }

    void flush(const std::string& currentPath) {
        if (batch_.empty()) {
            return;
        }
        indexer_.index().upsert(batch_);
        state_.addIndexed(int64_t(batch_.size()), currentPath);
        batch_.clear();
    }

    FileIndexer& indexer_;
    ParallelScanState& state_;
    std::string root_;
    bool parentsFirst_;
    std::vector<FileRecord> batch_;
    int64_t appended_ = 0; // rows appended and not yet reported
};

} // namespace

ScanTotals FileIndexer::scan(const std::string& rawRoot, const std::string& rawVolumeRoot,
                             int64_t rootParentID, const ScanProgress& progress) {
    const std::string root = standardizePath(rawRoot);
    const std::string scanRoot = standardizePath(rawVolumeRoot);
    ParallelScanState state(progress);

    int errorCode = 0;
    std::optional<ItemValues> rootValues = readItemValues(root, errorCode);
    if (!rootValues && rootParentID != 0 && isMissingError(errorCode)) {
        // A folder new to the index, gone or renamed since its parent was listed: nothing of
        // it is on the disk to write, and its parent's own events bring what took its place.
        return state.totals();
    }
    int64_t rootID = index_.reserveID();
    std::optional<FileRecord> rootRecord =
        makeRecord(root, rootValues, rootID, rootParentID,
                   rootParentID == 0 ? std::optional<std::string>(root) : std::nullopt);
    // Only a root that cannot be read at all fails the walk. One that cannot be listed is an
    // unreadable folder like any other: its entry is kept, and the walk counts and lists it.
    if (!rootRecord) {
        throw NexdirError::sqlite("Could not read scan root " + root);
    }
    // A volume root is walked into a private rebuild, which is whole or discarded; below it,
    // into the live index, whose searches go on meanwhile.
    bool live = rootParentID != 0;
    std::optional<SearchIndex::GroupedWrites> grouped;
    if (live) {
        grouped.emplace(index_);
    }
    index_.upsert({*rootRecord});
    state.addIndexed(1, root);

    int workers = isPowerSaving_ && isPowerSaving_() ? 1 : workerCount_;
    DirectoryWalk(scanRoot, rules_, registrar_.get()).run({root, rootID}, workers, [&] {
        return std::make_unique<RecordWriter>(*this, state, root, live);
    });
    if (grouped) {
        grouped->finish();
    }
    return state.totals();
}

} // namespace nexdir
