#include "PrivateFiles.h"

#include "FileDescriptor.h"
#include "NexdirError.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace nexdir {

namespace {

bool isFolder(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", unsigned(mode & 07777));
    return text;
}

} // namespace

void createPrivateFolders(const std::string& folder) {
    if (folder.empty() || isFolder(folder)) {
        return;
    }
    size_t slash = folder.find_last_not_of('/');
    slash = slash == std::string::npos ? std::string::npos : folder.rfind('/', slash);
    if (slash != std::string::npos && slash > 0) {
        createPrivateFolders(folder.substr(0, slash));
    }
    // Another process may create it at the same moment: a folder there is all that matters.
    int error = mkdir(folder.c_str(), 0700) == 0 ? 0 : errno;
    if (error != 0 && !(error == EEXIST && isFolder(folder))) {
        throw FileSystemError("Could not create folder " + folder + ": " + std::strerror(error),
                              error);
    }
}

void createPrivateFile(const std::string& path) {
    FileDescriptor created(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
}

std::optional<std::string> restrictToOwner(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || (info.st_mode & 077) == 0) {
        return std::nullopt;
    }
    mode_t tightened = info.st_mode & 07700;
    if (chmod(path.c_str(), tightened) != 0) {
        return path + " " + octal(info.st_mode) + " unchanged: " + std::strerror(errno);
    }
    return path + " " + octal(info.st_mode) + " to " + octal(tightened);
}

} // namespace nexdir
