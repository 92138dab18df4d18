#include "LiveIndex.h"

#include "FSEventWatcher.h"
#include "Format.h"
#include "IndexMetadata.h"

namespace nexdir::LiveIndex {

namespace key = IndexMetadata;

LaunchCheck checkLaunch(FileIndexer& indexer, IndexSynchronization& whole,
                        const std::vector<std::string>& roots,
                        const std::vector<std::string>& excludedPaths) {
    SearchIndex& index = indexer.index();
    indexer.cleanupAbandonedRebuilds();
    indexer.applyTechnicalExclusions();
    try {
        indexer.recoverAccessiblePaths(roots);
    } catch (const std::exception&) {
        // Logged; the launch goes on, and the regions' verifications try those paths again.
    }
    std::string identity = FSEventWatcher::historyIdentity(roots);
    uint64_t current = FSEventWatcher::currentEventID();
    LaunchCheck check;
    check.resumePoint = whole.resumeEventID(roots, current, identity, excludedPaths);
    check.inaccessible = int64_t(key::parseUnsigned(index.metadata(key::scanErrors)).value_or(0));
    check.recover = !check.resumePoint && index.hasCompletedFullScan() &&
                    index.metadata(key::needsRecovery) == key::flag(true);
    check.storedEventID = key::parseUnsigned(index.metadata(key::eventID)).value_or(0);
    return check;
}

FullScan runFullScan(FileIndexer& indexer, const std::vector<std::string>& roots,
                     const IndexProgressHandler& progress,
                     const std::function<void(uint64_t)>& began) {
    std::string identity = FSEventWatcher::historyIdentity(roots);
    FullScan scan;
    scan.baseline = FSEventWatcher::currentEventID();
    if (began) {
        began(scan.baseline);
    }
    scan.summary = indexer.scanAll(roots, scan.baseline, identity, progress);
    return scan;
}

std::string resumingText(int64_t inaccessible) {
    return "Recovering changes since last session \u2022 " + std::to_string(inaccessible) +
           " inaccessible paths";
}

std::string reindexingText() {
    return "Reindexing \u2022 previous results remain available\u2026";
}

std::optional<std::string> progressText(const IndexProgress& progress) {
    // One report in five batches of the usual 2000 records.
    if (progress.phase != IndexProgress::Phase::scanning || progress.indexed % 10000 >= 2000) {
        return std::nullopt;
    }
    return "Indexing " + groupedNumber(progress.indexed) + " items \u2022 " +
           std::to_string(progress.errors) + " inaccessible";
}

std::string scannedText(int64_t indexed) {
    return "Recovering changes made during scan \u2022 " + groupedNumber(indexed) +
           " items indexed";
}

} // namespace nexdir::LiveIndex
