#include "Arguments.h"

#include "DataDirectory.h"
#include "SearchIndex.h"

#include <nlohmann/json.hpp>

#include <iostream>

namespace quelmo::cli {

int runStats(Arguments arguments) {
    std::string database = nexdir::defaultIndexPath();
    while (!arguments.empty()) {
        std::string word = arguments.next();
        if (word == "--db") {
            database = arguments.value(word);
        } else {
            throw UsageError("unknown argument for stats: " + word);
        }
    }
    auto index = nexdir::SearchIndex::openRecoveringCorruption(database);
    nexdir::IndexStatistics statistics = index->statistics();
    nlohmann::ordered_json output = {
        {"indexedItems", statistics.indexedItems},
        {"files", statistics.files},
        {"directories", statistics.directories},
        {"indexBytes", statistics.indexBytes},
        {"indexBytesComplete", statistics.indexBytesComplete},
        {"completed", index->hasCompletedFullScan()},
    };
    std::cout << output.dump() << '\n';
    return 0;
}

} // namespace quelmo::cli
