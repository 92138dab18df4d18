#include "DataDirectory.h"
#include "RebuildOwnership.h"
#include "SearchIndex.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <regex>
#include <sstream>

using nexdir::test::TempDirectory;

using nexdir::test::makeFile;

namespace {

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

std::string shellQuoted(const std::string& word) {
    std::string text = "'";
    for (char c : word) {
        text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return text + "'";
}

// Runs a shell command line: its standard output and exit status.
CliRun shell(const std::string& command) {
    CliRun run;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        run.out.append(buffer, count);
    }
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// Runs quelmo-cli with `words`, capturing both streams.
CliRun cli(const TempDirectory& folder, const std::vector<std::string>& words) {
    std::string command = shellQuoted(QUELMO_CLI);
    for (const auto& word : words) {
        command += " " + shellQuoted(word);
    }
    std::string errFile = folder / "stderr.txt";
    CliRun run = shell(command + " 2>" + shellQuoted(errFile));
    run.err = nexdir::test::readFile(errFile);
    return run;
}

} // namespace

TEST(QuelmoCli, StatsReadAnIndexWithoutCreatingOrSettingAsideOne) {
    TempDirectory folder;
    std::string db = folder / "index.sqlite3";
    CliRun none = cli(folder, {"stats", "--db", db});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "No index at " + db + ". Build one with quelmo-cli scan.\n");
    EXPECT_FALSE(nexdir::test::exists(db));

    std::filesystem::create_directories(folder / "empty");
    ASSERT_EQ(cli(folder, {"scan", "--db", db, folder / "empty"}).status, 0);
    CliRun fresh = cli(folder, {"stats", "--db", db});
    EXPECT_EQ(fresh.status, 0) << fresh.err;
    EXPECT_TRUE(std::regex_match(
        fresh.out,
        std::regex(
            R"(\{"indexedItems":1,"files":0,"directories":1,)"
            R"("indexBytes":\d+,"indexBytesComplete":true,"completed":true,"roots":\[".*/empty"\],"needsRecovery":false\}\n)")))
        << fresh.out;

    nexdir::test::RawDatabase(db).execute("UPDATE schema_state SET value = 7");
    CliRun newer = cli(folder, {"stats", "--db", db});
    EXPECT_EQ(newer.status, 1);
    EXPECT_EQ(newer.out, "");
    EXPECT_EQ(newer.err, "This index was created by a newer Quelmo. Update the app to open it.\n");

    nexdir::test::writeFile(db, std::string(8192, 'g'));
    CliRun damaged = cli(folder, {"stats", "--db", db});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_EQ(damaged.err, "Index " + db + " is damaged: it is not a database\n");
    EXPECT_EQ(nexdir::test::listFolder(folder.path()),
              (std::vector<std::string>{"application.lock", "empty", "index.sqlite3",
                                        "rebuild.lock", "stderr.txt"}));
}

TEST(QuelmoCli, ScanThenSearch) {
    TempDirectory folder;
    std::string db = folder / "index.sqlite3";
    std::string root = folder / "tree";
    makeFile(root + "/Projects/Tax 2024/receipt.pdf");
    makeFile(root + "/Projects/notes.txt");
    makeFile(root + "/.git/HEAD");

    CliRun scan =
        cli(folder, {"scan", "--db", db, "--exclude", root + "/Projects/notes.txt", root});
    ASSERT_EQ(scan.status, 0) << scan.err;
    EXPECT_TRUE(std::regex_match(
        scan.out,
        std::regex(
            R"(\{"scanned":5,"indexed":4,"errors":0,"seconds":[0-9.e-]+,"inaccessiblePaths":\[\]\}\n)")))
        << scan.out;

    CliRun search = cli(folder, {"search", "--db", db, "--long", "tax", "rec"});
    EXPECT_EQ(search.status, 0) << search.err;
    EXPECT_EQ(search.out, "f\t689\t" + root + "/Projects/Tax 2024/receipt.pdf\n");
    EXPECT_TRUE(std::regex_match(search.err, std::regex("1 result \u2022 \\d+\\.\\d\\d ms\n")))
        << search.err;

    // As locate: paths alone, one per line, or NUL-terminated for names that hold a newline;
    // nothing found is status 1.
    makeFile(root + "/pro\nposal.txt");
    ASSERT_EQ(cli(folder, {"reconcile", "--db", db, root}).status, 0);
    CliRun folders = cli(folder, {"search", "--db", db, "pro"});
    EXPECT_EQ(folders.out, root + "/Projects\n" + root + "/pro\nposal.txt\n");
    EXPECT_EQ(folders.err, "");
    CliRun nul = cli(folder, {"search", "--db", db, "-0", "pro"});
    EXPECT_EQ(nul.out, root + "/Projects" + '\0' + root + "/pro\nposal.txt" + '\0');
    CliRun notes = cli(folder, {"search", "--db", db, "notes"});
    EXPECT_EQ(notes.status, 1);
    EXPECT_EQ(notes.out + notes.err, "");
    // Filters alone, or narrowing words; a query it cannot read is a failure that says why.
    EXPECT_EQ(cli(folder, {"search", "--db", db, "ext:pdf"}).out,
              root + "/Projects/Tax 2024/receipt.pdf\n");
    EXPECT_EQ(cli(folder, {"search", "--db", db, "pro", "file:"}).out, root + "/pro\nposal.txt\n");
    CliRun typo = cli(folder, {"search", "--db", db, "sise:>1mb"});
    EXPECT_EQ(typo.status, 2);
    EXPECT_EQ(typo.out + typo.err, "Unknown filter sise: \u2014 did you mean size:?\n");
    EXPECT_EQ(cli(folder, {"stats", "--db", db}).out.substr(0, 54),
              "{\"indexedItems\":5,\"files\":2,\"directories\":3,\"indexByte");
}

