#include "ExclusionRules.h"
#include "MountTable.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

using namespace nexdir;
using nexdir::test::TempDirectory;

namespace {

// The tables of the system this design was first written for: its documented examples are
// checked against the algorithm with them.
ExclusionTables referenceTables(const std::string& home) {
    ExclusionTables tables;
    tables.technicalPaths = {cloudStoragePathFor(home),
                             "/System/Library/Templates",
                             "/System/Library/AssetsV2",
                             "/System/Library/DirectoryServices",
                             "/System/Volumes/iSCPreboot",
                             "/private/var/db",
                             "/private/var/run",
                             "/private/var/spool",
                             "/private/var/root",
                             "/private/var/protected",
                             "/private/var/folders",
                             "/private/tmp",
                             "/Library/Application Support/com.apple.TCC",
                             "/Library/Application Support/Apple/AssetCache",
                             "/Library/Trial"};
    for (const char* name :
         {"Accounts", "AppleMediaServices", "Biome", "DuetExpertCenter", "Daemon Containers",
          "Metadata", "IntelligencePlatform", "Cookies", "CoreFollowUp", "DoNotDisturb",
          "PersonalizationPortrait", "Suggestions", "Trial", "Photos",
          "com.apple.aiml.instrumentation", "Application Support/com.apple.TCC",
          "Application Support/Knowledge", "Application Support/DifferentialPrivacy",
          "Assistant/SiriVocabulary"}) {
        tables.technicalPaths.push_back(home + "/Library/" + name);
    }
    tables.fixedLocations = {"/dev",
                             "/private/var/folders",
                             "/private/tmp",
                             "/System/Volumes/Data",
                             "/System/Volumes/Preboot",
                             "/System/Volumes/VM",
                             "/System/Volumes/Update"};
    tables.otherVolumes = {"/Volumes"};
    tables.cacheRoots = {"/Library/Caches", "/System/Library/Caches"};
    tables.eventStreamCandidates = {
        cloudStoragePathFor(home), "/private/tmp",       "/private/var/folders",
        "/private/var/db",         "/Library/Caches",    "/System/Volumes/Data",
        "/System/Volumes/Preboot", "/System/Volumes/VM", "/System/Volumes/Update"};
    return tables;
}

} // namespace

namespace {

// The reference tables, where the design's own examples live.
ExclusionRules referenceRules(std::vector<std::string> excluded = {}) {
    return ExclusionRules("/Users/a/Library/Application Support/Nexdir", excluded,
                          referenceTables("/Users/a"), "/Users/a", {});
}

ExclusionRules linuxRules(std::vector<std::string> mounts = {}) {
    return ExclusionRules("/home/u/.local/share/Nexdir", {},
                          ExclusionTables::linuxTables("/home/u"), "/home/u", mounts);
}

} // namespace

TEST(ExclusionRules, OtherVolumesAreSkippedOnlyByAWalkOfTheSystemRoot) {
    auto rules = referenceRules();
    EXPECT_TRUE(rules.shouldSkip("/Volumes", "/"));
    EXPECT_TRUE(rules.shouldSkip("/Volumes/Backup/x", "/"));
    EXPECT_FALSE(rules.shouldSkip("/Volumes/Backup/x", "/Volumes/Backup"));
    EXPECT_FALSE(rules.shouldSkip("/Users/a/Documents/notes.txt", "/"));
}

TEST(ExclusionRules, TechnicalLocationsAreSkippedUnlessTheWalkStartsInside) {
    auto rules = referenceRules();
    EXPECT_TRUE(rules.shouldSkip("/private/var/db", "/"));
    EXPECT_TRUE(rules.shouldSkip("/private/var/db/x", "/"));
    EXPECT_FALSE(rules.shouldSkip("/private/var/db/x/y", "/private/var/db/x"));
    EXPECT_TRUE(rules.shouldSkip("/Users/a/Library/Biome/streams", "/"));
    // The cloud-storage folder is skipped even from inside.
    EXPECT_TRUE(
        rules.shouldSkip("/Users/a/Library/CloudStorage/Drive/f", "/Users/a/Library/CloudStorage"));
    // Fixed locations hold whatever the root.
    EXPECT_TRUE(rules.shouldSkip("/private/tmp/x", "/private/tmp"));
}

