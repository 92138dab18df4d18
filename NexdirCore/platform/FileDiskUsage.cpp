#include "FileDiskUsage.h"

#include <sys/stat.h>

namespace nexdir {

std::optional<FileDiskUsage> FileDiskUsage::fromStat(bool isRegularFile, uint64_t blocks512) {
    if (!isRegularFile || blocks512 >= (uint64_t(1) << 54)) {
        return std::nullopt;
    }
    return FileDiskUsage{int64_t(blocks512) * 512, false};
}

std::optional<FileDiskUsage> FileDiskUsage::read(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return fromStat(S_ISREG(info.st_mode), uint64_t(info.st_blocks));
}

std::optional<int64_t> FileDiskUsage::allocatedBytes(const std::string& path) {
    auto usage = read(path);
    return usage ? std::optional<int64_t>(usage->bytes) : std::nullopt;
}

} // namespace nexdir
