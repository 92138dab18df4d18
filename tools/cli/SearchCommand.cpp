#include "Arguments.h"

#include "Clock.h"
#include "DataDirectory.h"
#include "NameSearch.h"
#include "Query.h"
#include "QueryEndpoint.h"
#include "SearchIndex.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <optional>

namespace quelmo::cli {

std::string searchHelp() {
    std::string help =
        "usage: quelmo-cli search [--db PATH] [--limit N] [--long] [-0|--null] [--direct] "
        "[--verbose] QUERY...\n\n"
        "Matching paths, one a line, folders first, best matches first; exit status 1 when\n"
        "nothing matched, 2 on an error (a query it cannot read says why). A query of one or two\n"
        "characters finds names that start with it; a longer one names that hold every word.\n\n"
        "Filters and operators (quote the query for the shell):\n";
    size_t width = 0;
    for (const nexdir::QueryHelpLine& line : nexdir::queryHelp()) {
        width = std::max(width, std::string(line.example).size());
    }
    for (const nexdir::QueryHelpLine& line : nexdir::queryHelp()) {
        std::string example = line.example;
        help += "  " + example + std::string(width - example.size() + 2, ' ') + line.meaning + "\n";
    }
    return help;
}

nexdir::SearchResponse answerQuery(nexdir::QueryRequest request, const std::string& database,
                                   bool direct, bool verbose) {
    request.indexPath = nexdir::canonicalIndexPath(database);
    std::string why = "--direct";
    std::optional<nexdir::QueryAnswer> answer;
    if (!direct) {
        answer = nexdir::askQueryEndpoint(request, why);
    }
    if (answer) {
        if (verbose) {
            std::cerr << "answered by the running engine of " << request.indexPath << "\n";
        }
    } else {
        if (verbose) {
            std::cerr << "read " << database << " directly (" << why << ")\n";
        }
        auto index = openForReading(database);
        answer.emplace();
        answer->indexComplete = index->hasCompletedFullScan();
        if (request.mode == nexdir::QueryRequest::Mode::largestFiles) {
            answer->response =
                index->largestFiles(request.limit, request.minimumSize, request.rankedByDiskUsage);
        } else {
            nexdir::NameSearch names(*index);
            // One search per process: loading every name into memory would cost more than it
            // saves.
            names.setNameCatalogueEnabled(false);
            answer->response = names.search(request.query, int(request.limit));
        }
    }
    if (!answer->indexComplete) {
        std::cerr << "quelmo-cli: the index holds no complete scan yet: results may be missing\n";
    }
    return answer->response;
}

int runSearch(Arguments arguments) {
    std::string database = nexdir::defaultIndexPath();
    nexdir::QueryRequest request;
    bool haveWord = false;
    bool optionsEnded = false;
    bool direct = false;
    bool verbose = false;
    bool longFormat = false;
    char separator = '\n';
    while (!arguments.empty()) {
        std::string word = arguments.next();
        if (!optionsEnded && word == "--") {
            optionsEnded = true; // every later word is part of the query, "-0" included
        } else if (optionsEnded || !(word.starts_with("--") || word == "-0")) {
            request.query += (haveWord ? " " : "") + word;
            haveWord = true;
        } else if (word == "--db") {
            database = arguments.value(word);
        } else if (word == "--limit") {
            request.limit = std::min<long long>(arguments.integerValue(word), 1000);
        } else if (word == "--direct") {
            direct = true;
        } else if (word == "--verbose") {
            verbose = true;
        } else if (word == "--long") {
            longFormat = true;
        } else if (word == "-0" || word == "--null") {
            separator = '\0';
        } else {
            throw UsageError("unknown option for search: " + word);
        }
    }
    if (!haveWord) {
        throw UsageError("search needs a query");
    }
    // A query it cannot read is refused here, whoever would answer it.
    nexdir::parseQuery(request.query, nexdir::unixSeconds());
    nexdir::SearchResponse response = answerQuery(request, database, direct, verbose);

    std::string output;
    for (const nexdir::SearchResult& result : response.results) {
        if (longFormat) {
            output += result.isDirectory ? 'd' : 'f';
            output += '\t';
            output += std::to_string(result.score);
            output += '\t';
        }
        output += result.path;
        output += separator;
    }
    std::fwrite(output.data(), 1, output.size(), stdout);
    std::fflush(stdout);
    if (longFormat || verbose) {
        char timing[64];
        std::snprintf(timing, sizeof timing, "%.2f", response.durationMilliseconds);
        std::cerr << response.results.size()
                  << (response.results.size() == 1 ? " result" : " results") << " \u2022 " << timing
                  << " ms\n";
    }
    // As locate: nothing found is a failure a script can test.
    return response.results.empty() ? 1 : 0;
}

} // namespace quelmo::cli
