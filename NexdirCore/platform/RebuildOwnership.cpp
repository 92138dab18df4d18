#include "RebuildOwnership.h"

#include "DebugLog.h"
#include "NexdirError.h"
#include "PrivateFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace nexdir {

RebuildOwnership::RebuildOwnership(const std::string& directory, const std::string& fileName,
                                   const std::string& holder) {
    createPrivateFolders(directory);
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
        char text[256];
        ssize_t count = pread(descriptor_.get(), text, sizeof text, 0);
        descriptor_.reset();
        throw OwnershipHeldError(std::string(text, size_t(std::max<ssize_t>(count, 0))));
    }
    // The name only words another process's refusal, so a lock without it still locks. One
    // refused in the instant before it is written reads the previous holder's name.
    if (ftruncate(descriptor_.get(), 0) != 0 ||
        pwrite(descriptor_.get(), holder.data(), holder.size(), 0) < 0) {
        DebugLog::write("lock holder not written errorCode=" + std::to_string(errno));
    }
}

void RebuildOwnership::release() {
    descriptor_.reset();
}

} // namespace nexdir
