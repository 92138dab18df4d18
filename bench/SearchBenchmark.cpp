// Search latency per query class over a synthetic index.
//
//   search-benchmark [--entries N] [--db PATH] [--queries K] [--compare] [--rebuild]
//                    [--while-measuring] [--results FILE]
//
// Builds (once, then reuses) an index of N synthetic entries written through upsert, then
// times K queries of each class, warm, limit 50, and prints p50/p95/p99 per class. With
// --compare, every class is also run with each pass's plain statement over all candidates,
// side by side in the same run. With --while-measuring, every file's size on disk is
// forgotten first and the queries run while a second thread measures them again as the
// panel's Large Files list does (256 files a batch, the 200 largest read once a second). With
// --results, every query and the paths it found, in order, are written to FILE, a line a
// query: two builds' files over one index must be the same.

#include "SyntheticTree.h"

#include "Clock.h"
#include "DispatchQueue.h"
#include "NameSearch.h"
#include "Query.h"
#include "SearchIndex.h"
#include "Unicode.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

using namespace quelmo::bench;
using nexdir::SearchIndex;

namespace {

struct QueryClass {
    std::string name;
    std::vector<std::string> queries;
};

// What an index built by this program holds beyond its entries; an older one is rebuilt.
const std::string benchFormat = "2";

// Modification times spread evenly over the three years before the build, so that date
// filters find from a few hundred entries (a day) to a third of them (a year).
double modifiedAt(size_t node, double builtAt) {
    uint64_t mixed = uint64_t(node) * 0x9E3779B97F4A7C15ull;
    return builtAt - double((mixed >> 20) % (3 * 365 * 86400));
}

void buildIndex(SearchIndex& index, const std::vector<SyntheticNode>& nodes) {
    double started = nexdir::uptimeSeconds();
    double builtAt = nexdir::unixSeconds();
    index.resetForFullScan();
    std::vector<int64_t> ids(nodes.size());
    std::vector<nexdir::FileRecord> batch;
    for (size_t i = 0; i < nodes.size(); ++i) {
        ids[i] = index.reserveID();
        const SyntheticNode& node = nodes[i];
        batch.emplace_back(
            ids[i], node.parent < 0 ? 0 : ids[size_t(node.parent)],
            node.parent < 0 ? "/bench" : node.name, node.isDirectory, modifiedAt(i, builtAt),
            node.size, node.isDirectory ? std::nullopt : std::optional<int64_t>(node.size), false);
        if (batch.size() == 2000) {
            index.upsert(batch);
            batch.clear();
        }
    }
    index.upsert(batch);
    double loaded = nexdir::uptimeSeconds();
    index.finishBulkLoad();
    index.markFullScanCompleted();
    index.setMetadata("benchEntries", std::to_string(nodes.size()));
    index.setMetadata("benchFormat", benchFormat);
    std::fprintf(stderr, "built index: %zu entries, %.1f s load + %.1f s indexes\n", nodes.size(),
                 loaded - started, nexdir::uptimeSeconds() - loaded);
}

// Pieces of a normalised name between separators, at least three characters long.
std::vector<std::string> words(const std::string& name) {
    std::vector<std::string> pieces;
    std::string current;
    for (char c : SearchIndex::normalize(name) + " ") {
        if (c == ' ' || c == '-' || c == '_' || c == '.') {
            if (nexdir::unicodeScalars(current).size() >= 3) {
                pieces.push_back(current);
            }
            current.clear();
        } else {
            current += c;
        }
    }
    return pieces;
}

std::string firstScalars(const std::string& name, size_t count) {
    auto scalars = nexdir::unicodeScalars(SearchIndex::normalize(name));
    std::string prefix;
    for (size_t i = 0; i < count && i < scalars.size(); ++i) {
        prefix += scalars[i];
    }
    return prefix;
}

// Filters alone, and each kind of filter and operator with a word of a file's name.
void addFilterClasses(std::vector<QueryClass>& classes, const std::vector<SyntheticNode>& nodes,
                      Random& random, size_t perClass) {
    const std::vector<std::string> extensions = {"pdf",  "jpg",    "png",  "txt",     "mp3",
                                                 "docx", "tar.gz", "heic", "jpg;png", "c;h"};
    const std::vector<std::string> sizes = {"size:>1gb",     "size:>10mb", "size:<1kb",
                                            "size:1kb..5mb", "size:0",     "size:>=4mb"};
    const std::vector<std::string> dates = {
        "dm:today", "dm:yesterday", "dm:week", "dm:<7d",
        "dm:month", "dm:2025-06",   "dm:>2y",  "dm:2024-01-01..2024-06-30"};
    const std::vector<std::string> patterns = {"*.pdf",    "*.jpg",    "IMG_1???*",
                                               "*.tar.gz", "*report*", "????*.txt"};
    auto fileWord = [&] {
        while (true) {
            const SyntheticNode& node = nodes[1 + random.below(nodes.size() - 1)];
            auto own = words(node.name);
            if (!node.isDirectory && !own.empty()) {
                return random.pick(own);
            }
        }
    };
    auto folderName = [&] {
        while (true) {
            const SyntheticNode& node = nodes[1 + random.below(nodes.size() - 1)];
            if (node.isDirectory && node.name.find('"') == std::string::npos) {
                return "in:\"" + node.name + "\"";
            }
        }
    };
    std::vector<QueryClass> added = {
        {"ext alone", {}},       {"size alone", {}},     {"date alone", {}},  {"ext + word", {}},
        {"size + word", {}},     {"date + word", {}},    {"kind + word", {}}, {"in + word", {}},
        {"wildcard + word", {}}, {"or + not + word", {}}};
    for (size_t i = 0; i < perClass; ++i) {
        added[0].queries.push_back("ext:" + random.pick(extensions));
        added[1].queries.push_back(random.pick(sizes));
        added[2].queries.push_back(random.pick(dates));
        added[3].queries.push_back("ext:" + random.pick(extensions) + " " + fileWord());
        added[4].queries.push_back(random.pick(sizes) + " " + fileWord());
        added[5].queries.push_back(random.pick(dates) + " " + fileWord());
        added[6].queries.push_back((random.below(2) ? "file: " : "folder: ") + fileWord());
        added[7].queries.push_back(folderName() + " " + fileWord());
        added[8].queries.push_back(fileWord() + " " + random.pick(patterns));
        added[9].queries.push_back(fileWord() + " " + fileWord() + " | " + fileWord() + " -" +
                                   fileWord());
    }
    classes.insert(classes.end(), added.begin(), added.end());
}

std::vector<QueryClass> makeQueries(const std::vector<SyntheticNode>& nodes, size_t perClass) {
    Random random(7);
    auto randomNode = [&](bool fileOnly, int minimumDepth) -> const SyntheticNode& {
        while (true) {
            const SyntheticNode& node = nodes[1 + random.below(nodes.size() - 1)];
            if ((!fileOnly || !node.isDirectory) && node.depth >= minimumDepth) {
                return node;
            }
        }
    };
    auto ancestorWord = [&](const SyntheticNode& node) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            int64_t ancestor = node.parent;
            size_t steps = random.below(size_t(node.depth - 1));
            for (size_t s = 0; s < steps && nodes[size_t(ancestor)].parent > 0; ++s) {
                ancestor = nodes[size_t(ancestor)].parent;
            }
            auto pieces = words(nodes[size_t(ancestor)].name);
            if (!pieces.empty()) {
                return random.pick(pieces);
            }
        }
        return std::string();
    };

    // The most common trigrams of real names in this tree.
    std::map<std::string, size_t> trigramCounts;
    for (size_t i = 0; i < 20000; ++i) {
        auto scalars = nexdir::unicodeScalars(SearchIndex::normalize(randomNode(false, 1).name));
        for (size_t s = 0; s + 3 <= scalars.size(); ++s) {
            std::string trigram = scalars[s] + scalars[s + 1] + scalars[s + 2];
            if (trigram.find(' ') == std::string::npos) {
                trigramCounts[trigram]++;
            }
        }
    }
    std::vector<std::pair<size_t, std::string>> common;
    for (const auto& [trigram, count] : trigramCounts) {
        common.emplace_back(count, trigram);
    }
    std::sort(common.rbegin(), common.rend());
    common.resize(std::min<size_t>(common.size(), 40));

    std::vector<QueryClass> classes = {
        {"one character", {}},   {"two characters", {}}, {"common trigram", {}}, {"rare word", {}},
        {"whole file name", {}}, {"two words", {}},      {"three words", {}},    {"no match", {}}};
    while (classes[0].queries.size() < perClass) {
        std::string q = firstScalars(randomNode(false, 1).name, 1);
        if (q != " ") {
            classes[0].queries.push_back(q);
        }
    }
    while (classes[1].queries.size() < perClass) {
        std::string q = firstScalars(randomNode(false, 1).name, 2);
        if (nexdir::whitespaceSeparatedWords(q).size() == 1 &&
            nexdir::unicodeScalars(q).size() == 2) {
            classes[1].queries.push_back(q);
        }
    }
    for (size_t i = 0; i < perClass; ++i) {
        classes[2].queries.push_back(random.pick(common).second);
        classes[3].queries.push_back(random.pick(rareWords()));
        classes[4].queries.push_back(randomNode(true, 1).name);
        std::string file;
        std::string first, second;
        do {
            const SyntheticNode& node = randomNode(true, 3);
            auto own = words(node.name);
            if (own.empty()) {
                continue;
            }
            file = random.pick(own);
            first = ancestorWord(node);
            second = ancestorWord(node);
        } while (file.empty() || first.empty() || second.empty());
        classes[5].queries.push_back(first + " " + file);
        classes[6].queries.push_back(second + " " + first + " " + file);
        classes[7].queries.push_back("zq" + std::string(1, char('a' + random.below(26))) + "xv" +
                                     std::to_string(random.below(100000)));
    }
    // These classes search for the words as they are: a word that the query language would
    // read as an operator or a filter ("-20", "a|b") is sent quoted.
    for (QueryClass& queryClass : classes) {
        for (std::string& query : queryClass.queries) {
            query = nexdir::literalQuery(query);
        }
    }
    addFilterClasses(classes, nodes, random, perClass);
    return classes;
}

