#include "EventActivity.h"

#include "EventPaths.h"
#include "Paths.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace nexdir {

void EventActivity::record(const std::vector<FileSystemEvent>& batch) {
    for (const FileSystemEvent& event : batch) {
        if (event.isBufferDrop()) {
            drops += 1;
        }
        std::string path = eventPathIn(event.path, root);
        if (event.isBufferDrop() || event.isHistoryDone() || path == root ||
            !isAtOrUnder(path, root)) {
            unassigned += 1;
            continue;
        }
        std::string_view rest(path);
        rest.remove_prefix(root == "/" ? 1 : root.size() + 1);
        while (rest.starts_with("/")) {
            rest.remove_prefix(1);
        }
        if (rest.empty()) {
            unassigned += 1;
            continue;
        }
        std::string child(rest.substr(0, rest.find('/')));
        if (children.count(child) || int(children.size()) < limit) {
            children[child] += 1;
        } else {
            other += 1;
        }
    }
    total += int64_t(batch.size());
}

std::string EventActivity::summary() const {
    try {
        std::vector<std::pair<std::string, int64_t>> busiest(children.begin(), children.end());
        std::sort(busiest.begin(), busiest.end(), [](const auto& a, const auto& b) {
            return a.second != b.second ? a.second > b.second : a.first < b.first;
        });
        nlohmann::json top = nlohmann::json::array();
        for (size_t i = 0; i < busiest.size() && i < 8; ++i) {
            top.push_back({{"events", busiest[i].second}, {"name", busiest[i].first}});
        }
        nlohmann::json object = {{"delivered", total},
                                 {"drops", drops},
                                 {"other", other},
                                 {"topTrackedChildren", top},
                                 {"unassigned", unassigned}};
        return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (...) {
        return "{}";
    }
}

void EventActivity::reset() {
    total = drops = unassigned = other = 0;
    children.clear();
}

} // namespace nexdir
