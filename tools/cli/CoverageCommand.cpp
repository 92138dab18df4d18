#include "Arguments.h"

#include "IndexCoverage.h"
#include "QueryEndpoint.h"
#include "SearchIndex.h"
#include "Unicode.h"
#include "WatchBudget.h"

#include <nlohmann/json.hpp>

#include <iostream>

namespace quelmo::cli {

int runCoverage(Arguments arguments) {
    std::string database = onlyDatabase(arguments, "coverage");
    nexdir::IndexCoverage coverage = nexdir::IndexCoverage::read(*openForReading(database));
    // Only the engine that keeps the index live knows which folders it could not watch; with
    // none running nothing is watched at all, which no count would say truly.
    nexdir::QueryRequest request;
    request.indexPath = nexdir::canonicalIndexPath(database);
    request.mode = nexdir::QueryRequest::Mode::watchState;
    std::string why;
    std::optional<nexdir::QueryAnswer> engine = nexdir::askQueryEndpoint(request, why);
    std::optional<size_t> limit = nexdir::WatchBudget::userLimit();

    // Paths are bytes; a name that is not UTF-8 travels as the index stores it (escapedUTF8).
    auto pathList = [](const std::vector<std::string>& paths) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const std::string& path : paths) {
            list.push_back(nexdir::escapedUTF8(path));
        }
        return list;
    };
    nlohmann::ordered_json output = {
        {"indexedItems", coverage.indexedItems},
        {"inaccessibleCount", coverage.inaccessibleCount},
        {"paths", pathList(coverage.paths)},
        {"excluded", pathList(coverage.excluded)},
        {"needsRecovery", coverage.needsRecovery},
        {"completed", coverage.completed},
        {"unwatchedFolders",
         engine ? nlohmann::ordered_json(engine->unwatchedFolders) : nlohmann::ordered_json()},
        {"watchLimit", limit ? nlohmann::ordered_json(*limit) : nlohmann::ordered_json()},
    };
    std::cout << output.dump() << '\n';
    return 0;
}

} // namespace quelmo::cli
