#include "VolumeSpace.h"

#include "Format.h"
#include "MountTable.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <vector>

namespace nexdir {

namespace {

// udev writes a label's spaces, slashes and other unsafe bytes as "\x" and two hex digits.
std::string decodedLabel(const std::string& entryName) {
    auto hex = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    std::string label;
    for (size_t i = 0; i < entryName.size(); ++i) {
        if (entryName[i] == '\\' && i + 3 < entryName.size() && entryName[i + 1] == 'x' &&
            hex(entryName[i + 2]) >= 0 && hex(entryName[i + 3]) >= 0) {
            label += char(hex(entryName[i + 2]) * 16 + hex(entryName[i + 3]));
            i += 3;
        } else {
            label += entryName[i];
        }
    }
    return label;
}

// The device numbers that stand for the file system holding `path`: its own, and the block
// device the mount table names as its source (btrfs gives files an anonymous device number,
// which no label leads to). The table is the kernel's even when a saved one decides the roots:
// it is matched against the device `stat` sees here.
std::vector<dev_t> devicesOf(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return {};
    }
    std::vector<dev_t> devices{info.st_dev};
    std::string source;
    for (const MountEntry& mount : readMountTable(kernelMountTable)) {
        if (makedev(mount.major, mount.minor) == info.st_dev) {
            source = mount.source; // the last mount over the same device is the visible one
        }
    }
    struct stat node {};
    if (!source.empty() && stat(source.c_str(), &node) == 0 && S_ISBLK(node.st_mode)) {
        devices.push_back(node.st_rdev);
    }
    return devices;
}

std::string labelOf(const std::vector<dev_t>& devices, const std::string& labelFolder) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(labelFolder, error)) {
        struct stat node {};
        if (stat(entry.path().c_str(), &node) != 0 || !S_ISBLK(node.st_mode)) {
            continue;
        }
        for (dev_t device : devices) {
            if (node.st_rdev == device) {
                return decodedLabel(entry.path().filename().string());
            }
        }
    }
    return "";
}

} // namespace

std::optional<VolumeSpace> VolumeSpace::boot() {
    return of("/", "/dev/disk/by-label");
}

std::optional<VolumeSpace> VolumeSpace::of(const std::string& path,
                                           const std::string& labelFolder) {
    struct statvfs capacity {};
    if (statvfs(path.c_str(), &capacity) != 0) {
        return std::nullopt;
    }
    VolumeSpace space;
    space.freeBytes = int64_t(capacity.f_bavail) * int64_t(capacity.f_frsize);
    space.totalBytes = int64_t(capacity.f_blocks) * int64_t(capacity.f_frsize);
    space.name = labelOf(devicesOf(path), labelFolder);
    if (space.name.empty()) {
        space.name = "System disk";
    }
    return space;
}

std::string VolumeSpace::summary() const {
    return name + ": " + formatFileBytes(freeBytes) + " free of " + formatFileBytes(totalBytes);
}

} // namespace nexdir