// Anonymous resident memory: the heap, not the database pages mapped in while reading.
size_t residentBytes() {
    size_t kilobytes = 0;
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            if (std::sscanf(line, "RssAnon: %zu kB", &kilobytes) == 1) {
                break;
            }
        }
        std::fclose(status);
    }
    return kilobytes * 1024;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    size_t rank = size_t(std::ceil(p * double(values.size())));
    return values[std::min(values.size() - 1, rank == 0 ? 0 : rank - 1)];
}

void report(const std::string& label, const std::vector<double>& times, double meanResults) {
    std::printf("%-26s %5zu %9.2f %9.2f %9.2f %9.2f %8.1f\n", label.c_str(), times.size(),
                percentile(times, 0.50), percentile(times, 0.95), percentile(times, 0.99),
                *std::max_element(times.begin(), times.end()), meanResults);
}

std::vector<double> timeQueries(nexdir::NameSearch& names, const std::vector<std::string>& queries,
                                double& meanResults) {
    std::vector<double> times;
    size_t results = 0;
    for (const auto& query : queries) {
        uint64_t started = nexdir::uptimeNanoseconds();
        results += names.search(query, 50).results.size();
        times.push_back(double(nexdir::uptimeNanoseconds() - started) / 1e6);
    }
    meanResults = double(results) / double(queries.size());
    return times;
}

