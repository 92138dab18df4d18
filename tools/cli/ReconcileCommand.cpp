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

namespace {

namespace key = nexdir::IndexMetadata;

// An index brought in line with the disk as the application keeps it: with the roots and the
// exclusions it was built with, by the one engine that writes it (so never beside a scan).
struct IndexInLine {
    std::shared_ptr<void> instance;
    std::unique_ptr<nexdir::SearchIndex> index;
    std::vector<std::string> roots;
    std::unique_ptr<nexdir::FileIndexer> indexer;
    double started = nexdir::uptimeSeconds();

    // `paths` must lie inside the index's roots; checked before anything is written.
    IndexInLine(const std::string& database, const std::string& command,
                const std::vector<std::string>& paths) {
        requireIndex(database);
        instance = claimIndex(database, command);
        index = nexdir::SearchIndex::openRecoveringCorruption(database);
        roots = key::decodeRoots(index->metadata(key::roots));
        if (roots.empty() || !index->hasCompletedFullScan()) {
            throw std::runtime_error("The index at " + database +
                                     " holds no complete scan. Build one with quelmo-cli scan.");
        }
        for (const std::string& path : paths) {
            if (!nexdir::longestRootAbove(path, roots)) {
                std::string listed;
                for (const std::string& root : roots) {
                    listed += (listed.empty() ? "" : ", ") + root;
                }
                throw std::runtime_error(path + " is not inside an indexed root (" + listed + ")");
            }
        }
        std::vector<std::string> excluded =
            key::decodePathList(index->metadata(key::excludedPaths).value_or("[]"))
                .value_or(std::vector<std::string>{});
        indexer = std::make_unique<nexdir::FileIndexer>(
            *index, dataDirectoryFor(roots), excluded,
            nexdir::FileIndexer::defaultBatchSize, nexdir::FileIndexer::defaultWorkerCount());
    }

    // The reconcile totals and the time taken.
    nlohmann::ordered_json totals() const {
        const auto& totals = indexer->reconcileTotals();
        return {
            {"reconciled", totals.reconciled}, {"added", totals.added},
            {"removed", totals.removed},       {"updated", totals.updated},
            {"errors", totals.errors},         {"seconds", nexdir::uptimeSeconds() - started},
        };
    }
};

} // namespace

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
    IndexInLine work(database, "reconcile", paths);
    // A reconcile and a full scan of one index exclude each other.
    nexdir::RebuildOwnership scanLock(dataDirectoryOf(database), nexdir::rebuildLockName);
    ProgressPace pace;
    auto progress = [&](int64_t folders, const std::string& current) {
        if (pace.due()) {
            std::fprintf(stderr, "reconciled %lld folders  %s\n", (long long)folders,
                         current.c_str());
        }
    };
    if (recursive) {
        for (const std::string& path : paths) {
            work.indexer->reconcileSubtree(path, work.roots, progress);
        }
    } else {
        work.indexer->reconcile(paths, work.roots);
    }
    std::cout << work.totals().dump() << '\n';
    return 0;
}

int runExclude(Arguments arguments) {
    std::string database = nexdir::defaultIndexPath();
    std::vector<std::string> paths;
    while (!arguments.empty()) {
        std::string word = arguments.next();
        if (word == "--db") {
            database = arguments.value(word);
        } else if (word.starts_with("--")) {
            throw UsageError("unknown option for exclude: " + word);
        } else {
            paths.push_back(nexdir::standardizePath(word));
        }
    }
    IndexInLine work(database, "exclude", paths);
    ProgressPace pace;
    work.indexer->updateExclusions(paths, work.roots, [&](int64_t items) {
        if (pace.due()) {
            std::fprintf(stderr, "updated %lld items\n", (long long)items);
        }
    });
    // A change large enough is made by a rebuild, which the reconcile totals do not count.
    nlohmann::ordered_json output = work.totals();
    output["indexedItems"] = work.index->statistics().indexedItems;
    std::cout << output.dump() << '\n';
    return 0;
}

} // namespace quelmo::cli
