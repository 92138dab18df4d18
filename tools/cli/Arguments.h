#pragma once

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nexdir {
class SearchIndex;
struct SearchResponse;
struct QueryRequest;
} // namespace nexdir

namespace quelmo::cli {

// A mistake on the command line; main prints it with the usage and exits 1 (search: 2).
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The words after the command name, consumed front to back.
class Arguments {
public:
    explicit Arguments(std::vector<std::string> words) : words_(std::move(words)) {}

    bool empty() const { return position_ >= words_.size(); }
    const std::string& peek() const { return words_[position_]; }
    std::string next() { return words_[position_++]; }

    // The value after an option such as --db; missing → UsageError.
    std::string value(const std::string& option);
    // A count, a size or a duration: negative → UsageError.
    long long integerValue(const std::string& option);

private:
    std::vector<std::string> words_;
    size_t position_ = 0;
};

// The pace of progress lines on stderr: at most two a second, the first at once (or half a
// second after `last`).
class ProgressPace {
public:
    explicit ProgressPace(double last = 0) : last_(last) {}
    // True when a line is due now; the next is then due half a second later.
    bool due();

private:
    double last_;
};

// The index of a command whose only option is --db: the application's index by default.
std::string onlyDatabase(Arguments& arguments, const std::string& command);

// The folder that holds `database`, standardised.
std::string dataDirectoryOf(const std::string& database);

// The folder no walk of `roots` enters: the application's data directory, unless it holds one
// of the roots. An index kept elsewhere (--db) is left out by its own files alone, so that an
// index kept beside or inside the tree it describes leaves the rest of its folder indexed.
std::optional<std::string> dataDirectoryFor(const std::vector<std::string>& roots);

// The one engine that writes the index at `database`: the application's single-instance lock
// in the index's folder, held until the returned lock is destroyed. Taken by quelmo-cli watch
// and by every command that adds or removes entries, so none of them does beside a running
// application (largest --measure only fills in sizes, which is safe beside one). `command`
// names the holder in the lock; when another holds it, the refusal says who: a command to
// wait for, or an engine to quit before quelmo-cli `command`.
std::shared_ptr<void> claimIndex(const std::string& database, const std::string& command);
// The file of the index at `database`, which a command that writes the index needs: only a
// scan creates one. Throws "No index at …" when it cannot be found.
struct stat requireIndex(const std::string& database);
// The index at `database` opened to be read only, never created, upgraded or set aside.
std::unique_ptr<nexdir::SearchIndex> openForReading(const std::string& database);

// The answer of the engine that keeps `database` live, or, when none answers (or `direct`),
// of the index read here. `verbose` says on stderr which answered.
nexdir::SearchResponse answerQuery(nexdir::QueryRequest request, const std::string& database,
                                   bool direct, bool verbose);

int runStats(Arguments arguments);
int runCoverage(Arguments arguments);
int runSearch(Arguments arguments);
// search's own help: its options and the query language's filters and operators.
std::string searchHelp();
int runScan(Arguments arguments);
int runEvents(Arguments arguments);
int runReconcile(Arguments arguments);
int runExclude(Arguments arguments);
int runRegions(Arguments arguments);
int runRoots(Arguments arguments);
int runWatch(Arguments arguments);
int runLargest(Arguments arguments);
int runMaintain(Arguments arguments);
int runReport(Arguments arguments);

} // namespace quelmo::cli
