#include "WatchBudget.h"

#include "Paths.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace nexdir::WatchBudget {

namespace {

// Where the system keeps what its package manager installs: rarely changed by hand, and the
// first to give up its watches.
const char* const systemLocations[] = {"/usr", "/opt", "/etc",  "/boot",  "/var", "/lib",
                                       "/lib32", "/lib64", "/libx32", "/bin", "/sbin", "/snap"};

const char* const usualHomeFolders[] = {"Desktop", "Documents", "Downloads", "Music",
                                        "Pictures", "Videos",    "Public",    "Templates"};

bool isNumber(const char* text) {
    return *text && std::all_of(text, text + std::char_traits<char>::length(text),
                                [](char c) { return c >= '0' && c <= '9'; });
}

// The "inotify wd:" lines of one descriptor's fdinfo: one per watch.
size_t watchesIn(const std::string& fdinfo) {
    std::ifstream file(fdinfo);
    size_t count = 0;
    std::string line;
    while (std::getline(file, line)) {
        count += line.starts_with("inotify wd:") ? 1 : 0;
    }
    return count;
}

} // namespace

size_t allowed(size_t limit, size_t others) {
    size_t left = limit > others + reserve ? limit - others - reserve : 0;
    return std::min(limit / 4 * 3, left);
}

uint8_t rank(const std::string& folder, const std::string& home) {
    int tier = 3;
    bool system = std::any_of(std::begin(systemLocations), std::end(systemLocations),
                              [&](const char* location) { return isAtOrUnder(folder, location); });
    if (!home.empty() && home != "/" && isAtOrUnder(folder, home)) {
        tier = std::any_of(std::begin(usualHomeFolders), std::end(usualHomeFolders),
                           [&](const char* name) {
                               return isAtOrUnder(folder, appendingPathComponent(home, name));
                           })
                   ? 0
                   : 1;
    } else if (!system && access(folder.c_str(), W_OK) == 0) {
        tier = 2;
    }
    size_t depth = size_t(std::count(folder.begin(), folder.end(), '/'));
    return uint8_t(tier * 64 + int(std::min<size_t>(depth, 63)));
}

std::optional<size_t> userLimit() {
    std::ifstream file("/proc/sys/fs/inotify/max_user_watches");
    size_t value = 0;
    if (file >> value) {
        return value;
    }
    return std::nullopt;
}

size_t heldByOthers(int ownDescriptor, bool thisProcessOnly) {
    size_t held = 0;
    uid_t user = getuid();
    std::string self = std::to_string(getpid());
    DIR* processes = opendir("/proc");
    if (!processes) {
        return 0;
    }
    while (dirent* process = readdir(processes)) {
        struct stat owner {};
        std::string base = std::string("/proc/") + process->d_name;
        if (!isNumber(process->d_name) || (thisProcessOnly && self != process->d_name) ||
            stat(base.c_str(), &owner) != 0 || owner.st_uid != user) {
            continue;
        }
        DIR* descriptors = opendir((base + "/fd").c_str());
        if (!descriptors) {
            continue; // gone, or not ours to look into
        }
        while (dirent* descriptor = readdir(descriptors)) {
            if (!isNumber(descriptor->d_name) ||
                (self == process->d_name && std::atoi(descriptor->d_name) == ownDescriptor)) {
                continue;
            }
            char target[64];
            ssize_t length = readlink((base + "/fd/" + descriptor->d_name).c_str(), target,
                                      sizeof target - 1);
            if (length > 0 && std::string_view(target, size_t(length)) == "anon_inode:inotify") {
                held += watchesIn(base + "/fdinfo/" + descriptor->d_name);
            }
        }
        closedir(descriptors);
    }
    closedir(processes);
    return held;
}

} // namespace nexdir::WatchBudget
