#include "Arguments.h"

#include "Clock.h"
#include "DataDirectory.h"
#include "FileIndexer.h"
#include "IndexMetadata.h"
#include "Paths.h"
#include "RebuildOwnership.h"
#include "SearchIndex.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>

namespace quelmo::cli {

int runReconcile(Arguments arguments) {
    std::string database = nexdir::defaultIndexPath();
    bool recursive = false;
    std::vector<std::string> paths;
    while (!arguments.empty()) {
        std::string word = arguments.next();
        if (word == "--db") {
            database = arguments.value(word);
        } else if (word == "--recursive") {
            recursive = true;
        } else if (word.starts_with("--")) {
            throw UsageError("unknown option for reconcile: " + word);
        } else {
            paths.push_back(nexdir::standardizePath(word));
        }
    }
    if (paths.empty()) {
        throw UsageError("reconcile needs at least one PATH");
    }
    requireIndex(database);
    auto instance = claimIndex(database, "reconcile");
    auto index = nexdir::SearchIndex::openRecoveringCorruption(database);
    namespace key = nexdir::IndexMetadata;
    std::vector<std::string> roots = key::decodeRoots(index->metadata(key::roots));
    if (roots.empty() || !index->hasCompletedFullScan()) {
        throw std::runtime_error("The index at " + database +
                                 " holds no complete scan. Build one with quelmo-cli scan.");
    }
    // Checked before anything is written: a path outside the index changes nothing.
    for (const std::string& path : paths) {
        if (!nexdir::longestRootAbove(path, roots)) {
            std::string listed;
            for (const std::string& root : roots) {
                listed += (listed.empty() ? "" : ", ") + root;
            }
            throw std::runtime_error(path + " is not inside an indexed root (" + listed + ")");
        }
    }
    // A reconcile and a full scan of one index exclude each other.
    nexdir::RebuildOwnership lock(dataDirectoryOf(database), nexdir::rebuildLockName);
    // The rules the index was built with: its own exclusions, its own data directory.
    std::vector<std::string> excluded =
        key::decodePathList(index->metadata(key::excludedPaths).value_or("[]"))
            .value_or(std::vector<std::string>{});
    nexdir::FileIndexer indexer(*index, dataDirectoryFor(roots), excluded,
                                nexdir::FileIndexer::defaultBatchSize,
                                nexdir::FileIndexer::defaultWorkerCount());

    double started = nexdir::uptimeSeconds();
    ProgressPace pace;
    auto progress = [&](int64_t folders, const std::string& current) {
        if (pace.due()) {
            std::fprintf(stderr, "reconciled %lld folders  %s\n", (long long)folders,
                         current.c_str());
        }
    };
    if (recursive) {
        for (const std::string& path : paths) {
            indexer.reconcileSubtree(path, roots, progress);
        }
    } else {
        indexer.reconcile(paths, roots);
    }
    const auto& totals = indexer.reconcileTotals();
    nlohmann::ordered_json output = {
        {"reconciled", totals.reconciled}, {"added", totals.added},
        {"removed", totals.removed},       {"updated", totals.updated},
        {"errors", totals.errors},         {"seconds", nexdir::uptimeSeconds() - started},
    };
    std::cout << output.dump() << '\n';
    return 0;
}

} // namespace quelmo::cli
