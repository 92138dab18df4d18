// quelmo-cli: the engine from the command line. A locate-style query of the index, and the
// harness that benchmarks and acceptance checks drive.

#include "Arguments.h"
#include "ProcessHeap.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>

namespace {

// The help is the one source of the manual page too: packaging/man-page.py turns this text into
// quelmo-cli(1) at build time. It reads "name:" lines at the left margin as sections, lines
// indented by two spaces as an entry's term, and lines indented to the description column as
// the term's description, so keep that layout.
constexpr const char* synopsis = R"(usage: quelmo-cli COMMAND [OPTIONS]

Searches Quelmo's index of file names from a terminal, lists the largest files and keeps the
index live without the desktop. PATH defaults to the application's index. search and largest
ask the running Quelmo (or quelmo-cli watch) that keeps the index live, and read it themselves
when none answers.

commands:
  stats [--db PATH]                       statistics of the index as one JSON line
  coverage [--db PATH]                    what the index covers as one JSON line: items,
                                          unreadable paths, custom exclusions, whether it is
                                          complete and needs recovery, the folders the running
                                          engine checks every 30 s instead of watching (null
                                          when none runs) and fs.inotify.max_user_watches
  search [--db PATH] [--limit N] [--long] [-0|--null] [--direct] [--verbose] QUERY...
                                          matching names, one path a line; a query of one or
                                          two characters finds names that start with it, a
                                          longer one names that contain every word; its
                                          filters and operators: search --help
  scan [--db PATH] [--exclude PATH]... [ROOT...]
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
  watch [--db PATH] [--exclude PATH]... [--seconds S] [ROOT...]
                                          keeps the index live: resumes, recovers or scans, then
                                          follows the disk, printing each status line; SIGINT
                                          or SIGTERM stops it cleanly, SIGHUP verifies the
                                          index now, as Verify Index does
  events [--since ID] [--seconds S] PATH...
                                          the file events under PATH: "id<TAB>0xflags<TAB>path"
  largest [--db PATH] [--limit N] [--min-size BYTES] [--by size|disk] [--measure]
          [--direct] [--verbose]
                                          the largest files, largest first (default: by space
                                          on disk, 50): "allocated<TAB>size<TAB>path", "-" for
                                          a size not measured
  maintain [--db PATH] [--force]          optimises and compacts the index when it is due;
                                          what it did and the sizes before and after as JSON
  report [--log PATH]                     the redacted diagnostic report of the debug log (its
                                          previous generation first), as Send Diagnostics shows
                                          it; nothing is sent
)";

constexpr const char* details = R"(
options:
  --db PATH                               the index (default: the application's,
                                          $XDG_DATA_HOME/Nexdir/index-v2.sqlite3)
  --limit N                               at most N results (default 50, at most 1,000)
  --long                                  search: "d|f<TAB>score<TAB>path" a line, and the
                                          count and time on stderr
  -0, --null                              search: a NUL after each path instead of a newline
  --direct                                search, largest: read the index here even when an
                                          engine keeps it live
  --verbose                               search, largest: say on stderr which answered
  --exclude PATH                          scan, watch: leave the folder PATH out (repeatable)
  --recursive                             reconcile: the whole subtree of each PATH
  --seconds S                             watch, events: stop after S seconds
  --since ID                              events: replay the events after the identifier ID
  --min-size BYTES                        largest: leave out files shorter than BYTES
  --by size|disk                          largest: rank by length, or by space on disk (the
                                          default)
  --measure                               largest: first measure the files the index holds no
                                          size on disk for
  --force                                 maintain: even within 7 days of the last attempt
  --log PATH                              report: the debug log (default: the application's)
  --                                      every word after it is a query word or a PATH
  --help                                  this help
  --version                               the version

exit status:
  0                                       success
  1                                       a failure or a mistake on the command line; for
                                          search, nothing matched
  2                                       search: a failure or a mistake on the command line

environment:
  XDG_DATA_HOME                           the folder of the application's index and debug
                                          log, Nexdir inside it (default: ~/.local/share)
  XDG_RUNTIME_DIR                         the folder of the socket a running engine answers
                                          searches on (default: the index's folder)
  NEXDIR_ROOTS                            colon-separated folders that replace the internal
                                          volumes in scan, watch and roots
  NEXDIR_MOUNTINFO                        a saved /proc/self/mountinfo to read the volumes from
  NEXDIR_DEBUG_LOG_PATH                   the debug log's path
  NEXDIR_WATCH_LIMIT                      stands in for fs.inotify.max_user_watches

files:
  ~/.local/share/Nexdir/index-v2.sqlite3  the index, with its -wal and -shm files; only its
                                          owner may read it
  ~/.local/share/Nexdir/application.lock  held by the one engine that keeps the index live (the
                                          application or a watch) or by a command that writes it
  ~/.local/share/Nexdir/debug.log         the debug log, and debug.log.previous before it
  /usr/lib/systemd/user/quelmo-watch.service
                                          the user service that runs quelmo-cli watch

the watch service:
A server, or an account without a desktop, keeps its index live across reboots with the user
service quelmo-watch, which runs quelmo-cli watch at low processor and disk priority and
restarts it when it fails. Its status lines go to the journal. It is refused, as a second
watch is, while the application keeps the same index live.

examples:
  quelmo-cli search report 2024           the paths whose names hold "report" and "2024"
  quelmo-cli largest --limit 20           the 20 files that take the most space on disk
  quelmo-cli search -0 invoice .pdf | xargs -0 ls -l
                                          lists each match with ls, whatever its name holds
  systemctl --user enable --now quelmo-watch
                                          keeps the index live from now on, across reboots
  loginctl enable-linger                  starts the service at boot, before you log in
  journalctl --user -u quelmo-watch       the service's status lines

see also:
  quelmo(1), locate(1), systemctl(1)
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
    nexdir::settleProcessHeap();
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty() || words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        std::cout << synopsis << details;
        return words.empty() ? 1 : 0;
    }
    if (words[0] == "--version") {
        std::cout << "quelmo-cli " << QUELMO_VERSION << " (" << QUELMO_BUILD_NUMBER << ")\n";
        return 0;
    }
    // A mistake shows the commands alone; the rest of the help would bury the message.
    auto refuse = [](const std::string& message, int status) {
        std::cerr << "quelmo-cli: " << message << "\n\n"
                  << synopsis << "\nquelmo-cli --help also lists the options and examples.\n";
        return status;
    };
    std::string command = words[0];
    auto found = commands.find(command);
    if (found == commands.end()) {
        return refuse("unknown command: " + command, 1); // before --help, which it cannot have
    }
    for (size_t i = 1; i < words.size() && words[i] != "--"; ++i) {
        if (words[i] == "--help") {
            std::cout << (command == "search" ? quelmo::cli::searchHelp()
                                              : std::string(synopsis) + details);
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
