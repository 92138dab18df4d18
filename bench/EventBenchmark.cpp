// File-event service: memory per watched folder, latency from a change to the handler, and
// a sustained burst without kernel drops.
//
//   event-benchmark [--folders N] [--root PATH]     (defaults: 100,000 under $TMPDIR)

#include "Clock.h"
#include "FSEventWatcher.h"
#include "FileEventService.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace nexdir;

namespace {

long residentBytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    size_t rank = size_t(std::ceil(p * double(values.size())));
    return values[std::min(values.size() - 1, rank == 0 ? 0 : rank - 1)];
}

void touch(const std::string& path) {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd >= 0) {
        close(fd);
    }
}

} // namespace

int main(int argc, char** argv) {
    size_t folderCount = 100'000;
    const char* tmp = std::getenv("TMPDIR");
    std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/quelmo-event-tree";
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--folders" && i + 1 < argc) {
            folderCount = std::stoull(argv[++i]);
        } else if (word == "--root" && i + 1 < argc) {
            root = argv[++i];
        }
    }
    size_t width = size_t(std::ceil(std::sqrt(double(folderCount))));
    std::vector<std::string> folders;
    for (size_t i = 0; folders.size() < folderCount; ++i) {
        std::string parent = root + "/d" + std::to_string(i);
        folders.push_back(parent);
        for (size_t j = 0; j + 1 < width && folders.size() < folderCount; ++j) {
            folders.push_back(parent + "/s" + std::to_string(j));
        }
    }
    std::filesystem::remove_all(root);
    for (const auto& folder : folders) {
        std::filesystem::create_directories(folder);
    }

    FileEventService service;
    long before = residentBytes();
    service.willList(root);
    for (const auto& folder : folders) {
        service.willList(folder);
    }
    long after = residentBytes();
    std::printf("watched folders: %zu (refused by the watch limit: %zu)\n",
                service.watchedFolders(), service.unwatchedFolders());
    std::printf("service memory: %.0f bytes per watched folder (resident, beside the kernel's)\n",
                double(after - before) / double(folders.size()));

    // Latency: single changes in random folders, spaced like a person's work and like a build.
    std::mutex lock;
    std::map<std::string, double> pending;
    std::vector<double> latencies;
    std::atomic<int64_t> drops{0};
    std::atomic<int64_t> delivered{0};
    FSEventWatcher watcher(
        {root}, FileEventService::sinceNow, false, false, {},
        [&](const std::vector<FileSystemEvent>& batch) {
            double now = uptimeSeconds();
            std::lock_guard guard(lock);
            for (const auto& event : batch) {
                delivered++;
                if (event.isBufferDrop()) {
                    drops++;
                }
                auto found = pending.find(event.path);
                if (found != pending.end()) {
                    latencies.push_back(now - found->second);
                    pending.erase(found);
                }
            }
        },
        service);
    std::mt19937 random(7);
    for (int i = 0; i < 300; ++i) {
        const std::string& folder = folders[random() % folders.size()];
        {
            std::lock_guard guard(lock);
            pending.emplace(folder, uptimeSeconds());
        }
        touch(folder + "/change-" + std::to_string(i));
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    {
        std::lock_guard guard(lock);
        std::printf("latency change to handler: p50 %.0f ms, p99 %.0f ms, max %.0f ms (%zu "
                    "changes, %zu unseen)\n",
                    percentile(latencies, 0.5) * 1000, percentile(latencies, 0.99) * 1000,
                    *std::max_element(latencies.begin(), latencies.end()) * 1000, latencies.size(),
                    pending.size());
    }

    // Sustained burst: 10,000 new files a second in one folder for 10 seconds.
    std::string burst = root + "/burst";
    std::filesystem::create_directories(burst);
    service.willList(burst);
    delivered = 0;
    double start = uptimeSeconds();
    size_t created = 0;
    for (int second = 0; second < 10; ++second) {
        for (int slice = 0; slice < 100; ++slice) {
            for (int k = 0; k < 100; ++k) {
                touch(burst + "/f" + std::to_string(created++));
            }
            double due = start + second + (slice + 1) * 0.01;
            double now = uptimeSeconds();
            if (due > now) {
                std::this_thread::sleep_for(std::chrono::duration<double>(due - now));
            }
        }
    }
    double elapsed = uptimeSeconds() - start;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("burst: %zu files in %.1f s (%.0f per second), %lld coalesced events delivered, "
                "kernel drops %lld\n",
                created, elapsed, double(created) / elapsed, (long long)delivered.load(),
                (long long)drops.load());
    watcher.stop();
    std::filesystem::remove_all(root);
    return 0;
}
