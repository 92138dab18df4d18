// quelmo-cli: the engine from the command line. A locate-style query of the index, and the
// harness that benchmarks and acceptance checks drive.

#include "Arguments.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>

namespace {

constexpr const char* usage = R"(usage: quelmo-cli COMMAND [OPTIONS]

commands:
  stats  [--db PATH]                      statistics of the index as one JSON line
  coverage [--db PATH]                    what the index covers as one JSON line: items,
                                          unreadable paths, custom exclusions, whether it is
                                          complete and needs recovery, the folders the running
                                          engine checks every 30 s instead of watching (null
                                          when none runs) and fs.inotify.max_user_watches
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
  exclude [--db PATH] [PATH...]           replaces the custom exclusions of the index with the
                                          PATH folders (none: clears them) and brings the index
                                          in line without a rescan; totals as JSON
  regions [--db PATH]                     the recovery regions of the index and the state of
                                          each, one JSON line per region
  roots                                   the folders a scan without ROOT indexes (the
                                          internal volumes), one path a line
  watch  [--db PATH] [--exclude PATH]... [--seconds S] [ROOT...]
                                          keeps the index live: resumes, recovers or scans, then
                                          follows the disk, printing each status line; SIGHUP
                                          verifies the index now, as Verify Index does
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
  report [--log PATH]                     the redacted diagnostic report of the debug log
                                          (PATH, default $NEXDIR_DEBUG_LOG_PATH or
                                          $XDG_DATA_HOME/Nexdir/debug.log; its previous
                                          generation first), as Send Diagnostics shows it;
                                          nothing is sent

PATH defaults to the application's index, $XDG_DATA_HOME/Nexdir/index-v2.sqlite3.
search and largest ask the running Quelmo (or quelmo-cli watch) that keeps PATH live, and read
PATH themselves when none answers; --direct always reads PATH, --verbose says which answered.
)";

using Command = int (*)(quelmo::cli::Arguments);
const std::map<std::string, Command> commands = {
    {"stats", quelmo::cli::runStats},       {"search", quelmo::cli::runSearch},
    {"scan", quelmo::cli::runScan},         {"reconcile", quelmo::cli::runReconcile},
    {"regions", quelmo::cli::runRegions},   {"watch", quelmo::cli::runWatch},
    {"events", quelmo::cli::runEvents},     {"largest", quelmo::cli::runLargest},
    {"maintain", quelmo::cli::runMaintain}, {"roots", quelmo::cli::runRoots},
    {"exclude", quelmo::cli::runExclude},   {"report", quelmo::cli::runReport},
    {"coverage", quelmo::cli::runCoverage}};

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty() || words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        std::cout << usage;
        return words.empty() ? 1 : 0;
    }
    auto refuse = [](const std::string& message, int status) {
        std::cerr << "quelmo-cli: " << message << "\n\n" << usage;
        return status;
    };
    std::string command = words[0];
    auto found = commands.find(command);
    if (found == commands.end()) {
        return refuse("unknown command: " + command, 1); // before --help, which it cannot have
    }
    for (size_t i = 1; i < words.size() && words[i] != "--"; ++i) {
        if (words[i] == "--help") {
            std::cout << usage;
            return 0;
        }
    }
    // search answers 1 when nothing matched, as locate does; its failures must differ.
    int failure = command == "search" ? 2 : 1;
    quelmo::cli::Arguments arguments(std::vector<std::string>(words.begin() + 1, words.end()));
    try {
        int status = found->second(std::move(arguments));
        // Output that never reached its file (a full disk, a closed descriptor) is a failure.
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::cerr << "quelmo-cli: could not write the output: " << std::strerror(errno) << '\n';
            return failure;
        }
        return status;
    } catch (const quelmo::cli::UsageError& error) {
        return refuse(error.what(), failure);
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return failure;
    }
}
