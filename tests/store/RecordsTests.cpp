#include "DataDirectory.h"
#include "FileDiskUsage.h"
#include "FileRecord.h"
#include "NexdirError.h"
#include "SearchCancellation.h"
#include "SearchIndex.h"
#include "SearchResult.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <thread>

using namespace nexdir;
using nexdir::test::TempDirectory;

namespace {
const std::string composedCafe = "Caf\xC3\xA9";    // é as one code point
const std::string decomposedCafe = "Cafe\xCC\x81"; // e + combining acute accent
} // namespace

TEST(Normalize, FoldsCaseDiacriticsAndNormalisationForm) {
    EXPECT_EQ(SearchIndex::normalize(composedCafe), "cafe");
    EXPECT_EQ(SearchIndex::normalize(decomposedCafe), "cafe");
    EXPECT_EQ(SearchIndex::normalize("\xC3\x84RGER.TXT"), "arger.txt"); // ÄRGER.TXT
    EXPECT_EQ(SearchIndex::normalize("R\xC3\xA9sum\xC3\xA9"), "resume");
    EXPECT_EQ(SearchIndex::normalize("Stra\xC3\x9F"
                                     "e"),
              "strasse"); // ß folds to ss
    EXPECT_EQ(SearchIndex::normalize("\xCE\x9A\xCE\x8F\xCE\xA3"),
              "\xCE\xBA\xCF\x89\xCF\x83"); // ΚΏΣ
}

TEST(Normalize, KeepsWhatIsNotCaseOrDiacritics) {
    EXPECT_EQ(SearchIndex::normalize(""), "");
    EXPECT_EQ(SearchIndex::normalize("  A b "), "  a b "); // trimming belongs to the query
    EXPECT_EQ(SearchIndex::normalize("\xEF\xBC\xA1"),
              "\xEF\xBD\x81"); // full-width A → full-width a
    EXPECT_EQ(SearchIndex::normalize("\xE6\x97\xA5\xE6\x9C\xAC"), "\xE6\x97\xA5\xE6\x9C\xAC");
}

TEST(Normalize, ToleratesBytesThatAreNotUTF8) {
    // Invalid sequences and encoded surrogates read as U+FFFD instead of failing.
    EXPECT_EQ(SearchIndex::normalize("A\xFF"
                                     "B"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(SearchIndex::normalize("\xED\xA0\x80x"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx");
    EXPECT_EQ(SearchIndex::normalize("\xC3"), "\xEF\xBF\xBD");
}

TEST(FileRecord, KeepsTheNameAsOnDiskAndSearchesItsNormalForm) {
    FileRecord composed(1, 0, composedCafe, false, 0, 0, std::nullopt, false);
    FileRecord decomposed(2, 0, decomposedCafe, false, 0, 0, std::nullopt, false);
    // Two spellings are two different files on Linux; both are found as "cafe".
    EXPECT_EQ(decomposed.name, decomposedCafe);
    EXPECT_EQ(composed.searchName, "cafe");
    EXPECT_EQ(decomposed.searchName, "cafe");
}

TEST(SearchResult, RecognisesTrashFolders) {
    SearchResult result;
    auto inTrash = [&](const std::string& path) {
        result.path = path;
        return result.isInTrash();
    };
    EXPECT_TRUE(inTrash("/Users/a/.Trash/file"));
    EXPECT_TRUE(inTrash("/Volumes/X/.Trashes/501/file"));
    EXPECT_TRUE(inTrash("/media/usb/.Trash-1000/files/report.pdf"));
    EXPECT_TRUE(inTrash(localTrashDirectory() + "/files/report.pdf"));
    EXPECT_FALSE(inTrash("/home/a/.Trashcan/file"));
    EXPECT_FALSE(inTrash("/home/a/Trash/file"));
    EXPECT_FALSE(inTrash("/media/usb/.Trash-x/file"));
    EXPECT_FALSE(inTrash(localTrashDirectory() + "-old/file"));
}

TEST(SearchResult, EqualityComparesEveryField) {
    SearchResult a;
    a.id = 1;
    a.name = "x";
    SearchResult b = a;
    EXPECT_EQ(a, b);
    b.score = 5;
    EXPECT_NE(a, b);
}

TEST(FileDiskUsage, MeasuresRegularFilesOnlyWithoutFollowingLinks) {
    TempDirectory folder;
    std::string file = folder / "data";
    test::writeFile(file, std::string(100000, 'x'));
    auto usage = FileDiskUsage::read(file);
    ASSERT_TRUE(usage);
    EXPECT_GE(usage->bytes, 100000);
    EXPECT_EQ(usage->bytes % 512, 0);
    EXPECT_FALSE(usage->isDataless);

    std::string link = folder / "link";
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    EXPECT_FALSE(FileDiskUsage::read(link));
    EXPECT_FALSE(FileDiskUsage::read(folder.path()));
    EXPECT_FALSE(FileDiskUsage::read(folder / "missing"));

    // A sparse file occupies what is written, not its length.
    std::string sparse = folder / "sparse";
    int fd = open(sparse.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 1 << 30), 0);
    close(fd);
    EXPECT_LT(*FileDiskUsage::allocatedBytes(sparse), 1 << 20);
}

TEST(SearchCancellation, IsSharedAcrossThreads) {
    auto token = std::make_shared<SearchCancellation>();
    EXPECT_FALSE(token->isCancelled());
    std::thread([token] { token->cancel(); }).join();
    EXPECT_TRUE(token->isCancelled());
}

TEST(NexdirError, CarriesItsKindCodeAndMessage) {
    NexdirError newer = NexdirError::sqlite(newerIndexMessage);
    EXPECT_EQ(newer.kind(), NexdirError::Kind::sqlite);
    EXPECT_EQ(newer.errorDescription(),
              "This index was created by a newer Quelmo. Update the app to open it.");
    NexdirError failed =
        NexdirError::database(11, "Search failed: database disk image is malformed");
    EXPECT_EQ(failed.code(), 11);
    EXPECT_STREQ(failed.what(), "Search failed: database disk image is malformed");
}
