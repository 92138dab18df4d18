#include "TrashFolder.h"

#include "Clock.h"
#include "FileDiskUsage.h"
#include "FileSystem.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace nexdir {

namespace {

// Time is read once per this many entries: the clock costs more than a stat of a cached item.
constexpr int64_t entriesPerClockRead = 256;

} // namespace

TrashSize measureTrash(const std::string& trash, int64_t maximumEntries, double seconds) {
    double deadline = uptimeSeconds() + seconds;
    TrashSize size;
    std::string files = trash + "/files";
    int errorCode = 0;
    std::optional<ItemValues> top = readItemValues(files, errorCode);
    if (!top) {
        // Never used: nothing in it. Anything else (a folder above it that may not be
        // entered, a failing disk) leaves it unknown.
        size.readable = isMissingError(errorCode);
        size.complete = size.readable;
        return size;
    }
    if (!top->isEnterableFolder()) {
        size.readable = false;
        size.complete = false;
        return size;
    }
    std::vector<std::string> folders{files};
    int64_t visited = 0;
    while (!folders.empty()) {
        std::string folder = std::move(folders.back());
        folders.pop_back();
        DirectoryListing listing(folder);
        if (!listing.ok()) {
            size.complete = false;
            if (folder == files) {
                size.readable = false;
            }
            continue;
        }
        for (const std::string& name : listing.names()) {
            if (visited == maximumEntries ||
                (visited % entriesPerClockRead == 0 && uptimeSeconds() >= deadline)) {
                size.complete = false;
                return size;
            }
            ++visited;
            std::optional<ItemValues> item = readItemValues(listing.fd(), name, errorCode);
            if (!item) {
                size.complete = false;
                continue;
            }
            if (item->isSymbolicLink) {
                continue;
            }
            if (item->isDirectory) {
                if (item->device == top->device) {
                    folders.push_back(folder + "/" + name);
                }
                continue;
            }
            if (auto usage = FileDiskUsage::fromStat(item->isRegularFile, item->blocks512)) {
                size.bytes += usage->bytes;
            }
        }
    }
    return size;
}

std::optional<FileIdentity> regularFileIdentity(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    return FileIdentity{uint64_t(info.st_dev), uint64_t(info.st_ino)};
}

std::optional<std::string> prepareTrashFolder(const std::string& trash, bool makeParents) {
    if (makeParents) {
        for (size_t slash = trash.find('/', 1); slash != std::string::npos;
             slash = trash.find('/', slash + 1)) {
            std::string above = trash.substr(0, slash);
            if (mkdir(above.c_str(), 0700) != 0 && errno != EEXIST) {
                return above + ": " + std::strerror(errno);
            }
        }
    }
    for (const std::string& folder : {trash, trash + "/files", trash + "/info"}) {
        // 0700: what a Trash holds is nobody else's to read, whatever the umask says.
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            return folder + ": " + std::strerror(errno);
        }
        struct stat info {};
        if (lstat(folder.c_str(), &info) != 0) {
            return folder + ": " + std::strerror(errno);
        }
        if (!S_ISDIR(info.st_mode)) {
            return folder + " is not a folder";
        }
        if (info.st_uid != geteuid()) {
            return folder + " belongs to another user";
        }
        if (access(folder.c_str(), W_OK | X_OK) != 0) {
            return folder + ": " + std::strerror(errno);
        }
    }
    return std::nullopt;
}

std::string volumeTrashFolder(const std::string& top) {
    std::string base = top == "/" ? std::string() : top;
    std::string uid = std::to_string(geteuid());
    std::string shared = base + "/.Trash";
    struct stat info {};
    if (lstat(shared.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX)) {
        return shared + "/" + uid;
    }
    return base + "/.Trash-" + uid;
}

} // namespace nexdir
