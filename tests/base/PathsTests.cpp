#include "Paths.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace nexdir;

TEST(Paths, StandardizationIsLexical) {
    EXPECT_EQ(standardizePath("/a/./b/../c/"), "/a/c");
    EXPECT_EQ(standardizePath("//a//b"), "/a/b");
    EXPECT_EQ(standardizePath("/.."), "/");
    EXPECT_EQ(standardizePath("/a/../.."), "/");
    EXPECT_EQ(standardizePath("/"), "/");
    // No disk access: a path that does not exist standardises all the same.
    EXPECT_EQ(standardizePath("/no/such/../place"), "/no/place");

    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(standardizePath("x/y"), standardizePath(std::string(cwd) + "/x/y"));
}

TEST(Paths, AtOrUnderNeedsAComponentBoundary) {
    EXPECT_TRUE(isAtOrUnder("/home/a", "/home/a"));
    EXPECT_TRUE(isAtOrUnder("/home/a/b", "/home/a"));
    EXPECT_FALSE(isAtOrUnder("/home/ab", "/home/a"));
    EXPECT_FALSE(isAtOrUnder("/home", "/home/a"));
    EXPECT_TRUE(isAtOrUnder("/anything", "/"));
    EXPECT_TRUE(isAtOrUnder("/", "/"));
}

TEST(Paths, ComponentsAreJoinedAndSplitAtSlashes) {
    EXPECT_EQ(lastPathComponent("/a/b"), "b");
    EXPECT_EQ(lastPathComponent("/"), "/");
    EXPECT_EQ(lastPathComponent("/Volumes/Data"), "Data");
    EXPECT_EQ(appendingPathComponent("/", "a"), "/a");
    EXPECT_EQ(appendingPathComponent("/a", "b"), "/a/b");
}
