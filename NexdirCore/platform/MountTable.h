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

// The kernel's table of this process's mounts; it signals each change of the table with an
// exceptional condition (POLLPRI).
inline constexpr const char* kernelMountTable = "/proc/self/mountinfo";

// The table the volume roots and the mounts a walk does not enter come from: the file
// $NEXDIR_MOUNTINFO names when set (another machine's mountinfo, to see what Quelmo makes of
// its mounts), otherwise the kernel's.
std::string mountTablePath();

// The mounts listed in `path`, in its order. The kernel's table, when unreadable, lists none;
// another that cannot be read throws FileSystemError, as someone named it on purpose.
std::vector<MountEntry> readMountTable(const std::string& path = mountTablePath());
// A line that does not parse is left out, never an error.
std::vector<MountEntry> parseMountTable(const std::string& text);

} // namespace nexdir
