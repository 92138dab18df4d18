#include "ExclusionRules.h"
#include "MountTable.h"
#include "VolumeRoots.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace nexdir;

// Mount tables as the kernel writes them on machines of several layouts (platform/mountinfo/),
// and the roots each must give: every tree on an internal disk, once.
TEST(VolumeRoots, EachTreeOnAnInternalDiskIsARootOnce) {
    const std::pair<std::string, std::vector<std::string>> machines[] = {
        // btrfs subvolumes "root" at / and "home" at /home on one device, a folder of home
        // bound at /srv/data, /boot ext4, the EFI partition, a USB stick, FUSE.
        {"fedora-btrfs", {"/", "/boot", "/home"}},
        // @ and @home (a folder of it bound before it is mounted), @log, @pkg in a cache; the
        // EFI partition at /boot, which this layout lets everyone list.
        {"arch-btrfs", {"/", "/boot", "/home", "/var/log"}},
        // A separate ext4 /home, mounted again whole and in part; snaps, NFS, an overlay.
        {"ubuntu-ext4", {"/", "/home"}},
        // Disks in the mount area, beside it and in a technical location, part of a volume,
        // an unknown file system, lines that do not parse; devices this machine does not have.
        {"data-disks", {"/", "/data", "/srv/data", "/srv/projects"}},
        // Datasets of two pools, each with a device of its own.
        {"ubuntu-zfs", {"/", "/boot", "/home/u", "/root", "/var/log"}},
    };
    auto table = [](const std::string& machine) {
        return std::string(MOUNT_TABLES) + "/" + machine;
    };
    for (const auto& [machine, roots] : machines) {
        setenv("NEXDIR_MOUNTINFO", table(machine).c_str(), 1);
        EXPECT_EQ(VolumeRoots::discover(), roots) << machine;
    }
    // A walk of "/" reads its nested mounts from the same table.
    setenv("NEXDIR_MOUNTINFO", table("fedora-btrfs").c_str(), 1);
    ExclusionRules rules(std::nullopt, {});
    EXPECT_TRUE(rules.shouldSkip("/srv/data/report.txt", "/"));
    EXPECT_FALSE(rules.shouldSkip("/srv/database/report.txt", "/"));
    // Roots that are named win over the table.
    setenv("NEXDIR_ROOTS", "/srv/b:/srv/a::/", 1);
    EXPECT_EQ(VolumeRoots::discover(), (std::vector<std::string>{"/", "/srv/a", "/srv/b"}));
    unsetenv("NEXDIR_ROOTS");
    unsetenv("NEXDIR_MOUNTINFO");

    auto removable = [](const MountEntry&) { return true; };
    EXPECT_EQ(VolumeRoots::fromMounts(readMountTable(table("fedora-btrfs")), removable, {}),
              std::vector<std::string>{"/"});
    EXPECT_EQ(VolumeRoots::fromMounts({}, removable, {}), std::vector<std::string>{"/"});
    EXPECT_FALSE(VolumeRoots::changed({"/", "/data"}, {"/data/", "/"}));
    EXPECT_TRUE(VolumeRoots::changed({"/"}, {"/", "/data"}));
}
