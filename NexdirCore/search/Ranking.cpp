#include "Ranking.h"

#include "QueryWords.h"
#include "Unicode.h"

#include <algorithm>
#include <limits>

namespace nexdir::Ranking {

int score(const std::string& name, const std::string& query,
          const std::vector<std::string>& tokens) {
    return score(name, query, detail::QueryWords(tokens));
}

int score(const std::string& name, const std::string& query, const detail::QueryWords& words) {
    int64_t value = 0;
    if (name == query) {
        value = queryEqual;
    } else if (name.starts_with(query)) {
        value = queryPrefix;
    } else if (name.find(query) != std::string::npos) {
        value = queryInside;
    }
    value += words.wordScore(name);
    value -= int64_t(std::min<size_t>(graphemeCount(name), size_t(lengthCap)));
    return int(std::clamp<int64_t>(value, std::numeric_limits<int>::min(),
                                   std::numeric_limits<int>::max()));
}

} // namespace nexdir::Ranking
