#pragma once

// How well a name matches a query: the one home of the ranking weights. The statements, the
// in-memory ranking and the score shown with a result are all built from these.

#include <string>
#include <vector>

namespace nexdir::detail {
class QueryWords;
} // namespace nexdir::detail

namespace nexdir::Ranking {

// The whole query against the name: equal, a prefix of it, or inside it.
inline constexpr int queryEqual = 10000;
inline constexpr int queryPrefix = 8000;
inline constexpr int queryInside = 6000;
// Each word against the name; a word that is in no name only ranks through a folder above.
inline constexpr int wordEqual = 1000;
inline constexpr int wordPrefix = 700;
inline constexpr int wordElsewhere = 400;
// Shorter names first, counted up to this many characters.
inline constexpr int lengthCap = 200;

// The relevance shown with a result, of a normalised name for a normalised query and its
// words; its length is counted in user-perceived characters. Past the range of an int (a
// query of millions of words) it stays at the nearest end.
int score(const std::string& name, const std::string& query,
          const std::vector<std::string>& tokens);
int score(const std::string& name, const std::string& query, const detail::QueryWords& words);

} // namespace nexdir::Ranking