TEST(ExclusionRules, CustomExclusionsAndTheIndexFolder) {
    auto rules = referenceRules({"/Users/a/Proj/", "/Users/a/./Other/../Old"});
    EXPECT_TRUE(rules.shouldSkip("/Users/a/Proj", "/"));
    EXPECT_TRUE(rules.shouldSkip("/Users/a/Proj/x", "/"));
    EXPECT_FALSE(rules.shouldSkip("/Users/a/Project2", "/"));
    EXPECT_TRUE(rules.shouldSkip("/Users/a/Old/file", "/"));
    EXPECT_TRUE(
        rules.shouldSkip("/Users/a/Library/Application Support/Nexdir/index-v2.sqlite3", "/"));
    auto everything = referenceRules({"/"});
    EXPECT_TRUE(everything.shouldSkip("/anything/at/all", "/"));
}

TEST(ExclusionRules, CachePatternsAndAlwaysExcludedNames) {
    auto rules = referenceRules();
    EXPECT_TRUE(rules.shouldSkip("/Users/a/Library/Caches", "/"));
    EXPECT_TRUE(rules.shouldSkip("/Users/a/Library/Caches/x", "/"));
    EXPECT_TRUE(rules.shouldSkip("/Volumes/Disk/Library/Caches/x", "/Volumes/Disk"));
    EXPECT_FALSE(rules.shouldSkip("/Users/a/.cargo/registry", "/"));
    EXPECT_TRUE(rules.shouldSkip("/Users/a/.cargo/registry/index", "/"));
    EXPECT_TRUE(rules.shouldSkip("/Users/a/go/pkg/mod", "/"));
    EXPECT_TRUE(rules.shouldSkip("/Users/a/p/.git/config", "/"));
    EXPECT_TRUE(rules.shouldSkip("/Users/a/p/.build/debug/x", "/Users/a/p/.build/debug"));
    EXPECT_TRUE(rules.shouldSkip("/Users/a/p/node_modules", "/"));
    EXPECT_TRUE(rules.shouldSkip("/Users/a/Icon\r", "/"));
    EXPECT_FALSE(rules.shouldSkip("/Users/a/Icon", "/"));
    EXPECT_FALSE(rules.shouldSkip("/Users/a/p/.github/workflows", "/"));
}

TEST(ExclusionRules, BuildOutputNeedsItsMarker) {
    TempDirectory folder;
    auto rules = referenceRules();
    // Each output in a project of its own, skipped once its marker is there (venv's is inside).
    const std::vector<std::pair<std::string, std::string>> outputs = {
        {"coverage", "package.json"}, {"venv", "venv/pyvenv.cfg"}, {"build", "CMakeLists.txt"},
        {"build", "meson.build"},     {"build", "build.gradle"},   {"build", "build.gradle.kts"},
        {"_build", "dune-project"},   {"_build", "mix.exs"},       {".stack-work", "stack.yaml"}};
    for (size_t i = 0; i < outputs.size(); ++i) {
        const auto& [name, marker] = outputs[i];
        std::string project = folder / ("project" + std::to_string(i));
        std::filesystem::create_directories(project + "/" + name);
        EXPECT_FALSE(rules.shouldSkip(project + "/" + name, folder.path())) << name;
        test::writeFile(project + "/" + marker, "");
        EXPECT_TRUE(rules.shouldSkip(project + "/" + name, folder.path())) << marker;
    }
    // Another output's marker does not count.
    std::string web = folder / "project0";
    for (const char* name : {"target", "build", "dist"}) {
        std::filesystem::create_directories(web + "/" + name);
        EXPECT_FALSE(rules.shouldSkip(web + "/" + name, folder.path())) << name;
    }
    EXPECT_TRUE(rules.shouldSkip(web + "/.venv", folder.path()));
}

TEST(ExclusionRules, LinuxTablesAndNestedMounts) {
    auto rules = linuxRules({"/", "/home", "/proc", "/srv/data", "/media/usb"});
    EXPECT_TRUE(rules.shouldSkip("/proc/1/status", "/"));
    EXPECT_TRUE(rules.shouldSkip("/tmp/session", "/"));
    EXPECT_FALSE(rules.shouldSkip("/tmp/tree/file", "/tmp/tree"));
    EXPECT_TRUE(rules.shouldSkip("/var/cache/apt/archives", "/var"));
    EXPECT_TRUE(rules.shouldSkip("/mnt/share/file", "/"));
    EXPECT_FALSE(rules.shouldSkip("/media/usb/photo.jpg", "/media/usb"));
    EXPECT_TRUE(rules.shouldSkip("/home/u/.local/share/Trash/expunged/1", "/home"));
    EXPECT_TRUE(rules.shouldSkip("/home/u/.local/share/Nexdir/debug.log", "/home"));
    // Another file system below the walk's root is never entered...
    EXPECT_TRUE(rules.shouldSkip("/home", "/"));
    EXPECT_TRUE(rules.shouldSkip("/home/u/notes.txt", "/"));
    EXPECT_TRUE(rules.shouldSkip("/srv/data/x", "/srv"));
    // ...but is walked as a root of its own.
    EXPECT_FALSE(rules.shouldSkip("/home/u/notes.txt", "/home"));
    EXPECT_FALSE(rules.shouldSkip("/srv/database/x", "/srv"));
}

