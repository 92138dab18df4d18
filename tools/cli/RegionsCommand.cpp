#include "Arguments.h"

#include "DataDirectory.h"
#include "IndexMetadata.h"
#include "RecoveryRegion.h"
#include "SearchIndex.h"
#include "Unicode.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <cstdlib>
#include <iostream>

namespace quelmo::cli {

int runRegions(Arguments arguments) {
    std::string database = onlyDatabase(arguments, "regions");
    auto opened = openForReading(database);
    nexdir::SearchIndex& index = *opened;
    namespace key = nexdir::IndexMetadata;
    std::vector<std::string> roots = key::decodeRoots(index.metadata(key::roots));
    // Why the index is or is not live: each region of the plan, and what its state says.
    for (const nexdir::RecoveryRegion& region :
         nexdir::RecoveryRegion::plan(roots, nexdir::homeDirectory())) {
        auto value = [&](const char* name) {
            return index.metadata(key::scoped(region.path, name));
        };
        auto number = [&](const char* name) -> nlohmann::ordered_json {
            std::optional<std::string> text = value(name);
            if (!text) {
                return nullptr;
            }
            if (auto whole = key::parseUnsigned(text)) {
                return *whole;
            }
            char* end = nullptr;
            double real = std::strtod(text->c_str(), &end);
            return end != text->c_str() && *end == '\0' ? nlohmann::ordered_json(real)
                                                        : nlohmann::ordered_json(*text);
        };
        nlohmann::ordered_json children = nlohmann::ordered_json::array();
        for (const std::string& child : region.children) {
            children.push_back(nexdir::escapedUTF8(child));
        }
        nlohmann::ordered_json line = {
            {"path", nexdir::escapedUTF8(region.path)},
            {"children", children},
            {"eventID", number(key::eventID)},
            {"needsRecovery", value(key::needsRecovery) == key::flag(true)},
            {"verificationBlocked", value(key::verificationBlocked) == key::flag(true)},
            {"automaticVerificationAttempts", number(key::automaticVerificationAttempts)},
            {"retryAfter", number(key::retryAfter)},
        };
        std::cout << line.dump() << '\n';
    }
    return 0;
}

} // namespace quelmo::cli
