#include "Arguments.h"

#include "Clock.h"
#include "DataDirectory.h"
#include "FileIndexer.h"
#include "LiveIndex.h"
#include "Paths.h"
#include "SearchIndex.h"
#include "Unicode.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace quelmo::cli {

int runScan(Arguments arguments) {
    std::string database = nexdir::defaultIndexPath();
    std::vector<std::string> excluded;
    std::vector<std::string> roots;
    while (!arguments.empty()) {
        std::string word = arguments.next();
        if (word == "--db") {
            database = arguments.value(word);
        } else if (word == "--exclude") {
            excluded.push_back(arguments.value(word));
        } else if (word.starts_with("--")) {
            throw UsageError("unknown option for scan: " + word);
        } else {
            roots.push_back(nexdir::standardizePath(word));
        }
    }
    if (roots.empty()) {
        roots = nexdir::FileIndexer::discoverInternalRoots();
    }
    // A root that is not there is named as such, before anything else is asked of it.
    for (const std::string& root : roots) {
        int errorCode = 0;
        if (!nexdir::readItemValues(root, errorCode)) {
            throw std::runtime_error("Could not read scan root " + root);
        }
    }
    auto instance = claimIndex(database, "scan");
    double started = nexdir::uptimeSeconds();
    auto index = nexdir::SearchIndex::openRecoveringCorruption(database);
    nexdir::FileIndexer indexer(*index, dataDirectoryFor(roots), excluded,
                                nexdir::FileIndexer::defaultBatchSize,
                                nexdir::FileIndexer::defaultWorkerCount());
    roots = indexer.walkRoots(roots);

    // As the application scans: whatever changes during the walk is after the index's event
    // identifier.
    ProgressPace pace;
    nexdir::IndexSummary summary =
        nexdir::LiveIndex::runFullScan(indexer, roots, [&](const nexdir::IndexProgress& progress) {
            if (progress.phase == nexdir::IndexProgress::Phase::scanning && pace.due()) {
                std::fprintf(stderr, "scanned %lld, indexed %lld, errors %lld  %s\n",
                             (long long)progress.scanned, (long long)progress.indexed,
                             (long long)progress.errors, progress.currentPath.c_str());
            }
        }).summary;
    if (std::getenv("QUELMO_SCAN_PHASES")) {
        const nexdir::ScanPhases& phases = indexer.lastScanPhases();
        std::fprintf(stderr,
                     "walk and inserts %.2f s, indexes and trigrams %.2f s, install %.2f s\n",
                     phases.walk, phases.indexes, phases.install);
    }

    nlohmann::ordered_json output = {
        {"scanned", summary.scanned},
        {"indexed", summary.indexed},
        {"errors", summary.errors},
        {"seconds", nexdir::uptimeSeconds() - started},
    };
    // Names are bytes on Linux: each path is written as the index stores such lists, so a
    // name that is not UTF-8 reads back to its exact bytes.
    nlohmann::ordered_json inaccessible = nlohmann::ordered_json::array();
    for (const std::string& path : summary.inaccessiblePaths) {
        inaccessible.push_back(nexdir::escapedUTF8(path));
    }
    output["inaccessiblePaths"] = std::move(inaccessible);
    std::cout << output.dump() << '\n';
    return 0;
}

} // namespace quelmo::cli
