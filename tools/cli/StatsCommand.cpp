#include "Arguments.h"

#include "DataDirectory.h"
#include "IndexMetadata.h"
#include "SearchIndex.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <iostream>

namespace quelmo::cli {

int runStats(Arguments arguments) {
    std::string database = onlyDatabase(arguments, "stats");
    auto index = openForReading(database);
    nexdir::IndexStatistics statistics = index->statistics();
    namespace key = nexdir::IndexMetadata;
    std::vector<std::string> roots = key::decodeRoots(index->metadata(key::roots));
    nlohmann::ordered_json output = {
        {"indexedItems", statistics.indexedItems},
        {"files", statistics.files},
        {"directories", statistics.directories},
        {"indexBytes", statistics.indexBytes},
        {"indexBytesComplete", statistics.indexBytesComplete},
        {"completed", index->hasCompletedFullScan()},
        {"roots", roots},
        {"needsRecovery", index->metadata(key::needsRecovery) == key::flag(true)},
    };
    std::cout << output.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    return 0;
}

} // namespace quelmo::cli