// Makes every file unmeasured, as an index written without sizes on disk holds them.
void forgetDiskUsage(const std::string& database) {
    sqlite3* db = nullptr;
    if (sqlite3_open(database.c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db, "UPDATE entries SET allocated_size = NULL WHERE is_directory = 0;",
                     nullptr, nullptr, nullptr) != SQLITE_OK ||
        // Otherwise the first queries would read through, and the measurement's first save
        // checkpoint, the log of a write to every row: a cost of this setup, not of measuring.
        sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE);", nullptr, nullptr, nullptr) !=
            SQLITE_OK) {
        std::fprintf(stderr, "could not forget the sizes: %s\n", sqlite3_errmsg(db));
        std::exit(1);
    }
    sqlite3_close(db);
}

// The Large Files list's measurement, on a queue of the same priority as the panel's, until
// it is destroyed.
class BackgroundMeasurement {
public:
    explicit BackgroundMeasurement(SearchIndex& index) {
        queue_.async([this, &index] {
            double lastRead = nexdir::uptimeSeconds();
            nexdir::measureUnmeasuredFiles(
                index, 256, [this] { return running_.load(); },
                [&](const nexdir::MeasurementTally& tally) {
                    checked_ = tally.checked;
                    if (nexdir::uptimeSeconds() - lastRead >= 1.0) {
                        index.largestFiles(200, 0, true);
                        lastRead = nexdir::uptimeSeconds();
                    }
                },
                true);
            finished_ = running_.load();
        });
    }
    ~BackgroundMeasurement() {
        running_ = false;
        queue_.sync([] {});
        std::printf("measured %lld files in the background meanwhile%s\n",
                    (long long)checked_.load(), finished_ ? " (all of them, before the end)" : "");
    }

private:
    std::atomic<bool> running_{true};
    std::atomic<int64_t> checked_{0};
    bool finished_ = false;
    nexdir::DispatchQueue queue_{"quelmo.allocations", nexdir::DispatchQueue::Priority::utility};
};

} // namespace

