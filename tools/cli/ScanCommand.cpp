#include "Arguments.h"

#include "Clock.h"
#include "DataDirectory.h"
#include "FileIndexer.h"
#include "Paths.h"
#include "SearchIndex.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

namespace quelmo::cli {

namespace {

// Progress on stderr, at most twice a second.
class ProgressLine {
public:
    void report(int64_t scanned, int64_t indexed, int64_t errors, const std::string& path) {
        double now = nexdir::uptimeSeconds();
        if (now - last_ < 0.5) {
            return;
        }
        last_ = now;
        std::fprintf(stderr, "scanned %lld, indexed %lld, errors %lld  %s\n", (long long)scanned,
                     (long long)indexed, (long long)errors, path.c_str());
    }

private:
    double last_ = 0;
};

} // namespace

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
        throw UsageError("scan needs at least one ROOT folder");
    }
    // Every root is checked before the index is emptied, so a bad root changes nothing.
    for (const std::string& root : roots) {
        int errorCode = 0;
        auto values = nexdir::readItemValues(root, errorCode);
        if (!values || (values->isDirectory && !nexdir::DirectoryListing(root).ok())) {
            throw std::runtime_error("Could not read scan root " + root);
        }
    }

    double started = nexdir::uptimeSeconds();
    auto index = nexdir::SearchIndex::openRecoveringCorruption(database);
    int workers = int(std::min(4u, std::max(1u, std::thread::hardware_concurrency())));
    nexdir::FileIndexer indexer(*index, nexdir::applicationDataDirectory(), excluded, 2000, workers);

    ProgressLine line;
    nexdir::ScanTotals totals;
    index->resetForFullScan();
    for (const std::string& root : roots) {
        nexdir::ScanTotals walk = indexer.scan(
            root, root, 0, [&](int64_t scanned, int64_t indexed, int64_t errors, const std::string& path) {
                line.report(totals.scanned + scanned, totals.indexed + indexed, totals.errors + errors, path);
            });
        totals.scanned += walk.scanned;
        totals.indexed += walk.indexed;
        totals.errors += walk.errors;
        totals.inaccessiblePaths.insert(totals.inaccessiblePaths.end(), walk.inaccessiblePaths.begin(),
                                        walk.inaccessiblePaths.end());
    }
    double walked = nexdir::uptimeSeconds();
    index->finishBulkLoad();
    index->markFullScanCompleted();
    if (std::getenv("QUELMO_SCAN_PHASES")) {
        std::fprintf(stderr, "walk and inserts %.2f s, indexes and trigrams %.2f s\n",
                     walked - started, nexdir::uptimeSeconds() - walked);
    }

    nlohmann::ordered_json output = {
        {"scanned", totals.scanned},
        {"indexed", totals.indexed},
        {"errors", totals.errors},
        {"seconds", nexdir::uptimeSeconds() - started},
        {"inaccessiblePaths", totals.inaccessiblePaths},
    };
    // Names are bytes on Linux; invalid UTF-8 is shown with replacement characters.
    std::cout << output.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    return 0;
}

} // namespace quelmo::cli
