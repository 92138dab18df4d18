#include "VolumeIdentity.h"

#include "NexdirError.h"
#include "Paths.h"

#include <sys/stat.h>
#include <sys/statfs.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace nexdir {

namespace {

// The UUID of the file system on `device`, from /dev/disk/by-uuid.
std::string fileSystemUUID(dev_t device) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/disk/by-uuid", error)) {
        struct stat node {};
        if (stat(entry.path().c_str(), &node) == 0 && S_ISBLK(node.st_mode) &&
            node.st_rdev == device) {
            return entry.path().filename().string();
        }
    }
    return "";
}

} // namespace

std::string volumeHistoryIdentity(const std::vector<std::string>& roots) {
    std::vector<std::string> lines;
    for (const std::string& rawRoot : roots) {
        std::string root = standardizePath(rawRoot);
        struct stat info {};
        if (stat(root.c_str(), &info) != 0) {
            throw NexdirError::sqlite("Could not identify volume " + root + ": " +
                                      std::strerror(errno));
        }
        std::string uuid = fileSystemUUID(info.st_dev);
        if (uuid.empty()) {
            struct statfs fs {};
            if (statfs(root.c_str(), &fs) != 0) {
                throw NexdirError::sqlite("Could not identify volume " + root + ": " +
                                          std::strerror(errno));
            }
            char text[32];
            unsigned first, second;
            std::memcpy(&first, &fs.f_fsid, sizeof first);
            std::memcpy(&second, reinterpret_cast<const char*>(&fs.f_fsid) + sizeof first,
                        sizeof second);
            std::snprintf(text, sizeof text, "%08x%08x", first, second);
            uuid = text;
        }
        lines.push_back(root + ":" + uuid);
    }
    std::sort(lines.begin(), lines.end());
    std::string joined;
    for (const std::string& line : lines) {
        joined += (joined.empty() ? "" : "\n") + line;
    }
    return joined;
}

} // namespace nexdir
