#include "Arguments.h"

#include "DataDirectory.h"
#include "NameSearch.h"
#include "SearchIndex.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace quelmo::cli {

int runSearch(Arguments arguments) {
    std::string database = nexdir::defaultIndexPath();
    long long limit = 50;
    std::string query;
    bool haveWord = false;
    while (!arguments.empty()) {
        std::string word = arguments.next();
        if (word == "--db") {
            database = arguments.value(word);
        } else if (word == "--limit") {
            limit = arguments.integerValue(word);
        } else {
            if (word == "--") {
                if (arguments.empty()) {
                    break;
                }
                word = arguments.next();
            }
            query += (haveWord ? " " : "") + word;
            haveWord = true;
        }
    }
    if (!haveWord) {
        throw UsageError("search needs a query");
    }
    // Searching must not create an index where there is none, nor set a damaged one aside.
    struct stat info {};
    if (stat(database.c_str(), &info) != 0) {
        throw std::runtime_error("No index at " + database + ". Build one with quelmo-cli scan.");
    }
    nexdir::SearchIndex index(database);
    nexdir::NameSearch names(index);
    // One search per process: loading every name into memory would cost more than it saves.
    names.setNameCatalogueEnabled(false);
    int clampedLimit = int(std::clamp<long long>(limit, -1, 1000));
    nexdir::SearchResponse response = names.search(query, clampedLimit);

    std::string output;
    for (const nexdir::SearchResult& result : response.results) {
        output += result.isDirectory ? 'd' : 'f';
        output += '\t';
        output += std::to_string(result.score);
        output += '\t';
        output += result.path;
        output += '\n';
    }
    std::fwrite(output.data(), 1, output.size(), stdout);
    std::fflush(stdout);
    char timing[64];
    std::snprintf(timing, sizeof timing, "%.2f", response.durationMilliseconds);
    std::cerr << response.results.size() << (response.results.size() == 1 ? " result" : " results")
              << " \u2022 " << timing << " ms\n";
    return 0;
}

} // namespace quelmo::cli
