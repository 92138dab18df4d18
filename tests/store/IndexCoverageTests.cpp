#include "IndexCoverage.h"
#include "IndexMetadata.h"
#include "SearchIndex.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace nexdir;
namespace key = nexdir::IndexMetadata;

TEST(IndexCoverage, ReadsWhatTheIndexRecordsAndDamagedValuesAsNothingRecorded) {
    test::TempDirectory folder;
    SearchIndex index(folder / "index.sqlite3");
    IndexCoverage fresh = IndexCoverage::read(index);
    EXPECT_EQ(fresh.indexedItems, 0);
    EXPECT_EQ(fresh.inaccessibleCount, 0);
    EXPECT_TRUE(fresh.paths.empty() && fresh.excluded.empty());
    EXPECT_FALSE(fresh.completed || fresh.needsRecovery);

    std::string notUTF8 = "/srv/caf\xE9";
    index.setMetadata({{key::scanErrors, "2"},
                       {key::inaccessiblePaths, key::encodePathList({"/root", notUTF8})},
                       {key::excludedPaths, key::encodeExclusions({"/srv/b", "/srv/a"})},
                       {key::needsRecovery, "1"}});
    IndexCoverage recorded = IndexCoverage::read(index);
    EXPECT_EQ(recorded.inaccessibleCount, 2);
    EXPECT_EQ(recorded.paths, (std::vector<std::string>{"/root", notUTF8})) << "byte for byte";
    EXPECT_EQ(recorded.excluded, (std::vector<std::string>{"/srv/a", "/srv/b"}));
    EXPECT_TRUE(recorded.needsRecovery);

    // Not a count, not a list of paths, not the flag: read as nothing recorded, never a failure
    // (the window is where the user looks to learn what is wrong).
    for (const char* errors : {"two", "-1", " 3", "", "9223372036854775808"}) {
        index.setMetadata(key::scanErrors, errors);
        EXPECT_EQ(IndexCoverage::read(index).inaccessibleCount, 0) << errors;
    }
    for (const char* paths : {"not json", "{\"a\":1}", "[1,2]", "[\"/a\",null]", "\"/a\""}) {
        index.setMetadata(key::inaccessiblePaths, paths);
        EXPECT_TRUE(IndexCoverage::read(index).paths.empty()) << paths;
    }
    index.setMetadata(key::needsRecovery, "true");
    EXPECT_FALSE(IndexCoverage::read(index).needsRecovery);
}
