// quelmo-cli: the engine from the command line. A locate-style query of the index, and the
// harness that benchmarks and acceptance checks drive.

#include "Arguments.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace {

constexpr const char* usage = R"(usage: quelmo-cli COMMAND [OPTIONS]

commands:
  stats  [--db PATH]                      statistics of the index as one JSON line
  search [--db PATH] [--limit N] [--long] [-0|--null] [--direct] [--verbose] QUERY...
                                          matching names, one path a line (--long:
                                          "d|f<TAB>score<TAB>path"; -0: NUL after each path);
                                          exit status 1 when nothing matched, 2 on an error
  scan   [--db PATH] [--exclude PATH]... [ROOT...]
                                          rebuilds the index of the ROOT folders (default: the
                                          internal volumes) and installs it; totals as JSON
  reconcile [--db PATH] [--recursive] PATH...
                                          brings the index in line with the disk for each
                                          PATH and its children (--recursive: its subtree);
                                          totals as JSON
  regions [--db PATH]                     the recovery regions of the index and the state of
                                          each, one JSON line per region
  watch  [--db PATH] [--exclude PATH]... [--seconds S] [ROOT...]
                                          keeps the index live: resumes, recovers or scans, then
                                          follows the disk, printing each status line
  events [--since ID] [--seconds S] PATH...
                                          the file events under PATH: "id<TAB>0xflags<TAB>path"
  largest [--db PATH] [--limit N] [--min-size BYTES] [--by size|disk] [--measure]
          [--direct] [--verbose]
                                          the largest files, largest first (default: by space
                                          on disk, 50): "allocated<TAB>size<TAB>path", "-" for
                                          a size not measured; --measure first measures the
                                          files the index has no size on disk for
  maintain [--db PATH] [--force]          optimises and compacts the index when it is due
                                          (--force: even within 7 days of the last attempt);
                                          what it did and the sizes before and after as JSON

PATH defaults to the application's index, $XDG_DATA_HOME/Nexdir/index-v2.sqlite3.
search and largest ask the running Quelmo (or quelmo-cli watch) that keeps PATH live, and read
PATH themselves when none answers; --direct always reads PATH, --verbose says which answered.
)";

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty() || words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        std::cout << usage;
        return words.empty() ? 1 : 0;
    }
    std::string command = words[0];
    for (size_t i = 1; i < words.size() && words[i] != "--"; ++i) {
        if (words[i] == "--help") {
            std::cout << usage;
            return 0;
        }
    }
    // search answers 1 when nothing matched, as locate does; its failures must differ.
    int failure = command == "search" ? 2 : 1;
    quelmo::cli::Arguments arguments(std::vector<std::string>(words.begin() + 1, words.end()));
    auto run = [&] {
        if (command == "stats") {
            return quelmo::cli::runStats(std::move(arguments));
        }
        if (command == "events") {
            return quelmo::cli::runEvents(std::move(arguments));
        }
        if (command == "scan") {
            return quelmo::cli::runScan(std::move(arguments));
        }
        if (command == "watch") {
            return quelmo::cli::runWatch(std::move(arguments));
        }
        if (command == "regions") {
            return quelmo::cli::runRegions(std::move(arguments));
        }
        if (command == "reconcile") {
            return quelmo::cli::runReconcile(std::move(arguments));
        }
        if (command == "search") {
            return quelmo::cli::runSearch(std::move(arguments));
        }
        if (command == "largest") {
            return quelmo::cli::runLargest(std::move(arguments));
        }
        if (command == "maintain") {
            return quelmo::cli::runMaintain(std::move(arguments));
        }
        throw quelmo::cli::UsageError("unknown command: " + command);
    };
    try {
        int status = run();
        // Output that never reached its file (a full disk, a closed descriptor) is a failure.
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::cerr << "quelmo-cli: could not write the output: " << std::strerror(errno) << '\n';
            return failure;
        }
        return status;
    } catch (const quelmo::cli::UsageError& error) {
        std::cerr << "quelmo-cli: " << error.what() << "\n\n" << usage;
        return failure;
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return failure;
    }
}
