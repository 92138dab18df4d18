#include "FileIndexer.h"

#include "DirectoryWorkQueue.h"
#include "FileDiskUsage.h"
#include "NexdirError.h"
#include "Paths.h"

#include <thread>

namespace nexdir {

FileIndexer::FileIndexer(SearchIndex& index, std::optional<std::string> appDataPath,
                         std::vector<std::string> excludedPaths, int batchSize, int workerCount)
    : index_(index), appDataPath_(std::move(appDataPath)), excludedPaths_(std::move(excludedPaths)),
      rules_(appDataPath_, excludedPaths_), batchSize_(std::max(batchSize, 1)),
      workerCount_(std::max(workerCount, 1)) {}

void FileIndexer::setExcludedPaths(std::vector<std::string> excludedPaths) {
    excludedPaths_ = std::move(excludedPaths);
    rules_ = ExclusionRules(appDataPath_, excludedPaths_);
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
    std::optional<int64_t> allocatedSize;
    if (!values->isDirectory) {
        if (auto usage = FileDiskUsage::fromStat(values->isRegularFile, values->blocks512)) {
            allocatedSize = usage->bytes;
        }
    }
    return FileRecord(id, parentID, std::move(recordName), values->isDirectory, values->modifiedAt,
                      values->size, allocatedSize, false);
}

void FileIndexer::flush(std::vector<FileRecord>& batch, ParallelScanState& state,
                        const std::string& currentPath) {
    if (batch.empty()) {
        return;
    }
    index_.upsert(batch);
    int64_t written = int64_t(batch.size());
    batch.clear();
    state.addIndexed(written, currentPath);
}

ScanTotals FileIndexer::scan(const std::string& rawRoot, const std::string& rawVolumeRoot,
                             int64_t rootParentID, const ScanProgress& progress) {
    const std::string root = standardizePath(rawRoot);
    const std::string scanRoot = standardizePath(rawVolumeRoot);
    ParallelScanState state(progress);

    int64_t rootID = index_.reserveID();
    std::optional<FileRecord> rootRecord =
        makeRecord(root, std::nullopt, rootID, rootParentID,
                   rootParentID == 0 ? std::optional<std::string>(root) : std::nullopt);
    // A root folder that cannot be listed fails the walk before anything is written, like a
    // root that cannot be read at all.
    if (!rootRecord || (rootRecord->isDirectory && !DirectoryListing(root).ok())) {
        throw NexdirError::sqlite("Could not read scan root " + root);
    }
    index_.upsert({*rootRecord});
    state.addIndexed(1, root);

    DirectoryWorkQueue queue({root, rootID});
    auto worker = [&] {
        std::vector<FileRecord> batch;
        batch.reserve(size_t(batchSize_));
        try {
            while (std::optional<DirectoryWorkItem> directory = queue.next()) {
                if (registrar_) {
                    registrar_->willList(directory->path);
                }
                DirectoryListing listing(directory->path);
                if (!listing.ok()) {
                    // A folder that vanished since its parent was listed is simply gone.
                    if (!isMissingError(listing.errorCode())) {
                        state.didFailToRead(directory->path);
                    }
                    queue.complete({});
                    continue;
                }
                state.addScanned(int64_t(listing.names().size()));
                std::vector<DirectoryWorkItem> subdirectories;
                for (const std::string& name : listing.names()) {
                    std::string child = appendingPathComponent(directory->path, name);
                    if (rules_.shouldSkipStandardized(child, scanRoot)) {
                        continue;
                    }
                    int errorCode = 0;
                    std::optional<ItemValues> values =
                        readItemValues(listing.fd(), name, errorCode);
                    if (!values) {
                        if (!isMissingError(errorCode)) {
                            state.didFailToRead(child);
                        }
                        continue;
                    }
                    int64_t id = index_.reserveID();
                    if (values->isDirectory && !values->isSymbolicLink && !values->isPackage) {
                        subdirectories.push_back({child, id});
                    }
                    batch.push_back(*makeRecord(child, values, id, directory->id, name));
                    if (batch.size() >= size_t(batchSize_)) {
                        flush(batch, state, child);
                    }
                }
                queue.complete(std::move(subdirectories));
                if (batch.size() >= size_t(batchSize_)) {
                    flush(batch, state, directory->path);
                }
            }
            flush(batch, state, root);
        } catch (...) {
            state.fail(std::current_exception());
            queue.cancel();
        }
    };

    int workers = isPowerSaving_ && isPowerSaving_() ? 1 : workerCount_;
    std::vector<std::thread> threads;
    for (int i = 1; i < workers; ++i) {
        threads.emplace_back(worker);
    }
    worker(); // the calling thread is one of the workers
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (std::exception_ptr failure = state.storedFailure()) {
        std::rethrow_exception(failure);
    }
    return state.totals();
}

} // namespace nexdir
