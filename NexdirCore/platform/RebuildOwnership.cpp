#include "RebuildOwnership.h"

#include "NexdirError.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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
    descriptor_ = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor_ < 0) {
        throw NexdirError::sqlite("Could not open rebuild ownership lock");
    }
    if (flock(descriptor_, LOCK_EX | LOCK_NB) != 0) {
        close(descriptor_);
        descriptor_ = -1;
        throw NexdirError::sqlite("Another process owns this index operation");
    }
}

RebuildOwnership::~RebuildOwnership() {
    release();
}

void RebuildOwnership::release() {
    if (descriptor_ >= 0) {
        close(descriptor_);
        descriptor_ = -1;
    }
}

} // namespace nexdir