TEST(QuelmoCli, ABadRootOrAMissingIndexChangesNothing) {
    TempDirectory folder;
    std::string db = folder / "index.sqlite3";
    std::string root = folder / "tree";
    makeFile(root + "/kept.txt");
    ASSERT_EQ(cli(folder, {"scan", "--db", db, root}).status, 0);

    CliRun bad = cli(folder, {"scan", "--db", db, root, folder / "missing"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err, "Could not read scan root " + folder.path() + "/missing\n");
    EXPECT_NE(cli(folder, {"search", "--db", db, "kept"}).out, "");

    // A search that fails says so with status 2: 1 means nothing matched.
    CliRun none = cli(folder, {"search", "--db", folder / "absent.sqlite3", "kept"});
    EXPECT_EQ(none.status, 2);
    EXPECT_FALSE(nexdir::test::exists(folder / "absent.sqlite3"));
    EXPECT_EQ(cli(folder, {"search", "--db", db, "--limit", "x", "kept"}).status, 2);
    EXPECT_EQ(cli(folder, {"search", "--db", db, "--limit", "-1", "kept"}).status, 2);
    // Results that never reach their file are a failure too.
    std::string command = shellQuoted(QUELMO_CLI) + " search --db " + shellQuoted(db) +
                          " kept >/dev/full 2>" + shellQuoted(folder / "full.txt");
    EXPECT_EQ(shell(command).status, 2);
    EXPECT_EQ(nexdir::test::readFile(folder / "full.txt"),
              "quelmo-cli: could not write the output: No space left on device\n");
    // An unknown command is refused even when asked for help; a known one gives the usage.
    CliRun unknown = cli(folder, {"NOSUCHCOMMAND", "--help"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(unknown.out.empty() &&
                unknown.err.starts_with("quelmo-cli: unknown command: NOSUCHCOMMAND\n\nusage:"))
        << unknown.err;
    CliRun help = cli(folder, {"search", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("usage:") &&
                help.out.find("size:>100mb") != std::string::npos)
        << help.out;
    // After "--", every word is the query's: -zebra leaves out names that hold zebra.
    makeFile(root + "/-zebra kept");
    EXPECT_EQ(cli(folder, {"reconcile", "--db", db, root}).status, 0);
    EXPECT_EQ(cli(folder, {"search", "--db", db, "--", "-zebra", "kept"}).out,
              root + "/kept.txt\n");
}

TEST(QuelmoCli, RootsAreTheInternalVolumesOfTheMountTable) {
    std::string table = std::string(MOUNT_TABLES) + "/fedora-btrfs";
    CliRun run =
        shell("NEXDIR_MOUNTINFO=" + shellQuoted(table) + " " + shellQuoted(QUELMO_CLI) + " roots");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "/\n/boot\n/home\n");
}

TEST(QuelmoCli, AnotherProgramsDatabaseIsNeverTouched) {
    TempDirectory folder;
    std::string db = folder / "notes.db";
    nexdir::test::RawDatabase(db).execute("CREATE TABLE notes(body TEXT)");
    std::string before = nexdir::test::readFile(db);
    makeFile(folder / "tree/a.txt");
    for (std::vector<std::string> words :
         {std::vector<std::string>{"scan", "--db", db, folder / "tree"},
          std::vector<std::string>{"stats", "--db", db},
          std::vector<std::string>{"search", "--db", db, "a"}}) {
        CliRun run = cli(folder, words);
        EXPECT_EQ(run.status, words[0] == "search" ? 2 : 1) << words[0];
        EXPECT_EQ(run.err, db + " is not a Quelmo index\n") << words[0];
        EXPECT_EQ(nexdir::test::readFile(db), before) << words[0];
    }
    EXPECT_FALSE(nexdir::test::exists(db + "-wal"));
    EXPECT_FALSE(nexdir::test::exists(db + "-shm"));
}

TEST(QuelmoCli, EventsSayWhenTheWatchLimitIsReachedDuringTheRun) {
    TempDirectory folder;
    std::string root = folder / "tree";
    std::filesystem::create_directories(root);
    // Folders made while it runs, past a lowered limit (a share of 3 past the reserve of 8,192:
    // the root and two).
    std::string command = "(sleep 0.8; mkdir " + shellQuoted(root + "/a") + " " +
                          shellQuoted(root + "/b") + " " + shellQuoted(root + "/c") + " " +
                          shellQuoted(root + "/d") + ") & NEXDIR_WATCH_LIMIT=8195 " +
                          shellQuoted(QUELMO_CLI) + " events --seconds 3 " + shellQuoted(root) +
                          " 2>" + shellQuoted(folder / "stderr.txt") + "; wait";
    CliRun run = shell(command);
    std::string out = run.out;
    EXPECT_EQ(run.status, 0);
    std::string err = nexdir::test::readFile(folder / "stderr.txt");
    EXPECT_NE(err.find("folders are not watched: raise fs.inotify.max_user_watches\n"),
              std::string::npos)
        << err;
    EXPECT_NE(out.find("\t0x10000000\t" + root + "\n"), std::string::npos) << out;
}

TEST(QuelmoCli, ReconcileBringsPathsUpToDateWithoutARescan) {
    TempDirectory folder;
    std::string db = folder / "data/index.sqlite3";
    std::string root = folder / "tree";
    makeFile(root + "/docs/a.txt");
    makeFile(root + "/docs/deep/b.txt");
    ASSERT_EQ(cli(folder, {"scan", "--db", db, root}).status, 0);

    makeFile(root + "/docs/new.txt");
    makeFile(root + "/docs/deep/newer.txt");
    std::filesystem::remove(root + "/docs/a.txt");
    // Without --recursive: the folder and its children, not what lies deeper.
    CliRun shallow = cli(folder, {"reconcile", "--db", db, root + "/docs"});
    EXPECT_EQ(shallow.status, 0) << shallow.err;
    EXPECT_TRUE(std::regex_match(
        shallow.out,
        std::regex(
            R"(\{"reconciled":1,"added":1,"removed":1,"updated":\d+,"errors":0,"seconds":[0-9.e-]+\}\n)")))
        << shallow.out;
    EXPECT_EQ(cli(folder, {"search", "--db", db, "newer"}).out, "");
    CliRun deep = cli(folder, {"reconcile", "--db", db, "--recursive", root});
    EXPECT_EQ(deep.status, 0) << deep.err;
    EXPECT_NE(cli(folder, {"search", "--db", db, "newer"}).out, "");

    // Exclusions replaced on the index as it is, and cleared again.
    CliRun excluded = cli(folder, {"exclude", "--db", db, root + "/docs/deep"});
    EXPECT_EQ(excluded.status, 0) << excluded.err;
    EXPECT_NE(excluded.out.find(R"("removed":3,)"), std::string::npos) << excluded.out;
    EXPECT_EQ(cli(folder, {"search", "--db", db, "newer"}).out, "");
    EXPECT_EQ(cli(folder, {"exclude", "--db", db}).status, 0);
    EXPECT_NE(cli(folder, {"search", "--db", db, "newer"}).out, "");
    EXPECT_TRUE(nexdir::test::indexEqualsDisk(db, root, nexdir::ExclusionRules(folder / "data", {})));

    // Outside every root: refused, nothing changed.
    std::string before = nexdir::test::readFile(db);
    CliRun outside = cli(folder, {"reconcile", "--db", db, folder / "elsewhere"});
    EXPECT_EQ(outside.status, 1);
    EXPECT_EQ(outside.err,
              folder / "elsewhere" + " is not inside an indexed root (" + root + ")\n");
    // While a scan of the same index runs (it holds the index as a watch would), a reconcile
    // or a second scan is told to wait for it, not to quit an engine.
    nexdir::RebuildOwnership scanning(folder / "data", "application.lock", "quelmo-cli scan");
    for (std::string command : {"reconcile", "scan"}) {
        CliRun refused = cli(folder, {command, "--db", db, root});
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.err, "Another quelmo-cli scan is running on the index at " + db +
                                   ": wait until it ends before quelmo-cli " + command + "\n");
    }
}

TEST(QuelmoCli, RegionsListTheRootTheHomeAndItsRealFolders) {
    TempDirectory folder;
    std::string db = folder / "data/index.sqlite3";
    std::string root = folder / "tree";
    std::string home = root + "/home/u";
    makeFile(home + "/Documents/a.txt");
    makeFile(home + "/Downloads/b.txt");
    makeFile(home + "/elsewhere/c.txt");
    std::filesystem::create_directory_symlink(home + "/elsewhere", home + "/Desktop");
    ASSERT_EQ(cli(folder, {"scan", "--db", db, root}).status, 0);
    std::string command = "HOME=" + shellQuoted(home) + " " + shellQuoted(QUELMO_CLI) +
                          " regions --db " + shellQuoted(db);
    CliRun run = shell(command);
    std::string out = run.out;
    EXPECT_EQ(run.status, 0);
    auto line = [](const std::string& path, const std::string& children) {
        return "{\"path\":\"" + path + "\",\"children\":[" + children +
               "],\"eventID\":null,\"needsRecovery\":false,\"verificationBlocked\":false,"
               "\"automaticVerificationAttempts\":null,\"retryAfter\":null}\n";
    };
    EXPECT_EQ(out, line(root, "\"" + home + "\"") +
                       line(home, "\"" + home + "/Documents\",\"" + home + "/Downloads\"") +
                       line(home + "/Documents", "") + line(home + "/Downloads", ""));
}

namespace {

// A quelmo-cli watch running in the background, stopped by SIGTERM.
class Watch {
public:
    Watch(const TempDirectory& folder, const std::string& db, const std::string& root)
        : out_(folder / "watch-out.txt") {
        pid_ = fork();
        if (pid_ == 0) {
            int output = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(output, 1);
            dup2(output, 2);
            execl(QUELMO_CLI, QUELMO_CLI, "watch", "--db", db.c_str(), root.c_str(), nullptr);
            _exit(127);
        }
    }
    ~Watch() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    std::string output() const { return nexdir::test::readFile(out_); }
    bool waitForOutput(const std::string& line, int seconds = 20) {
        for (int i = 0; i < seconds * 20; ++i) {
            std::string text = output();
            if (text.find(line) != std::string::npos) {
                return true;
            }
            usleep(50000);
        }
        return false;
    }
    int terminate() {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    std::string out_;
    pid_t pid_ = -1;
};

} // namespace

TEST(QuelmoCli, WatchKeepsTheIndexEqualToTheDiskAndCatchesUpAfterAStop) {
    TempDirectory folder;
    std::string db = folder / "data/index.sqlite3";
    std::string root = folder / "tree";
    makeFile(root + "/docs/a.txt");
    makeFile(root + "/music/b.mp3");
    auto expectEqual = [&](const std::string& context) {
        nexdir::ExclusionRules rules(folder / "data", {});
        ::testing::AssertionResult equal = ::testing::AssertionFailure();
        for (int attempt = 0; attempt < 100; ++attempt) { // within seconds of the last change
            if ((equal = nexdir::test::indexEqualsDisk(db, root, rules))) {
                break;
            }
            usleep(100000);
        }
        EXPECT_TRUE(equal) << context;
    };
    {
        Watch watch(folder, db, root);
        ASSERT_TRUE(watch.waitForOutput("Index ready \u2022 watching for changes\n"))
            << watch.output();
        // A second one over the same index is refused.
        CliRun second = cli(folder, {"watch", "--db", db, "--seconds", "1", root});
        EXPECT_EQ(second.status, 1);
        EXPECT_EQ(second.err, "Quelmo already keeps the index at " + db +
                                  " live (the application or another quelmo-cli watch)\n");
        // Searches are answered by the running engine, as reading the index would answer.
        for (std::vector<std::string> words :
             {std::vector<std::string>{"search", "--long", "a"},
              std::vector<std::string>{"largest", "--by", "size"}}) {
            words.insert(words.begin() + 1, {"--db", db});
            CliRun asked = cli(folder, [&] {
                auto verbose = words;
                verbose.push_back("--verbose");
                return verbose;
            }());
            EXPECT_TRUE(asked.err.starts_with("answered by the running engine of ")) << asked.err;
            words.push_back("--direct");
            CliRun direct = cli(folder, words);
            EXPECT_EQ(asked.out, direct.out);
            EXPECT_NE(direct.out, "");
        }
        // And so is any command that writes the index beside it.
        CliRun scan = cli(folder, {"scan", "--db", db, root});
        EXPECT_EQ(scan.status, 1);
        EXPECT_EQ(scan.err, "Quelmo keeps the index at " + db +
                                " live (the application or quelmo-cli watch): quit it before "
                                "quelmo-cli scan\n");
        nexdir::test::TreeChanger(root, 3).change(60);
        for (int i = 0; i < 300; ++i) { // a burst
            nexdir::test::writeFile(root + "/burst-" + std::to_string(i), "x");
        }
        expectEqual("while watching");
        EXPECT_EQ(watch.terminate(), 0);
    }
    nexdir::test::TreeChanger(root, 4).change(30);
    {
        Watch watch(folder, db, root);
        ASSERT_TRUE(watch.waitForOutput("Recovering changes since last session")) << watch.output();
        ASSERT_TRUE(watch.waitForOutput("Index ready")) << watch.output();
        expectEqual("after a stop");
        EXPECT_EQ(watch.terminate(), 0);
    }
}

TEST(QuelmoCli, CoverageTellsWhatTheIndexAndTheEngineThatKeepsItLiveCover) {
    TempDirectory folder;
    std::string db = folder / "index.sqlite3";
    std::string root = folder / "tree";
    for (const char* name : {"/a/x", "/b/x", "/c/x", "/locked/secret"}) {
        makeFile(root + name);
    }
    chmod((root + "/locked").c_str(), 0);
    chmod(folder.path().c_str(), 0777);
    chmod(root.c_str(), 0777);
    // Scanned as a user who may not read one folder.
    std::string scan = nexdir::test::runUnprivileged([&] {
        return std::to_string(cli(folder, {"scan", "--db", db, root}).status);
    });
    chmod((root + "/locked").c_str(), 0755);
    ASSERT_EQ(scan, "0");
    auto coverage = [&] {
        CliRun run = cli(folder, {"coverage", "--db", db});
        EXPECT_EQ(run.status, 0) << run.err;
        return run.out;
    };
    // No engine keeps it live: nothing is watched, and no count pretends otherwise.
    EXPECT_TRUE(std::regex_match(
        coverage(),
        std::regex(R"(\{"indexedItems":8,"inaccessibleCount":1,"paths":\[".*/tree/locked"\],)"
                   R"("excluded":\[\],"needsRecovery":false,"completed":true,)"
                   R"("unwatchedFolders":null,"watchLimit":(\d+|null)\}\n)")))
        << coverage();

    // A watch that may hold three watches (a stand-in limit just past the reserve) checks the
    // other folders by polling, and says how many to the command.
    setenv("NEXDIR_WATCH_LIMIT", "8195", 1);
    Watch watch(folder, db, root);
    unsetenv("NEXDIR_WATCH_LIMIT");
    ASSERT_TRUE(watch.waitForOutput(" folders are checked every 30 s")) << watch.output();
    std::smatch told;
    std::string output = watch.output();
    ASSERT_TRUE(std::regex_search(output, told, std::regex(R"(([0-9]+) folders are checked)")));
    // The launch read the folder back in, as root may.
    std::string live = coverage();
    EXPECT_NE(live.find("\"indexedItems\":9,\"inaccessibleCount\":0,\"paths\":[],"),
              std::string::npos)
        << live;
    EXPECT_NE(live.find("\"unwatchedFolders\":" + told[1].str() + ","), std::string::npos)
        << live << output;
    EXPECT_EQ(watch.terminate(), 0);
}

TEST(QuelmoCli, WatchFollowsATreeThatHoldsItsOwnIndex) {
    // The index in the folder it describes, as `--db ~/quelmo.sqlite3 ~` keeps it: its own
    // files are left out, and every other change in that folder is followed.
    TempDirectory folder;
    std::string root = folder / "tree";
    std::string db = root + "/quelmo.sqlite3";
    makeFile(root + "/docs/a.txt");
    Watch watch(folder, db, root);
    ASSERT_TRUE(watch.waitForOutput("Index ready \u2022 watching for changes\n"))
        << watch.output();
    makeFile(root + "/beside-the-index.txt");
    makeFile(root + "/docs/deeper/b.txt");
    nexdir::ExclusionRules rules =
        nexdir::ExclusionRules(nexdir::applicationDataDirectory(), {}).withIndexFiles(db);
    ::testing::AssertionResult equal = ::testing::AssertionFailure();
    for (int attempt = 0; attempt < 50 && !(equal = nexdir::test::indexEqualsDisk(db, root, rules));
         ++attempt) {
        usleep(100000);
    }
    EXPECT_TRUE(equal);
    EXPECT_EQ(cli(folder, {"search", "--db", db, "--direct", "sqlite3"}).out, "");
    EXPECT_EQ(watch.terminate(), 0);
}

namespace {

// One line of `quelmo-cli largest`: allocated bytes (-1 for "-"), logical bytes, path.
struct ListedFile {
    int64_t allocated;
    int64_t size;
    std::string path;
    bool operator==(const ListedFile&) const = default;
};

std::vector<ListedFile> parseLargest(const std::string& out) {
    std::vector<ListedFile> files;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        size_t first = line.find('\t');
        size_t second = line.find('\t', first + 1);
        std::string allocated = line.substr(0, first);
        files.push_back({allocated == "-" ? -1 : std::stoll(allocated),
                         std::stoll(line.substr(first + 1, second - first - 1)),
                         line.substr(second + 1)});
    }
    return files;
}

// An independent list of every item that is not a folder under `root`, measured by lstat as
// `du` counts a file (st_blocks × 512; unavailable, -1, for what is not a regular file).
std::vector<ListedFile> lstatList(const std::string& root) {
    std::vector<ListedFile> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        struct stat info {};
        if (lstat(entry.path().c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
            continue;
        }
        files.push_back({S_ISREG(info.st_mode) ? int64_t(info.st_blocks) * 512 : -1,
                         int64_t(info.st_size), entry.path().string()});
    }
    return files;
}

// Both lists in the ranking's order, files of equal rank by path: the id that orders them in
// the index is not the model's to know. Checks that `listed` came in that order itself.
std::vector<ListedFile> ranked(std::vector<ListedFile> files, bool byDiskUsage,
                               const std::vector<ListedFile>* listed = nullptr) {
    auto key = [&](const ListedFile& file) {
        return byDiskUsage ? std::pair(file.allocated, file.size) : std::pair(file.size, 0L);
    };
    if (listed) {
        EXPECT_TRUE(std::is_sorted(listed->begin(), listed->end(),
                                   [&](auto& a, auto& b) { return key(a) > key(b); }));
    }
    std::sort(files.begin(), files.end(), [&](auto& a, auto& b) {
        return key(a) != key(b) ? key(a) > key(b) : a.path < b.path;
    });
    return files;
}

// A tree of files whose sizes on disk differ from their lengths: data of many lengths, sparse
// files, hard links, symbolic links to large files, an empty file and a fifo.
void makeMeasuredTree(const std::string& root) {
    std::filesystem::create_directories(root + "/deep/er");
    std::mt19937 random(7);
    for (int i = 0; i < 40; ++i) {
        std::string folder = i % 3 == 0 ? root : i % 3 == 1 ? root + "/deep" : root + "/deep/er";
        nexdir::test::writeFile(folder + "/data-" + std::to_string(i),
                                std::string(random() % 300'000, 'd'));
    }
    for (int i = 0; i < 4; ++i) {
        std::string sparse = root + "/sparse-" + std::to_string(i);
        int fd = open(sparse.c_str(), O_CREAT | O_WRONLY, 0644);
        EXPECT_EQ(ftruncate(fd, off_t(i + 1) << 24), 0);
        EXPECT_EQ(pwrite(fd, "x", 1, off_t(i) << 20), 1);
        close(fd);
    }
    std::filesystem::create_hard_link(root + "/data-0", root + "/deep/hard-link-0");
    std::filesystem::create_hard_link(root + "/data-0", root + "/deep/er/hard-link-0b");
    std::filesystem::create_symlink(root + "/sparse-3", root + "/link-to-sparse");
    std::filesystem::create_symlink("data-3", root + "/deep/link-to-data");
    nexdir::test::writeFile(root + "/empty", "");
    mkfifo((root + "/deep/fifo").c_str(), 0644);
}

} // namespace

TEST(QuelmoCli, LargestEqualsAListMadeFromLstat) {
    TempDirectory folder;
    std::string db = folder / "index.sqlite3";
    std::string root = folder / "tree";
    makeMeasuredTree(root);
    ASSERT_EQ(cli(folder, {"scan", "--db", db, root}).status, 0);

    std::vector<ListedFile> model = lstatList(root);
    ASSERT_EQ(model.size(), 50u);
    for (bool byDiskUsage : {true, false}) {
        SCOPED_TRACE(byDiskUsage ? "by disk" : "by size");
        CliRun run = cli(folder, {"largest", "--db", db, "--limit", "5000", "--by",
                                  byDiskUsage ? "disk" : "size"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(std::regex_match(run.err, std::regex("50 files \u2022 \\d+\\.\\d\\d ms\n")))
            << run.err;
        std::vector<ListedFile> listed = parseLargest(run.out);
        EXPECT_EQ(ranked(listed, byDiskUsage, &listed), ranked(model, byDiskUsage));
    }
    // The ranking by space on disk is the default, 50 files; limits and sizes are clamped.
    std::vector<ListedFile> byDisk = ranked(model, true);
    std::vector<ListedFile> top = parseLargest(cli(folder, {"largest", "--db", db}).out);
    ASSERT_EQ(top.size(), 50u);
    EXPECT_EQ(top.front().allocated, byDisk.front().allocated);
    EXPECT_EQ(top.back().allocated, byDisk[49].allocated);
    EXPECT_EQ(cli(folder, {"largest", "--db", db, "--limit", "-4"}).status, 1);
    EXPECT_EQ(cli(folder, {"largest", "--db", db, "--min-size", "-9"}).status, 1);
    std::vector<ListedFile> atLeast =
        parseLargest(cli(folder, {"largest", "--db", db, "--min-size", "16777216"}).out);
    ASSERT_EQ(atLeast.size(), 4u); // the sparse files, however little they occupy
    EXPECT_EQ(cli(folder, {"largest", "--db", db, "--by", "name"}).status, 1);

    // A reconcile measures what it sees change.
    nexdir::test::writeFile(root + "/deep/data-1", std::string(900'000, 'g'));
    ASSERT_EQ(cli(folder, {"reconcile", "--db", db, root + "/deep"}).status, 0);
    std::vector<ListedFile> first = parseLargest(cli(folder, {"largest", "--db", db}).out);
    EXPECT_EQ(first.front().path, root + "/deep/data-1");
    EXPECT_EQ(first.front().allocated, ranked(lstatList(root), true).front().allocated);
}

TEST(QuelmoCli, LargestMeasuresWhatTheIndexHasNoSizeOnDiskFor) {
    TempDirectory folder;
    std::string db = folder / "index.sqlite3";
    std::string root = folder / "tree";
    makeMeasuredTree(root);
    ASSERT_EQ(cli(folder, {"scan", "--db", db, root}).status, 0);
    // As an index written before sizes on disk were kept; then one file changes on disk.
    nexdir::test::RawDatabase(db).execute("UPDATE entries SET allocated_size = NULL");
    nexdir::test::writeFile(root + "/data-6", "rewritten since the scan");

    for (const ListedFile& file : parseLargest(cli(folder, {"largest", "--db", db}).out)) {
        EXPECT_EQ(file.allocated, -1) << file.path;
    }
    CliRun measured = cli(folder, {"largest", "--db", db, "--measure", "--limit", "1000"});
    ASSERT_EQ(measured.status, 0) << measured.err;
    EXPECT_NE(measured.err.find("measured 49 of 50 unmeasured files\n"), std::string::npos)
        << measured.err;
    // The changed file stays unmeasured, with the length the index knows: it is no longer
    // the file its row describes. Unmeasured ranks after unavailable; both print "-", so
    // both lists mark it -2 for the comparison.
    std::vector<ListedFile> model;
    for (ListedFile file : lstatList(root)) {
        if (file.path == root + "/data-6") {
            file.allocated = -2;
            file.size = nexdir::test::RawDatabase(db).integer(
                "SELECT size FROM entries WHERE name = 'data-6'");
        }
        model.push_back(file);
    }
    std::vector<ListedFile> listed = parseLargest(measured.out);
    for (ListedFile& file : listed) {
        if (file.path == root + "/data-6") {
            EXPECT_EQ(file.allocated, -1);
            file.allocated = -2;
        }
    }
    EXPECT_EQ(ranked(listed, true, &listed), ranked(model, true));
    CliRun again = cli(folder, {"largest", "--db", db, "--measure"});
    EXPECT_NE(again.err.find("measured 0 of 1 unmeasured files\n"), std::string::npos) << again.err;
}

TEST(QuelmoCli, MaintainRunsWhenDueOrForcedAndSaysWhatItDid) {
    TempDirectory folder;
    std::string db = folder / "index.sqlite3";
    std::string root = folder / "tree";
    makeFile(root + "/a.txt");
    nexdir::SearchIndex{db}; // an index that has never held a scan
    std::regex line(
        R"re(\{"maintenance":"(\w+)","indexBytesBefore":\d+,"indexBytesAfter":\d+,"seconds":[0-9.e-]+\}\n)re");
    auto outcome = [&](const std::vector<std::string>& words) {
        CliRun run = cli(folder, words);
        std::smatch match;
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(std::regex_match(run.out, match, line)) << run.out;
        return std::pair(match.size() > 1 ? match[1].str() : "", run.err);
    };
    EXPECT_EQ(outcome({"maintain", "--db", db}).first, "noCompletedScan");

    ASSERT_EQ(cli(folder, {"scan", "--db", db, root}).status, 0);
    auto [done, said] = outcome({"maintain", "--db", db});
    EXPECT_EQ(done, "completed");
    EXPECT_NE(said.find("optimised the full-text index and compacted the file \u2022 index "),
              std::string::npos)
        << said;
    auto [refused, why] = outcome({"maintain", "--db", db});
    EXPECT_EQ(refused, "attemptedRecently");
    EXPECT_NE(why.find("at most once in 7 days (--force ignores this)"), std::string::npos);
    EXPECT_EQ(outcome({"maintain", "--db", db, "--force"}).first, "completed");
    EXPECT_NE(cli(folder, {"search", "--db", db, "a.txt"}).out, "");

    CliRun none = cli(folder, {"maintain", "--db", folder / "absent.sqlite3"});
    EXPECT_EQ(none.status, 1);
    EXPECT_FALSE(nexdir::test::exists(folder / "absent.sqlite3"));
}

TEST(QuelmoCli, ReportIsTheRedactedLogWithTheApplicationsCounters) {
    TempDirectory folder;
    std::string log = folder / "debug.log";
    nexdir::test::writeFile(log + ".previous",
                            "2024-05-06T07:08:09Z pid=7 session begin launches=4 uncleanExits=1\n");
    nexdir::test::writeFile(log, "2024-05-06T07:08:10Z pid=7 reconcile failed path=/home/alice "
                                 "errorCode=13 error=Permission denied\n");
    std::filesystem::create_directories(folder / "config/Quelmo");
    nexdir::test::writeFile(folder / "config/Quelmo/Quelmo.conf",
                            "[General]\ndiagnosticsLaunches=12\ndiagnosticsUncleanExits=3\n"
                            "excludedPaths=@Invalid()\n\n[Other]\ndiagnosticsLaunches=99\n");
    CliRun run = shell("XDG_CONFIG_HOME=" + shellQuoted(folder / "config") + " " +
                       shellQuoted(QUELMO_CLI) + " report --log " + shellQuoted(log));
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("launches=12 uncleanExits=3\n"), std::string::npos) << run.out;
    EXPECT_TRUE(std::regex_search(
        run.out, std::regex("omitted\\.\n\n2024-05-06T07:08:09Z session begin launches=4 "
                            "uncleanExits=1\n2024-05-06T07:08:10Z reconcile failed errorCode=13 "
                            "region=[0-9a-f]{16} errorDetails=omitted\n$")))
        << run.out;
    EXPECT_EQ(run.out.find("alice"), std::string::npos);
}
