#include "TestSupport.h"
#include "VolumeSpace.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <filesystem>

using namespace nexdir;
using nexdir::test::TempDirectory;

TEST(VolumeSpace, NamedByTheLabelThatLeadsToItsDeviceOrSystemDisk) {
    TempDirectory folder;
    std::string labels = folder / "by-label";
    std::filesystem::create_directories(labels);
    std::filesystem::create_symlink("/dev/null", labels + "/NotABlockDevice");

    std::optional<VolumeSpace> unnamed = VolumeSpace::of(folder.path(), labels);
    ASSERT_TRUE(unnamed);
    EXPECT_EQ(unnamed->name, "System disk");
    struct statvfs capacity {};
    ASSERT_EQ(statvfs(folder.path().c_str(), &capacity), 0);
    EXPECT_EQ(unnamed->totalBytes, int64_t(capacity.f_blocks) * int64_t(capacity.f_frsize));
    EXPECT_GT(unnamed->freeBytes, 0);
    EXPECT_LE(unnamed->freeBytes, unnamed->totalBytes);
    EXPECT_FALSE(VolumeSpace::of(folder / "missing", labels));
    EXPECT_TRUE(VolumeSpace::boot());

    // udev's entry for a labelled device: a link to its node, the label's unsafe bytes
    // written as \xNN. The node stands in for the device that holds the folder.
    struct stat info {};
    ASSERT_EQ(stat(folder.path().c_str(), &info), 0);
    if (mknod((folder / "node").c_str(), S_IFBLK | 0600, info.st_dev) != 0) {
        GTEST_SKIP() << "device nodes cannot be made here";
    }
    std::filesystem::create_symlink("../node", labels + "/Backup\\x20Disk\\x2f2024");
    EXPECT_EQ(VolumeSpace::of(folder.path(), labels)->name, "Backup Disk/2024");
}

TEST(VolumeSpace, SummaryCountsBytesAsFilesAreCounted) {
    EXPECT_EQ((VolumeSpace{"System disk", 12'345, 2'281'701'376}).summary(),
              "System disk: 12 KB free of 2.28 GB");
    EXPECT_EQ((VolumeSpace{"Data", 0, 999}).summary(), "Data: Zero KB free of 999 bytes");
}
