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

// The FTS5 text asking for every distinct trigram of `word`, each quoted.
std::string trigramMatchText(const std::string& word) {
    std::vector<std::string> trigrams;
    std::unordered_set<std::string> seen;
    std::vector<std::string> scalars = unicodeScalars(word);
    for (size_t i = 0; i + 3 <= scalars.size(); ++i) {
        std::string trigram = scalars[i] + scalars[i + 1] + scalars[i + 2];
        if (seen.insert(trigram).second) {
            trigrams.push_back(std::move(trigram));
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

// `text` as a JSON string. The words are normalised, so valid UTF-8, which JSON carries as
// it is; json_each gives back exactly these bytes.
void appendJSONString(std::string& json, std::string_view text) {
    json += '"';
    for (char c : text) {
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (uint8_t(c) < 0x20) {
            static const char hex[] = "0123456789abcdef";
            json += "\\u00";
            json += hex[uint8_t(c) >> 4];
            json += hex[uint8_t(c) & 0xF];
        } else {
            json += c;
        }
    }
    json += '"';
}

std::string earlierWordsJSON(const QueryWords& words) {
    std::string json = "[";
    for (const std::string& word : words.earlier()) {
        if (json.size() > 1) {
            json += ',';
        }
        appendJSONString(json, word);
    }
    return json + "]";
}

std::string wordCountsJSON(const QueryWords& words) {
    std::string json = "{";
    for (const QueryWords::Word& word : words.distinct()) {
        if (json.size() > 1) {
            json += ',';
        }
        appendJSONString(json, word.text);
        json += ':' + std::to_string(word.occurrences);
    }
    return json + "}";
}

} // namespace

std::string parameterName(int index) {
    return "?" + std::to_string(index);
}

CandidateQuery candidateQuery(const std::string& query, const QueryWords& words, bool directories,
                              const std::vector<int64_t>& groupedFolderIDs) {
    CandidateQuery built;
    built.parameters = {query, words.last(), earlierWordsJSON(words), wordCountsJSON(words)};
    built.lastWordCondition = "instr(e.search_name, " + parameterName(lastWordParameter) + ") > 0";
    if (!words.earlier().empty()) {
        // Every earlier word is in the name or in the name of a folder above.
        built.earlierWordsCondition =
            "NOT EXISTS (\n    SELECT 1 FROM earlier_words w\n"
            "    WHERE instr(e.search_name, w.word) = 0 AND NOT EXISTS (\n"
            "        WITH RECURSIVE ancestors(id, parent_id, search_name) AS (\n"
            "            SELECT id, parent_id, search_name FROM entries WHERE id = e.parent_id\n"
            "            UNION ALL SELECT p.id, p.parent_id, p.search_name\n"
            "            FROM entries p JOIN ancestors a ON p.id = a.parent_id\n"
            "        ) SELECT 1 FROM ancestors WHERE instr(search_name, w.word) > 0\n))";
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
    std::string q = parameterName(queryParameter);
    built.rankExpression =
        "(CASE WHEN e.search_name = " + q + " THEN " + number(Ranking::queryEqual) +
        "\n      WHEN instr(e.search_name, " + q + ") = 1 THEN " + number(Ranking::queryPrefix) +
        "\n      WHEN instr(e.search_name, " + q + ") > 0 THEN " + number(Ranking::queryInside) +
        " ELSE 0 END\n + (SELECT sum(w.occurrences * CASE WHEN e.search_name = w.word THEN " +
        number(Ranking::wordEqual) + " WHEN instr(e.search_name, w.word) = 1 THEN " +
        number(Ranking::wordPrefix) + " ELSE " + number(Ranking::wordElsewhere) +
        " END) FROM query_words w)\n - min(length(e.search_name), " + number(Ranking::lengthCap) +
        "))";
    return built;
}

std::string candidateStatement(const CandidateQuery& query, const std::string& source,
                               const std::string& narrowing, int limit) {
    std::vector<std::string> conditions = {query.lastWordCondition};
    for (const std::string* condition : {&query.earlierWordsCondition, &query.kindCondition,
                                         &query.groupingCondition, &narrowing}) {
        if (!condition->empty()) {
            conditions.push_back(*condition);
        }
    }
    std::string where;
    for (const std::string& condition : conditions) {
        if (!where.empty()) {
            where += " AND ";
        }
        where += condition;
    }
    // Materialised, the words are read from their JSON once per statement, not once per row.
    return "WITH earlier_words(word) AS MATERIALIZED (\n    SELECT value FROM json_each(" +
           parameterName(earlierWordsParameter) +
           ")),\nquery_words(word, occurrences) AS MATERIALIZED (\n    SELECT key, value FROM "
           "json_each(" +
           parameterName(wordCountsParameter) +
           "))\nSELECT e.id, e.name, e.is_directory, e.modified_at, e.size, e.allocated_size, "
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
CandidateSource candidateSource(const std::string& query, const QueryWords& words) {
    // Trigrams come from the last word only: the other words may be matched by a folder above
    // instead.
    std::string matchText = trigramMatchText(words.last());
    if (!matchText.empty()) {
        return {CandidateSource::Kind::fullText,
                "entries_fts JOIN entries AS e ON e.id = entries_fts.rowid",
                "entries_fts MATCH " + parameterName(sourceParameter), matchText};
    }
    if (words.occurrences() == 1) {
        return prefixRangeSource(query);
    }
    return {CandidateSource::Kind::everything, "entries AS e", "", ""};
}

CandidateSource prefixRangeSource(const std::string& query) {
    return {CandidateSource::Kind::prefixRange, "entries AS e",
            "e.search_name >= " + parameterName(queryParameter) + " AND e.search_name < " +
                parameterName(sourceParameter),
            query + highestScalar};
}

} // namespace nexdir::detail
