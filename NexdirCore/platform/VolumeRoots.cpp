#include "VolumeRoots.h"

#include "DataDirectory.h"
#include "ExclusionTables.h"
#include "Format.h"
#include "Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <set>

namespace nexdir::VolumeRoots {

namespace {

const std::set<std::string> localFileSystems = {"ext2",  "ext3",  "ext4",     "xfs", "btrfs",
                                                "f2fs",  "zfs",   "bcachefs", "jfs", "reiserfs",
                                                "ntfs3", "exfat", "vfat"};

std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? std::string(buffer) : path;
}

bool fileSaysOne(const std::string& path) {
    std::ifstream file(path);
    std::string value;
    file >> value;
    return value == "1";
}

// Asks sysfs about the disk behind a mount's source device.
bool removableOrLoop(const MountEntry& mount) {
    std::string device = resolved(mount.source);
    std::string name = lastPathComponent(device);
    if (name.starts_with("loop") || mount.major == 7) {
        return true;
    }
    std::string block = "/sys/class/block/" + name;
    if (access(block.c_str(), F_OK) != 0) {
        return false;
    }
    // A partition's removable flag lives on its disk, the folder above it in sysfs.
    std::string node = resolved(block);
    std::string disk =
        access((block + "/partition").c_str(), F_OK) == 0 ? node.substr(0, node.rfind('/')) : node;
    return fileSaysOne(disk + "/removable");
}

} // namespace

std::vector<std::string> sorted(const std::vector<std::string>& roots) {
    std::set<std::string> unique;
    for (const std::string& root : roots) {
        unique.insert(standardizePath(root));
    }
    std::vector<std::string> ordered;
    if (unique.erase("/")) {
        ordered.push_back("/");
    }
    ordered.insert(ordered.end(), unique.begin(), unique.end());
    return ordered;
}

bool changed(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    return sorted(a) != sorted(b);
}

std::vector<std::string> fromMounts(const std::vector<MountEntry>& mounts,
                                    const std::function<bool(const MountEntry&)>& isRemovableOrLoop,
                                    const std::vector<std::string>& excludedLocations) {
    std::vector<std::string> roots{"/"};
    std::set<std::pair<unsigned, unsigned>> devices;
    for (const MountEntry& mount : mounts) {
        if (standardizePath(mount.mountPoint) == "/") {
            devices.insert({mount.major, mount.minor});
        }
    }
    for (const MountEntry& mount : mounts) {
        std::string point = standardizePath(mount.mountPoint);
        if (point == "/" || mount.root != "/" || !localFileSystems.count(mount.fileSystemType) ||
            !mount.source.starts_with("/dev/")) {
            continue;
        }
        bool excluded = false;
        for (const std::string& location : excludedLocations) {
            excluded = excluded || isAtOrUnder(point, standardizePath(location));
        }
        // The EFI system partition holds boot loaders, and on Debian only root may list it.
        bool isEFIPartition =
            mount.fileSystemType == "vfat" && (point == "/boot/efi" || point == "/efi");
        if (excluded || isEFIPartition || isRemovableOrLoop(mount) ||
            !devices.insert({mount.major, mount.minor}).second) {
            continue;
        }
        roots.push_back(point);
    }
    return sorted(roots);
}

std::vector<std::string> discover() {
    if (const char* configured = std::getenv("NEXDIR_ROOTS"); configured && *configured) {
        return sorted(splitNonEmpty(configured, ':'));
    }
    ExclusionTables tables = ExclusionTables::linuxTables(homeDirectory());
    std::vector<std::string> excluded = tables.otherVolumes;
    excluded.insert(excluded.end(), tables.technicalPaths.begin(), tables.technicalPaths.end());
    excluded.insert(excluded.end(), tables.fixedLocations.begin(), tables.fixedLocations.end());
    return fromMounts(readMountTable(), removableOrLoop, excluded);
}

} // namespace nexdir::VolumeRoots
