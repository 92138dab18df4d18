#pragma once

// The SQL of one candidate query of a search (internal to the index store): which rows
// match a query's words, how they rank, and where candidates come from.

#include "IndexedEntry.h"

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nexdir::detail {

// The pieces of one pass's statement that do not depend on where candidates come from.
struct CandidateQuery {
    std::vector<std::string> tokenConditions; // in token order; the last one is own-name only
    std::string kindCondition;
    std::string groupingCondition; // empty when nothing is grouped
    std::string rankExpression;
    std::vector<std::string> parameters; // ?1 = query, then the tokens
};

CandidateQuery candidateQuery(const std::string& query, const std::vector<std::string>& tokens,
                              bool directories, const std::vector<int64_t>& groupedFolderIDs);

// Where a query's candidates come from, and the condition that narrows them: the trigram
// index for words of three or more characters, the range of names starting with a one- or
// two-character single word, or every entry. `parameter` is bound after the tokens.
struct CandidateSource {
    enum class Kind { fullText, prefixRange, everything };
    Kind kind;
    std::string from;
    std::string narrowing; // empty for everything
    std::string parameter; // the MATCH text or the range's upper bound
};

CandidateSource candidateSource(const std::string& query, const std::vector<std::string>& tokens);

// The range of names that start with `query`, with its bound as parameter tokenCount + 2.
CandidateSource prefixRangeSource(const std::string& query, size_t tokenCount);

// The full statement of one pass: conditions in the order tokens, kind, grouping, narrowing;
// ordered by kind, rank, name length, name and id.
std::string candidateStatement(const CandidateQuery& query, const std::string& from,
                               const std::string& narrowing, int limit);

std::vector<IndexedEntry> runCandidateStatement(sqlite3* reader, const std::string& text,
                                                const std::vector<std::string>& parameters);

std::string parameterName(size_t index);

} // namespace nexdir::detail
