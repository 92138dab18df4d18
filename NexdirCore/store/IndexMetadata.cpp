#include "IndexMetadata.h"

#include "Format.h"
#include "Paths.h"
#include "Unicode.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace nexdir::IndexMetadata {

std::string scoped(const std::string& region, const std::string& key) {
    return "region.v1:" + region + ":" + key;
}

std::string encodeRoots(const std::vector<std::string>& roots) {
    std::vector<std::string> sorted;
    for (const std::string& root : roots) {
        sorted.push_back(standardizePath(root));
    }
    std::sort(sorted.begin(), sorted.end());
    std::string text;
    for (const std::string& root : sorted) {
        text += (text.empty() ? "" : "\n") + root;
    }
    return text;
}

std::vector<std::string> decodeRoots(const std::optional<std::string>& text) {
    return splitNonEmpty(text.value_or(""), '\n');
}

std::string encodeExclusions(std::vector<std::string> paths) {
    std::sort(paths.begin(), paths.end());
    return encodePathList(paths);
}

std::string encodePathList(const std::vector<std::string>& paths) {
    nlohmann::json array = nlohmann::json::array();
    for (const std::string& path : paths) {
        array.push_back(escapedUTF8(path));
    }
    return array.dump();
}

std::optional<std::vector<std::string>> decodePathList(const std::string& text) {
    try {
        std::vector<std::string> paths;
        for (const std::string& path :
             nlohmann::json::parse(text).get<std::vector<std::string>>()) {
            paths.push_back(unescapedBytes(path));
        }
        return paths;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::optional<uint64_t> parseUnsigned(const std::optional<std::string>& text) {
    return text ? parseNumber<uint64_t>(*text) : std::nullopt;
}

} // namespace nexdir::IndexMetadata
