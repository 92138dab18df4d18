#include "RecoveryRegion.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace nexdir;
namespace fs = std::filesystem;

TEST(RecoveryRegion, APlanOfTheRootTheHomeAndItsRealFolders) {
    test::TempDirectory folder;
    std::string root = folder / "tree";
    std::string home = root + "/home/u";
    for (const char* name : {"Documents", "Downloads", ".local/share", "elsewhere"}) {
        fs::create_directories(home + "/" + name);
    }
    fs::create_directory_symlink(home + "/elsewhere", home + "/Desktop"); // a link: no region
    auto regions = RecoveryRegion::plan({root}, home);
    ASSERT_EQ(regions.size(), 6u);
    EXPECT_EQ(regions[0], (RecoveryRegion{root, {home}}));
    EXPECT_EQ(regions[1],
              (RecoveryRegion{home, {home + "/.local", home + "/Documents", home + "/Downloads"}}));
    EXPECT_EQ(regions[2], (RecoveryRegion{home + "/.local", {home + "/.local/share"}}));
    EXPECT_EQ(regions[3], (RecoveryRegion{home + "/.local/share", {}}));
    // A candidate outside every root is no region.
    EXPECT_EQ(RecoveryRegion::plan({home + "/Documents"}, home).size(), 1u);
    // With "/" as the root the system's usual folders are regions too.
    auto system = RecoveryRegion::plan({"/"}, home);
    EXPECT_EQ(system.front().path, "/");
    EXPECT_TRUE(std::count(system.front().children.begin(), system.front().children.end(), "/usr"));

    std::string text = RecoveryRegion::configuration(regions, "/:abc", "[]");
    EXPECT_TRUE(text.starts_with("[{\"children\":[\"" + home + "\"],\"path\":\"" + root + "\"}"));
    EXPECT_TRUE(text.ends_with("]/:abc[]"));
}

TEST(RecoveryRegion, CandidatesPastEightNestedRegionsStayPartOfTheirParent) {
    test::TempDirectory folder;
    std::string root = folder / "tree";
    std::string home = root + "/home/u";
    for (const char* name : {"Desktop", "Documents", "Downloads", "Music", "Pictures", "Videos",
                             ".config", ".local/share", "Games"}) {
        fs::create_directories(home + "/" + name);
    }
    // Another disk mounted in the home folder: a root, and so a region whatever the count.
    auto regions = RecoveryRegion::plan({root, home + "/Games"}, home);
    auto at = [&](const std::string& path) {
        return *std::find_if(regions.begin(), regions.end(),
                             [&](const RecoveryRegion& region) { return region.path == path; });
    };
    EXPECT_EQ(at(home).children,
              (std::vector<std::string>{home + "/.config", home + "/Desktop", home + "/Documents",
                                        home + "/Downloads", home + "/Games", home + "/Music",
                                        home + "/Pictures", home + "/Videos"}));
    EXPECT_EQ(regions.size(), 10u); // .local and .local/share are the home region's own

    // Nested roots past the limit are regions all the same; no candidate adds to them.
    std::vector<std::string> roots{root};
    for (int i = 0; i < 10; ++i) {
        roots.push_back(root + "/disk" + std::to_string(i));
        fs::create_directories(roots.back());
    }
    auto many = RecoveryRegion::plan(roots, home);
    EXPECT_EQ(many.front().children.size(), 10u);
    EXPECT_EQ(many.size(), 11u);
}

TEST(RecoveryRegion, ScopingAndManualTargets) {
    RecoveryRegion home{"/home/u", {}};
    FileSystemEvent drop{"/var/x", EventFlags::kernelDropped, 3};
    EXPECT_EQ(home.scoped(drop).path, "/home/u");
    EXPECT_EQ(home.scoped({"/", EventFlags::mustScanSubDirs, 4}).path, "/home/u");
    EXPECT_EQ(home.scoped({"/home/u/a", EventFlags::mustScanSubDirs, 5}).path, "/home/u/a");
    EXPECT_EQ(home.scoped({"/home/u/b", 0, 6}), (FileSystemEvent{"/home/u/b", 0, 6}));

    EXPECT_EQ(RecoveryRegion::manualVerificationTargets({"a", "b"}, {}),
              (std::set<std::string>{"a", "b"}));
    EXPECT_EQ(RecoveryRegion::manualVerificationTargets({"a", "b"}, {"b", "c"}),
              std::set<std::string>{"b"});
}

TEST(RecoveryRegion, PathOperations) {
    EXPECT_TRUE(RecoveryRegion::contains("/", "/anything"));
    EXPECT_TRUE(RecoveryRegion::contains("/home", "/home"));
    EXPECT_FALSE(RecoveryRegion::contains("/home", "/homework"));
    EXPECT_EQ(RecoveryRegion::eventPath("/private/var/folders/x", "/var"), "/var/folders/x");
    EXPECT_EQ(RecoveryRegion::eventPath("/var/log/x", "/private/var"), "/private/var/log/x");
    EXPECT_EQ(RecoveryRegion::eventPath("/srv/x", "/home"), "/srv/x");
}
