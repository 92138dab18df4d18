#include "SearchResult.h"

#include "DataDirectory.h"
#include "Paths.h"

namespace nexdir {

namespace {

bool isTrashComponent(std::string_view component) {
    if (component == ".Trash" || component == ".Trashes") {
        return true;
    }
    // A freedesktop volume Trash is ".Trash-" followed by the owner's numeric uid.
    constexpr std::string_view volumeTrash = ".Trash-";
    if (component.size() <= volumeTrash.size() || !component.starts_with(volumeTrash)) {
        return false;
    }
    for (char c : component.substr(volumeTrash.size())) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

} // namespace

SearchResult SearchResult::from(const IndexedEntry& entry, std::string path) {
    SearchResult result;
    result.id = entry.id;
    result.name = entry.name.size() > 1 && entry.name.front() == '/' ? lastPathComponent(entry.name)
                                                                     : entry.name;
    result.path = std::move(path);
    result.isDirectory = entry.isDirectory;
    result.modifiedAt = entry.modifiedAt;
    result.size = entry.size;
    if (entry.allocatedSize && *entry.allocatedSize >= 0) {
        result.allocatedSize = entry.allocatedSize;
    }
    result.isDataless = entry.isDataless;
    return result;
}

std::vector<SearchResult> SearchResult::fromRows(const std::vector<IndexedEntry>& entries,
                                                 std::unordered_map<int64_t, std::string> paths) {
    std::vector<SearchResult> results;
    results.reserve(entries.size());
    for (const IndexedEntry& entry : entries) {
        auto path = paths.find(entry.id);
        if (path != paths.end()) {
            results.push_back(from(entry, std::move(path->second)));
        }
    }
    return results;
}

bool SearchResult::isInTrash() const {
    std::string_view rest = path;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        if (isTrashComponent(rest.substr(0, slash))) {
            return true;
        }
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    std::string homeTrash = localTrashDirectory();
    return path != homeTrash && isAtOrUnder(path, homeTrash);
}

} // namespace nexdir
