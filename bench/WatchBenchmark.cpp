// How fast a live index follows the disk, with quelmo-cli watch as the engine.
//
//   watch-benchmark [--tree ROOT] [--changes N] [--cli PATH]
//
// On a tree (default: the 500,000-item tree of the scan benchmark, written if missing) it
// starts `quelmo-cli watch` over a fresh index and waits for it to be ready, then times, for
// N changes of each kind, the delay from the change on disk to the index holding it: a file
// created, renamed, deleted, and a folder of 1,000 new files (its last file). Then it stops
// the watch and starts it again over the unchanged tree, timing the launch up to "Index ready
// • watching for changes", side by side with `find -printf` over the same tree, and reports
// the engine's resident memory with the whole tree indexed and watched.

#include "Clock.h"
#include "SearchIndex.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Engine {
    pid_t pid = -1;
    FILE* output = nullptr;
};

Engine startWatch(const std::string& cli, const std::string& db, const std::string& root) {
    int pipeFDs[2];
    if (pipe(pipeFDs) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFDs[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFDs[0]);
    std::vector<std::string> words = {cli, "watch", "--db", db, root};
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    Engine engine;
    if (posix_spawn(&engine.pid, cli.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        std::perror("posix_spawn");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFDs[1]);
    engine.output = fdopen(pipeFDs[0], "r");
    return engine;
}

// Reads status lines until one starts with `prefix`; answers the seconds it took.
double waitForLine(Engine& engine, const std::string& prefix) {
    double started = nexdir::uptimeSeconds();
    char line[4096];
    while (std::fgets(line, sizeof line, engine.output)) {
        if (std::string(line).starts_with(prefix)) {
            return nexdir::uptimeSeconds() - started;
        }
    }
    std::cerr << "watch ended before \"" << prefix << "\"\n";
    std::exit(1);
}

void stopWatch(Engine& engine) {
    kill(engine.pid, SIGTERM);
    waitpid(engine.pid, nullptr, 0);
    std::fclose(engine.output);
}

long residentKilobytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    while (status >> word) {
        if (word == "VmRSS:") {
            long kilobytes = 0;
            status >> kilobytes;
            return kilobytes;
        }
    }
    return 0;
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(fraction * double(values.size())))];
}

// Polls the index until `done` holds; answers the milliseconds since `since`.
template <class Done> double until(double since, Done done) {
    while (!done()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (nexdir::uptimeSeconds() - since > 30) {
            std::cerr << "a change never reached the index\n";
            std::exit(1);
        }
    }
    return (nexdir::uptimeSeconds() - since) * 1000;
}

} // namespace

int main(int argc, char** argv) {
    std::string root = "/tmp/quelmo-scan-tree-500000";
    std::string cli = "build/tools/quelmo-cli";
    int changes = 200;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--tree") {
            root = argv[i + 1];
        } else if (option == "--changes") {
            changes = std::atoi(argv[i + 1]);
        } else if (option == "--cli") {
            cli = argv[i + 1];
        }
    }
    if (!fs::exists(root)) {
        std::string command =
            fs::path(cli).parent_path().parent_path().string() + "/bench/make-tree " + root;
        if (std::system(command.c_str()) != 0) {
            return 1;
        }
    }
    std::string work =
        fs::temp_directory_path() / ("quelmo-watch-bench-" + std::to_string(getpid()));
    std::string db = work + "/index.sqlite3";
    std::string scratch = root + "/watch-bench";
    fs::remove_all(scratch);
    fs::create_directories(scratch);

    Engine engine = startWatch(cli, db, root);
    double firstReady = waitForLine(engine, "Index ready");
    std::printf("first launch (full scan) ready in %.2f s\n", firstReady);
    std::printf("resident memory with the tree indexed and watched: %ld MB\n",
                residentKilobytes(engine.pid) / 1024);

    nexdir::SearchIndex index(db);
    auto has = [&](const std::string& path) { return index.entryID(path, root).has_value(); };
    std::vector<double> created, renamed, deleted, folders;
    for (int i = 0; i < changes; ++i) {
        std::string file = scratch + "/file-" + std::to_string(i);
        double at = nexdir::uptimeSeconds();
        std::ofstream(file) << "x";
        created.push_back(until(at, [&] { return has(file); }));
        at = nexdir::uptimeSeconds();
        fs::rename(file, file + ".renamed");
        renamed.push_back(until(at, [&] { return has(file + ".renamed") && !has(file); }));
        at = nexdir::uptimeSeconds();
        fs::remove(file + ".renamed");
        deleted.push_back(until(at, [&] { return !has(file + ".renamed"); }));
    }
    for (int i = 0; i < std::max(changes / 10, 5); ++i) {
        std::string folder = scratch + "/folder-" + std::to_string(i);
        double at = nexdir::uptimeSeconds();
        fs::create_directories(folder);
        for (int j = 0; j < 1000; ++j) {
            std::ofstream(folder + "/f" + std::to_string(j)) << "x";
        }
        folders.push_back(until(at, [&] { return has(folder + "/f999"); }));
    }
    auto report = [](const char* kind, const std::vector<double>& ms) {
        std::printf("%-28s n=%-4zu p50 %7.1f ms  p99 %7.1f ms\n", kind, ms.size(),
                    percentile(ms, 0.5), percentile(ms, 0.99));
    };
    std::printf("change to searchable:\n");
    report("create a file", created);
    report("rename a file", renamed);
    report("delete a file", deleted);
    report("folder of 1,000 new files", folders);
    std::vector<double> all;
    for (const auto* kind : {&created, &renamed, &deleted, &folders}) {
        all.insert(all.end(), kind->begin(), kind->end());
    }
    report("all changes", all);
    stopWatch(engine);
    fs::remove_all(scratch);

    // A later launch over the tree as the last session left it... bar the scratch folder.
    Engine second = startWatch(cli, db, root);
    double launch = waitForLine(second, "Index ready \u2022 watching for changes");
    stopWatch(second);
    double started = nexdir::uptimeSeconds();
    std::string find = "find " + root + " -printf '%s %T@ %b\\n' > /dev/null";
    if (std::system(find.c_str()) != 0) {
        return 1;
    }
    double findSeconds = nexdir::uptimeSeconds() - started;
    std::printf("later launch to \"Index ready\": %.2f s   find -printf: %.2f s   (%.2fx find)\n",
                launch, findSeconds, launch / findSeconds);
    fs::remove_all(work);
    return 0;
}
