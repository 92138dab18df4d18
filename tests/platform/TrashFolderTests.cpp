#include "TrashFolder.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace nexdir;
using nexdir::test::TempDirectory;

namespace {

// A file whose blocks are allocated, as a file written in full has them.
int64_t makeAllocatedFile(const std::string& path, off_t bytes) {
    test::makeFile(path, "");
    int fd = open(path.c_str(), O_WRONLY);
    EXPECT_EQ(posix_fallocate(fd, 0, bytes), 0);
    close(fd);
    struct stat info {};
    lstat(path.c_str(), &info);
    return int64_t(info.st_blocks) * 512;
}

} // namespace

TEST(TrashFolderTest, CountsRegularFilesOnceAndNeverThroughLinks) {
    TempDirectory folder;
    std::string trash = folder / "Trash";
    EXPECT_EQ(measureTrash(trash, 100, 3.0).bytes, 0); // never used: empty, known
    EXPECT_TRUE(measureTrash(trash, 100, 3.0).complete);
    int64_t expected = makeAllocatedFile(trash + "/files/report.pdf", 64 * 1024);
    expected += makeAllocatedFile(trash + "/files/photos/a.jpg", 128 * 1024);
    test::makeFile(trash + "/info/report.pdf.trashinfo", "[Trash Info]\n");
    // A link to a large file outside, and one to a folder, count nothing.
    makeAllocatedFile(folder / "large.iso", 4 * 1024 * 1024);
    symlink((folder / "large.iso").c_str(), (trash + "/files/large-link").c_str());
    symlink(folder.path().c_str(), (trash + "/files/folder-link").c_str());

    TrashSize size = measureTrash(trash, 100, 3.0);
    EXPECT_EQ(size.bytes, expected);
    EXPECT_TRUE(size.complete);
    EXPECT_TRUE(size.readable);
    // Five entries (two files, a folder, two links): a limit of five counts them all, four
    // gives a lower bound.
    EXPECT_TRUE(measureTrash(trash, 5, 3.0).complete);
    TrashSize bounded = measureTrash(trash, 4, 3.0);
    EXPECT_FALSE(bounded.complete);
    EXPECT_TRUE(bounded.readable);
    EXPECT_LE(bounded.bytes, expected);
    EXPECT_FALSE(measureTrash(trash, 100, 0.0).complete);
}

TEST(TrashFolderTest, ATrashThatCannotBeReadHasNoSize) {
    TempDirectory folder;
    std::string trash = folder / "Trash";
    makeAllocatedFile(trash + "/files/a", 4096);
    chmod((trash + "/files").c_str(), 0);
    std::string answer = test::runUnprivileged([&] {
        TrashSize size = measureTrash(trash, 100, 3.0);
        return std::string(size.readable ? "readable" : "unreadable") +
               (size.complete ? " complete" : " incomplete");
    });
    chmod((trash + "/files").c_str(), 0700);
    EXPECT_EQ(answer, "unreadable incomplete");
}

TEST(TrashFolderTest, PreparesOnlyAFolderOfItsOwnAndTellsFilesApart) {
    TempDirectory folder;
    umask(022);
    std::string trash = folder / "data/Trash"; // its parent does not exist yet either
    EXPECT_NE(prepareTrashFolder(trash, false), std::nullopt);
    EXPECT_EQ(prepareTrashFolder(trash, true), std::nullopt);
    for (const std::string& made : {folder / "data", trash, trash + "/files", trash + "/info"}) {
        EXPECT_EQ(test::permissions(made), 0700u) << made;
    }
    EXPECT_EQ(prepareTrashFolder(trash, false), std::nullopt); // ready already

    test::makeFile(folder / "disk/.Trash-0", "not a folder");
    EXPECT_NE(prepareTrashFolder(folder / "disk/.Trash-0", false), std::nullopt);
    symlink(trash.c_str(), (folder / "disk/.Trash-1").c_str());
    EXPECT_NE(prepareTrashFolder(folder / "disk/.Trash-1", false), std::nullopt);

    std::string uid = std::to_string(geteuid());
    EXPECT_EQ(volumeTrashFolder(folder / "disk"), folder / "disk/.Trash-" + uid);
    // An administrator's shared .Trash counts only with its sticky bit.
    ASSERT_EQ(mkdir((folder / "disk/.Trash").c_str(), 0777), 0);
    EXPECT_EQ(volumeTrashFolder(folder / "disk"), folder / "disk/.Trash-" + uid);
    chmod((folder / "disk/.Trash").c_str(), 01777);
    EXPECT_EQ(volumeTrashFolder(folder / "disk"), folder / "disk/.Trash/" + uid);

    std::string file = folder / "disk/file";
    test::makeFile(file, "one");
    auto identity = regularFileIdentity(file);
    ASSERT_TRUE(identity);
    EXPECT_EQ(regularFileIdentity(file), identity);
    test::makeFile(folder / "disk/other", "two");
    rename((folder / "disk/other").c_str(), file.c_str()); // replaced under the same name
    EXPECT_NE(regularFileIdentity(file), identity);
    EXPECT_EQ(regularFileIdentity(folder / "disk"), std::nullopt);
    EXPECT_EQ(regularFileIdentity(folder / "disk/.Trash-1"), std::nullopt); // a link
}
