#pragma once

// The SQL of one candidate query of a search (internal to the index store): which rows
// match a query's words, how they rank, and where candidates come from.
//
// The words reach every statement as data: two JSON texts bound as parameters and read with
// json_each. A statement's text, expression depth and parameter count are then the same for
// a query of one word and of a hundred thousand. One condition and one rank term per word
// stopped SQLite at about 990 words (expression depth 1000); measured over 100,000 entries,
// 40,000 words spent up to 3 s and 105 MB before failing, and as data take 10 to 350 ms and
// under 15 MB.

#include "IndexedEntry.h"
#include "QueryWords.h"

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nexdir::detail {

// The parameters of every candidate statement; a statement binds the ones it names.
enum CandidateParameter : int {
    queryParameter = 1,        // the whole query
    lastWordParameter = 2,     // the word the name must hold
    earlierWordsParameter = 3, // QueryWords::earlier() as a JSON array
    wordCountsParameter = 4,   // every distinct word and its occurrences as a JSON object
    sourceParameter = 5,       // CandidateSource::parameter
};

// The pieces of one pass's statement that do not depend on where candidates come from.
struct CandidateQuery {
    std::string lastWordCondition;
    std::string earlierWordsCondition; // empty when there is no earlier word
    std::string kindCondition;
    std::string groupingCondition; // empty when nothing is grouped
    std::string rankExpression;
    std::vector<std::string> parameters; // from ?1 on, in CandidateParameter order
};

CandidateQuery candidateQuery(const std::string& query, const QueryWords& words, bool directories,
                              const std::vector<int64_t>& groupedFolderIDs);

// Where a query's candidates come from, and the condition that narrows them: the trigram
// index for words of three or more characters, the range of names starting with a one- or
// two-character single word, or every entry. `parameter` is bound as sourceParameter.
struct CandidateSource {
    enum class Kind { fullText, prefixRange, everything };
    Kind kind;
    std::string from;
    std::string narrowing; // empty for everything
    std::string parameter; // the MATCH text or the range's upper bound
};

CandidateSource candidateSource(const std::string& query, const QueryWords& words);

// The range of names that start with `query` (queryParameter).
CandidateSource prefixRangeSource(const std::string& query);

// The full statement of one pass: conditions in the order last word, earlier words, kind,
// grouping, narrowing; ordered by kind, rank, name length, name and id.
std::string candidateStatement(const CandidateQuery& query, const std::string& from,
                               const std::string& narrowing, int limit);

std::vector<IndexedEntry> runCandidateStatement(sqlite3* reader, const std::string& text,
                                                const std::vector<std::string>& parameters);

std::string parameterName(int index);

} // namespace nexdir::detail
