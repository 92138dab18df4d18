#include "FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

namespace nexdir {

namespace {

constexpr unsigned valueMask = STATX_TYPE | STATX_MTIME | STATX_SIZE | STATX_BLOCKS;

std::optional<ItemValues> valuesFrom(const struct statx& info) {
    ItemValues values;
    mode_t type = info.stx_mode & S_IFMT;
    values.isDirectory = type == S_IFDIR;
    values.isSymbolicLink = type == S_IFLNK;
    values.isRegularFile = type == S_IFREG;
    values.modifiedAt = double(info.stx_mtime.tv_sec) + double(info.stx_mtime.tv_nsec) / 1e9;
    values.size = int64_t(info.stx_size);
    values.blocks512 = info.stx_blocks;
    values.device = makedev(info.stx_dev_major, info.stx_dev_minor);
    return values;
}

} // namespace

std::optional<ItemValues> readItemValues(int directoryFD, const std::string& name, int& errorCode) {
    struct statx info {};
    if (statx(directoryFD, name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, valueMask, &info) !=
        0) {
        errorCode = errno;
        return std::nullopt;
    }
    errorCode = 0;
    return valuesFrom(info);
}

namespace {

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The folder at `path`, opened by path; one whose path is longer than the kernel takes in
// one call is opened by the longest prefix that fits, the rest one component at a time
// relative to it, so that depth is limited by the file system alone. O_NOFOLLOW at every
// step: a component that is a link is never followed.
int openFolder(const std::string& path) {
    int fd = open(path.c_str(), folderFlags);
    if (fd >= 0 || errno != ENAMETOOLONG) {
        return fd;
    }
    size_t cut = path.rfind('/', PATH_MAX - 1);
    if (cut == std::string::npos || cut == 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    FileDescriptor at(openFolder(path.substr(0, cut)));
    while (at.valid() && cut < path.size()) {
        size_t next = path.find('/', cut + 1);
        std::string component = path.substr(cut + 1, next - cut - 1);
        cut = next == std::string::npos ? path.size() : next;
        if (component.empty()) {
            continue;
        }
        at.reset(openat(at.get(), component.c_str(), folderFlags));
    }
    return at.release();
}

} // namespace

std::optional<ItemValues> readItemValues(const std::string& path, int& errorCode) {
    std::optional<ItemValues> values = readItemValues(AT_FDCWD, path, errorCode);
    size_t slash = path.rfind('/');
    if (values || errorCode != ENAMETOOLONG || slash == std::string::npos || slash == 0) {
        return values;
    }
    // Deeper than one call takes: read it relative to its folder, opened a step at a time.
    FileDescriptor folder(openFolder(path.substr(0, slash)));
    if (!folder.valid()) {
        errorCode = errno;
        return std::nullopt;
    }
    return readItemValues(folder.get(), path.substr(slash + 1), errorCode);
}

DirectoryListing::DirectoryListing(const std::string& path) {
    fd_.reset(openFolder(path));
    if (!fd_.valid()) {
        errorCode_ = errno;
        return;
    }
    // fdopendir takes the descriptor over; read through a duplicate so ours stays open for
    // the statx calls relative to it.
    FileDescriptor listingFD(dup(fd_.get()));
    std::unique_ptr<DIR, int (*)(DIR*)> directory(
        listingFD.valid() ? fdopendir(listingFD.get()) : nullptr, &closedir);
    if (!directory) {
        errorCode_ = errno;
        return;
    }
    listingFD.release(); // closedir closes it now
    errno = 0;
    while (dirent* entry = readdir(directory.get())) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        names_.emplace_back(name);
        errno = 0;
    }
    if (errno != 0) {
        errorCode_ = errno;
        names_.clear();
    }
}

bool isPermissionError(int errorCode) {
    return errorCode == EACCES || errorCode == EPERM;
}

bool isUnavailableError(int errorCode) {
    return isPermissionError(errorCode) || errorCode == ETIMEDOUT || errorCode == EINTR ||
           errorCode == EIO || errorCode == ESTALE || errorCode == ENOTCONN;
}

bool isMissingError(int errorCode) {
    return errorCode == ENOENT || errorCode == ENOTDIR;
}

std::optional<int64_t> availableCapacity(const std::string& path) {
    struct statvfs info {};
    if (statvfs(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return int64_t(info.f_bavail) * int64_t(info.f_frsize);
}

} // namespace nexdir