TEST(ExclusionRules, EventStreamExclusionsLieStrictlyInsideTheRegion) {
    auto rules = referenceRules();
    EXPECT_EQ(rules.eventStreamExclusions("/", {"/Users/a"}),
              (std::vector<std::string>{"/private/tmp", "/private/var/folders", "/private/var/db",
                                        "/Library/Caches", "/System/Volumes/Data",
                                        "/System/Volumes/Preboot", "/System/Volumes/VM",
                                        "/System/Volumes/Update"}));
    EXPECT_EQ(rules.eventStreamExclusions("/Users/a", {}),
              (std::vector<std::string>{"/Users/a/Library/Application Support/Nexdir",
                                        "/Users/a/Library/CloudStorage"}));
    EXPECT_TRUE(rules.eventStreamExclusions("/private/tmp", {}).empty());
}

TEST(MountTable, ParsesMountInfoLines) {
    auto mounts = parseMountTable(
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "41 22 0:36 / /media/my\\040disk rw,nosuid shared:20 master:3 - vfat /dev/sdb1 rw\n"
        "garbage line\n");
    ASSERT_EQ(mounts.size(), 2u);
    EXPECT_EQ(mounts[0].mountPoint, "/");
    EXPECT_EQ(mounts[0].fileSystemType, "ext4");
    EXPECT_EQ(mounts[1].mountPoint, "/media/my disk");
    EXPECT_EQ(mounts[1].source, "/dev/sdb1");
    EXPECT_EQ(mounts[1].major, 0u);
    EXPECT_EQ(mounts[1].minor, 36u);
    EXPECT_FALSE(readMountTable().empty());
}

// The walkers test only what a child's own name adds; that must give the full test's answer
// for every child of a kept folder, whatever the tables, the roots and the names.
TEST(ExclusionRules, TheChildTestAgreesWithTheFullTestUnderEveryKeptFolder) {
    std::mt19937 random(7);
    const std::vector<std::string> names = {"a",
                                            "b",
                                            "home",
                                            "u",
                                            "Library",
                                            "Caches",
                                            ".git",
                                            "node_modules",
                                            ".cargo",
                                            "registry",
                                            "git",
                                            "go",
                                            "pkg",
                                            "mod",
                                            ".npm",
                                            "_cacache",
                                            "proc",
                                            "tmp",
                                            "media",
                                            "usb",
                                            "var",
                                            "cache",
                                            ".local",
                                            "share",
                                            "Nexdir",
                                            "index-v2.sqlite3",
                                            "rebuild.lock",
                                            ".rebuild-x",
                                            "Trash",
                                            "expunged",
                                            "srv",
                                            "data",
                                            "Users",
                                            "Volumes",
                                            "private",
                                            "db",
                                            "Proj",
                                            "CloudStorage",
                                            "System",
                                            "Icon\r",
                                            "gradle",
                                            "caches",
                                            ".gradle",
                                            ".m2",
                                            "repository"};
    std::vector<ExclusionRules> rulesets = {
        linuxRules({"/", "/home", "/proc", "/srv/data", "/media/usb", "/home/u/data"})
            .withIndexFiles("/srv/idx/index-v2.sqlite3"),
        referenceRules({"/Users/a/Proj", "/home/u/a"}),
    };
    const std::vector<std::string> roots = {"/",        "/home/u", "/tmp", "/home/u/.cargo",
                                            "/Users/a", "/srv"};
    int compared = 0;
    for (const ExclusionRules& rules : rulesets) {
        for (int i = 0; i < 20000; ++i) {
            const std::string& root = roots[random() % roots.size()];
            std::string path = root;
            for (int depth = 1 + int(random() % 6); depth > 0; --depth) {
                std::string parent = path;
                path = (path == "/" ? "" : path) + "/" + names[random() % names.size()];
                if (rules.shouldSkipStandardized(parent, root)) {
                    break; // a walk never lists a folder it skips
                }
                ASSERT_EQ(rules.shouldSkipChild(path, root),
                          rules.shouldSkipStandardized(path, root))
                    << path << " in a walk of " << root;
                compared += 1;
            }
        }
    }
    EXPECT_GT(compared, 50000);
}
