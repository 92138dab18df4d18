#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace nexdir {

// The name and capacity of one volume, as the panel's status shows the boot volume. Pure
// value; `boot` and `of` read the system and may be called from any thread.
struct VolumeSpace {
    std::string name;
    int64_t freeBytes = 0;  // available for ordinary use (f_bavail)
    int64_t totalBytes = 0; // the file system's size

    // The file system mounted at "/". Absent when its capacities cannot be read.
    static std::optional<VolumeSpace> boot();

    // The file system that holds `path`, named by its label: the entry of `labelFolder`
    // (udev's /dev/disk/by-label) that leads to its block device, or "System disk" when none
    // does.
    static std::optional<VolumeSpace> of(const std::string& path, const std::string& labelFolder);

    // "Data: 12.4 GB free of 500.1 GB", in the file style of formatFileBytes.
    std::string summary() const;

    bool operator==(const VolumeSpace&) const = default;
};

} // namespace nexdir
