#include "CandidateQuery.h"

#include "Ranking.h"
#include "SQLite.h"
#include "Unicode.h"

#include <unordered_set>

namespace nexdir::detail {

namespace {

// The first code point past every valid one: q followed by it bounds the names starting
// with q.
constexpr const char* highestScalar = "\xF4\x8F\xBF\xBF";

// The FTS5 text asking for every distinct trigram of `words`, each quoted.
std::string trigramMatchText(const std::vector<std::string>& words) {
    std::vector<std::string> trigrams;
    std::unordered_set<std::string> seen;
    for (const std::string& word : words) {
        std::vector<std::string> scalars = unicodeScalars(word);
        for (size_t i = 0; i + 3 <= scalars.size(); ++i) {
            std::string trigram = scalars[i] + scalars[i + 1] + scalars[i + 2];
            if (seen.insert(trigram).second) {
                trigrams.push_back(std::move(trigram));
            }
        }
    }
    std::string text;
    for (const std::string& trigram : trigrams) {
        if (!text.empty()) {
            text += " AND ";
        }
        text += '"';
        for (char c : trigram) {
            text += c;
            if (c == '"') {
                text += '"';
            }
        }
        text += '"';
    }
    return text;
}

std::string number(int value) {
    return std::to_string(value);
}

} // namespace

std::string parameterName(size_t index) {
    return "?" + std::to_string(index);
}

CandidateQuery candidateQuery(const std::string& query, const std::vector<std::string>& tokens,
                              bool directories, const std::vector<int64_t>& groupedFolderIDs) {
    CandidateQuery built;
    built.parameters.push_back(query);
    std::string tokenTerms;
    for (size_t i = 0; i < tokens.size(); ++i) {
        std::string p = parameterName(i + 2);
        built.parameters.push_back(tokens[i]);
        if (i + 1 == tokens.size()) {
            built.tokenConditions.push_back("instr(e.search_name, " + p + ") > 0");
        } else {
            // All words but the last may instead be in the name of any folder above.
            built.tokenConditions.push_back(
                "(instr(e.search_name, " + p +
                ") > 0 OR EXISTS (\n    WITH RECURSIVE ancestors(id, parent_id, search_name) AS "
                "(\n        SELECT id, parent_id, search_name FROM entries WHERE id = "
                "e.parent_id\n        UNION ALL SELECT p.id, p.parent_id, p.search_name FROM "
                "entries p JOIN ancestors a ON p.id = a.parent_id\n    ) SELECT 1 FROM ancestors "
                "WHERE instr(search_name, " +
                p + ") > 0\n))");
        }
        if (!tokenTerms.empty()) {
            tokenTerms += " + ";
        }
        tokenTerms += "CASE WHEN e.search_name = " + p + " THEN " + number(Ranking::wordEqual) +
                      " WHEN instr(e.search_name, " + p + ") = 1 THEN " +
                      number(Ranking::wordPrefix) + " ELSE " + number(Ranking::wordElsewhere) +
                      " END";
    }
    built.kindCondition = std::string("e.is_directory = ") + (directories ? "1" : "0");
    if (!groupedFolderIDs.empty()) {
        // A file anywhere below a folder already listed is not listed again.
        built.groupingCondition =
            "NOT EXISTS (\n    WITH RECURSIVE ancestors(id) AS (\n        SELECT e.parent_id\n     "
            "   UNION ALL SELECT p.parent_id FROM entries p JOIN ancestors a ON p.id = a.id\n    ) "
            "SELECT 1 FROM ancestors WHERE id IN (" +
            sql::joinedIDs(groupedFolderIDs) + ")\n)";
    }
    built.rankExpression = "(CASE WHEN e.search_name = ?1 THEN " + number(Ranking::queryEqual) +
                           "\n      WHEN instr(e.search_name, ?1) = 1 THEN " +
                           number(Ranking::queryPrefix) +
                           "\n      WHEN instr(e.search_name, ?1) > 0 THEN " +
                           number(Ranking::queryInside) + " ELSE 0 END\n + " + tokenTerms +
                           " - min(length(e.search_name), " + number(Ranking::lengthCap) + "))";
    return built;
}

std::string candidateStatement(const CandidateQuery& query, const std::string& source,
                               const std::string& narrowing, int limit) {
    std::vector<std::string> conditions = query.tokenConditions;
    conditions.push_back(query.kindCondition);
    if (!query.groupingCondition.empty()) {
        conditions.push_back(query.groupingCondition);
    }
    if (!narrowing.empty()) {
        conditions.push_back(narrowing);
    }
    std::string where;
    for (const std::string& condition : conditions) {
        if (!where.empty()) {
            where += " AND ";
        }
        where += condition;
    }
    return "SELECT e.id, e.name, e.is_directory, e.modified_at, e.size, e.allocated_size, "
           "e.is_dataless\nFROM " +
           source + " WHERE " + where + "\nORDER BY e.is_directory DESC, " + query.rankExpression +
           " DESC, length(e.name), e.name, e.id\nLIMIT " + std::to_string(limit) + ";";
}

std::vector<IndexedEntry> runCandidateStatement(sqlite3* reader, const std::string& text,
                                                const std::vector<std::string>& parameters) {
    sql::Statement statement(reader, text);
    for (size_t i = 0; i < parameters.size(); ++i) {
        statement.bindText(int(i + 1), parameters[i]);
    }
    return sql::readEntries(statement);
}
CandidateSource candidateSource(const std::string& query, const std::vector<std::string>& tokens) {
    // Trigrams come from every word of a one-word query, otherwise from the last word only:
    // the other words may be matched by a folder above instead.
    std::string matchText =
        trigramMatchText(tokens.size() == 1 ? tokens : std::vector<std::string>{tokens.back()});
    size_t next = tokens.size() + 2;
    if (!matchText.empty()) {
        return {CandidateSource::Kind::fullText,
                "entries_fts JOIN entries AS e ON e.id = entries_fts.rowid",
                "entries_fts MATCH " + parameterName(next), matchText};
    }
    if (tokens.size() == 1) {
        return prefixRangeSource(query, tokens.size());
    }
    return {CandidateSource::Kind::everything, "entries AS e", "", ""};
}

CandidateSource prefixRangeSource(const std::string& query, size_t tokenCount) {
    return {CandidateSource::Kind::prefixRange, "entries AS e",
            "e.search_name >= ?1 AND e.search_name < " + parameterName(tokenCount + 2),
            query + highestScalar};
}

} // namespace nexdir::detail
