#include "Ranking.h"

#include "Unicode.h"

#include <algorithm>

namespace nexdir::Ranking {

int score(const std::string& name, const std::string& query,
          const std::vector<std::string>& tokens) {
    auto contains = [](const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    };
    int value = 0;
    if (name == query) {
        value = queryEqual;
    } else if (name.starts_with(query)) {
        value = queryPrefix;
    } else if (contains(name, query)) {
        value = queryInside;
    }
    for (const std::string& token : tokens) {
        if (name == token) {
            value += wordEqual;
        } else if (name.starts_with(token)) {
            value += wordPrefix;
        } else if (contains(name, token)) {
            value += wordElsewhere;
        }
    }
    return value - int(std::min<size_t>(graphemeCount(name), size_t(lengthCap)));
}

} // namespace nexdir::Ranking
