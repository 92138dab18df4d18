#pragma once

#include <string>
#include <vector>

namespace nexdir {

// One line of /proc/self/mountinfo.
struct MountEntry {
    std::string mountPoint;     // unescaped, as a path
    std::string root;           // the part of the file system mounted there ("/" for all of it)
    std::string fileSystemType; // "ext4", "tmpfs", ...
    std::string source;         // "/dev/sda1", "tmpfs", ...
    unsigned major = 0;
    unsigned minor = 0;
};

// The mounts of this process's namespace, in the kernel's order; empty when unreadable.
std::vector<MountEntry> readMountTable(const std::string& path = "/proc/self/mountinfo");
std::vector<MountEntry> parseMountTable(const std::string& text);

} // namespace nexdir
