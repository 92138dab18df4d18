#include "Arguments.h"

#include "Clock.h"
#include "DataDirectory.h"
#include "QueryProtocol.h"
#include "SearchIndex.h"

#include <cstdio>
#include <iostream>

namespace quelmo::cli {

namespace {

// The files the index has never measured, measured batch by batch and saved where their rows
// are still the files measured; progress on stderr at most twice a second.
void measureUnmeasured(nexdir::SearchIndex& index) {
    ProgressPace pace(nexdir::uptimeSeconds());
    nexdir::MeasurementTally tally = nexdir::measureUnmeasuredFiles(
        index, 1000, [] { return true; },
        [&pace](const nexdir::MeasurementTally& sofar) {
            if (pace.due()) {
                std::fprintf(stderr, "measured %lld of %lld files checked\n",
                             (long long)sofar.saved, (long long)sofar.checked);
            }
        });
    std::fprintf(stderr, "measured %lld of %lld unmeasured files\n", (long long)tally.saved,
                 (long long)tally.checked);
}

} // namespace

int runLargest(Arguments arguments) {
    std::string database = nexdir::defaultIndexPath();
    long long limit = 50;
    long long minimumSize = 0;
    bool byDiskUsage = true;
    bool measure = false;
    bool direct = false;
    bool verbose = false;
    while (!arguments.empty()) {
        std::string word = arguments.next();
        if (word == "--db") {
            database = arguments.value(word);
        } else if (word == "--limit") {
            limit = arguments.integerValue(word);
        } else if (word == "--min-size") {
            minimumSize = arguments.integerValue(word);
        } else if (word == "--by") {
            std::string order = arguments.value(word);
            if (order != "size" && order != "disk") {
                throw UsageError("--by takes size or disk, not \"" + order + "\"");
            }
            byDiskUsage = order == "disk";
        } else if (word == "--measure") {
            measure = true;
        } else if (word == "--direct") {
            direct = true;
        } else if (word == "--verbose") {
            verbose = true;
        } else {
            throw UsageError("unknown argument for largest: " + word);
        }
    }
    nexdir::SearchResponse response;
    if (measure) {
        // Measuring writes the sizes into the index: it is read here, never asked of an engine.
        requireIndex(database);
        nexdir::SearchIndex index(database);
        measureUnmeasured(index);
        response = index.largestFiles(limit, minimumSize, byDiskUsage);
    } else {
        nexdir::QueryRequest request;
        request.mode = nexdir::QueryRequest::Mode::largestFiles;
        request.limit = limit;
        request.minimumSize = minimumSize;
        request.rankedByDiskUsage = byDiskUsage;
        response = answerQuery(request, database, direct, verbose);
    }

    std::string output;
    for (const nexdir::SearchResult& file : response.results) {
        output += file.allocatedSize ? std::to_string(*file.allocatedSize) : "-";
        output += '\t';
        output += std::to_string(file.size);
        output += '\t';
        output += file.path;
        output += '\n';
    }
    std::fwrite(output.data(), 1, output.size(), stdout);
    std::fflush(stdout);
    std::fprintf(stderr, "%zu %s \u2022 %.2f ms\n", response.results.size(),
                 response.results.size() == 1 ? "file" : "files", response.durationMilliseconds);
    return 0;
}

} // namespace quelmo::cli