int main(int argc, char** argv) {
    size_t entries = 1'000'000;
    size_t perClass = 200;
    bool compare = false;
    bool rebuild = false;
    bool verbose = false;
    bool printQueries = false;
    bool whileMeasuring = false;
    uint64_t seed = 20261206;
    std::string database;
    std::string onlyClass;
    std::string resultsFile;
    std::vector<std::string> ownQueries;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--entries" && i + 1 < argc) {
            entries = std::stoull(argv[++i]);
        } else if (word == "--queries" && i + 1 < argc) {
            perClass = std::stoull(argv[++i]);
        } else if (word == "--db" && i + 1 < argc) {
            database = argv[++i];
        } else if (word == "--compare") {
            compare = true;
        } else if (word == "--class" && i + 1 < argc) {
            onlyClass = argv[++i];
        } else if (word == "--query" && i + 1 < argc) {
            ownQueries.push_back(argv[++i]);
        } else if (word == "--verbose") {
            verbose = true;
        } else if (word == "--rebuild") {
            rebuild = true;
        } else if (word == "--seed" && i + 1 < argc) {
            seed = std::stoull(argv[++i]);
        } else if (word == "--print-queries") {
            printQueries = true;
        } else if (word == "--while-measuring") {
            whileMeasuring = true;
        } else if (word == "--results" && i + 1 < argc) {
            resultsFile = argv[++i];
        } else {
            std::cerr
                << "usage: search-benchmark [--entries N] [--db PATH] [--queries K] "
                   "[--compare] [--rebuild] [--class NAME] [--verbose] [--seed S] "
                   "[--print-queries] [--while-measuring] [--results FILE] [--query TEXT]...\n";
            return 1;
        }
    }
    if (database.empty()) {
        database = "/tmp/quelmo-bench/search-" + std::to_string(entries) + ".sqlite3";
    }
    std::vector<SyntheticNode> nodes = generateTree(entries, seed);
    if (printQueries) {
        // The queries alone, "class<TAB>query" a line, for timing other programs on a tree that
        // make-tree wrote from the same entries and seed.
        for (const auto& queryClass : makeQueries(nodes, perClass)) {
            for (const auto& query : queryClass.queries) {
                std::printf("%s\t%s\n", queryClass.name.c_str(), query.c_str());
            }
        }
        return 0;
    }
    auto index = std::make_unique<SearchIndex>(database);
    if (rebuild || index->metadata("benchEntries") != std::to_string(entries) ||
        index->metadata("benchFormat") != benchFormat) {
        buildIndex(*index, nodes);
    }
    auto classes = makeQueries(nodes, perClass);
    if (!ownQueries.empty()) {
        // Queries of one's own, each timed as often as a class has queries: a class of its own.
        classes.clear();
        for (const std::string& query : ownQueries) {
            classes.push_back({query, std::vector<std::string>(perClass, query)});
        }
    }
    if (whileMeasuring) {
        // Written by a connection of its own, before the names are loaded: their copy would
        // otherwise be loaded again at the first query.
        forgetDiskUsage(database);
    }

    // What the names kept in memory for searching cost to load and to hold: from the rows,
    // as the first launch does, then from the names file an engine saves when it stops, as
    // every launch after a clean stop does.
    std::remove(index->namesFilePath().c_str()); // left by an earlier run
    size_t residentBefore = residentBytes();
    double loadStarted = nexdir::uptimeSeconds();
    auto rowNames = std::make_unique<nexdir::NameSearch>(*index);
    rowNames->prepare();
    double loadSeconds = nexdir::uptimeSeconds() - loadStarted;
    auto moreResident = [&] {
        return double(residentBytes() - std::min(residentBytes(), residentBefore)) / 1e6;
    };
    double loaded = moreResident();
    // What an idle engine keeps: the connections' caches and the heap's free room given back.
    index->releaseMemory();
    size_t catalogueBytes = rowNames->catalogueBytes();
    std::printf("search names loaded in %.2f s, %.1f MB more resident memory (%.1f MB once "
                "released as an idle engine does); the names hold %.1f MB, %.1f bytes per "
                "entry\n",
                loadSeconds, loaded, moreResident(), double(catalogueBytes) / 1e6,
                double(catalogueBytes) / double(std::max<size_t>(entries, 1)));
    double saveStarted = nexdir::uptimeSeconds();
    bool saved = rowNames->saveNames();
    double saveSeconds = nexdir::uptimeSeconds() - saveStarted;
    rowNames.reset();
    double fileStarted = nexdir::uptimeSeconds();
    nexdir::NameSearch names(*index);
    names.prepare();
    double fileSeconds = nexdir::uptimeSeconds() - fileStarted;
    if (!saved || names.namesFileLoads() != 1) {
        std::fprintf(stderr, "the names file was not saved or not loaded (see the debug log)\n");
        return 1;
    }
    std::printf("search names loaded from the names file in %.2f s (from the rows: %.2f s), "
                "saved in %.2f s\n",
                fileSeconds, loadSeconds, saveSeconds);

    // Warm the page cache and SQLite's own cache with a pass that is not timed.
    for (const auto& queryClass : classes) {
        for (size_t i = 0; i < queryClass.queries.size(); i += 4) {
            names.search(queryClass.queries[i], 50);
        }
    }
    if (!resultsFile.empty()) {
        FILE* out = std::fopen(resultsFile.c_str(), "w");
        if (!out) {
            std::perror(resultsFile.c_str());
            return 1;
        }
        for (const auto& queryClass : classes) {
            for (const auto& query : queryClass.queries) {
                std::fprintf(out, "%s", query.c_str());
                for (const auto& result : names.search(query, 50).results) {
                    std::fprintf(out, "\t%s", result.path.c_str());
                }
                std::fprintf(out, "\n");
            }
        }
        std::fclose(out);
    }
    std::unique_ptr<BackgroundMeasurement> measurement;
    if (whileMeasuring) {
        measurement = std::make_unique<BackgroundMeasurement>(*index);
    }
    std::printf("%zu entries, limit 50, times in ms%s\n", entries,
                whileMeasuring ? ", while the sizes on disk are measured" : "");
    std::printf("%-26s %5s %9s %9s %9s %9s %8s\n", "class", "n", "p50", "p95", "p99", "max",
                "results");
    for (const auto& queryClass : classes) {
        if (!onlyClass.empty() && queryClass.name != onlyClass) {
            continue;
        }
        if (verbose) {
            for (const auto& query : queryClass.queries) {
                uint64_t started = nexdir::uptimeNanoseconds();
                size_t count = names.search(query, 50).results.size();
                std::printf("  %8.2f ms %3zu  %s\n",
                            double(nexdir::uptimeNanoseconds() - started) / 1e6, count,
                            query.c_str());
            }
        }
        double meanResults = 0;
        auto times = timeQueries(names, queryClass.queries, meanResults);
        report(queryClass.name, times, meanResults);
        if (compare) {
            nexdir::NameSearch::setRankedScan(false);
            auto plain = timeQueries(names, queryClass.queries, meanResults);
            report(queryClass.name + " (plain)", plain, meanResults);
            nexdir::NameSearch::setRankedScan(true);
        }
    }
    return 0;
}
