#include "RebuildOwnership.h"

#include "NexdirError.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace nexdir {

RebuildOwnership::RebuildOwnership(const std::string& directory, const std::string& fileName) {
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        throw FileSystemError("Could not create folder " + directory + ": " + error.message(),
                              error.value());
    }
    std::string path = directory + "/" + fileName;
    descriptor_.reset(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!descriptor_.valid()) {
        int error = errno;
        struct stat info {};
        std::string reason = lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)
                                 ? "it is a folder, not a file"
                             : error == ELOOP ? "it is a symbolic link"
                                              : std::strerror(error);
        throw NexdirError::sqlite("Could not open rebuild ownership lock " + path + ": " + reason);
    }
    if (flock(descriptor_.get(), LOCK_EX | LOCK_NB) != 0) {
        descriptor_.reset();
        throw OwnershipHeldError();
    }
}

void RebuildOwnership::release() {
    descriptor_.reset();
}

} // namespace nexdir
