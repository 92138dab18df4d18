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

// Asks sysfs about the disk behind a mount's source device. A device sysfs does not know (one
// named in another machine's mount table) is not removable.
bool removableOrLoop(const MountEntry& mount) {
    if (!mount.source.starts_with("/dev/")) {
        return false; // a ZFS dataset: its pool's disks are not named here
    }
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

// Everything but the bind-mount test: a local file system on a disk that stays in the
// computer, mounted outside the media and technical locations.
bool isInternalVolume(const MountEntry& mount, const std::string& point,
                      const std::function<bool(const MountEntry&)>& isRemovableOrLoop,
                      const std::vector<std::string>& excludedLocations) {
    // A ZFS dataset names its pool, not a device.
    bool onDisk = mount.source.starts_with("/dev/") || mount.fileSystemType == "zfs";
    if (!localFileSystems.count(mount.fileSystemType) || !onDisk) {
        return false;
    }
    for (const std::string& location : excludedLocations) {
        if (isAtOrUnder(point, standardizePath(location))) {
            return false;
        }
    }
    // The EFI system partition holds boot loaders, and on Debian only root may list it.
    bool isEFIPartition =
        mount.fileSystemType == "vfat" && (point == "/boot/efi" || point == "/efi");
    return !isEFIPartition && !isRemovableOrLoop(mount);
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
    // The trees the kept roots show: a device and the folder of its file system mounted
    // there (mountinfo's root field), e.g. 0:31 "/@home" for a btrfs /home. A subvolume has a
    // tree of its own; a bind mount shows part of a tree that may be kept already.
    struct Tree {
        unsigned major;
        unsigned minor;
        std::string root;
    };
    std::vector<Tree> kept;
    std::vector<std::pair<const MountEntry*, std::string>> candidates;
    for (const MountEntry& mount : mounts) {
        std::string point = standardizePath(mount.mountPoint);
        if (point == "/") {
            kept.push_back({mount.major, mount.minor, standardizePath(mount.root)});
        } else if (isInternalVolume(mount, point, isRemovableOrLoop, excludedLocations)) {
            candidates.emplace_back(&mount, std::move(point));
        }
    }
    // A bind mount may come before the mount of the tree it shows in the table: the shorter
    // root fields first, so a tree is kept before any part of it is looked at. Mounts of the
    // same tree keep the table's order; the first of them is the root.
    std::stable_sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
        return a.first->root.size() < b.first->root.size();
    });
    std::vector<std::string> roots{"/"};
    for (const auto& [mount, point] : candidates) {
        std::string root = standardizePath(mount->root);
        bool covered = std::any_of(kept.begin(), kept.end(), [&](const Tree& tree) {
            return tree.major == mount->major && tree.minor == mount->minor &&
                   isAtOrUnder(root, tree.root);
        });
        if (!covered) {
            kept.push_back({mount->major, mount->minor, std::move(root)});
            roots.push_back(point);
        }
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
