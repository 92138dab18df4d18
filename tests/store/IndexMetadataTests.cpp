#include "IndexMetadata.h"
#include "Unicode.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

using namespace nexdir;

TEST(IndexMetadata, PathListsKeepEveryByteAndStayValidJSON) {
    std::vector<std::string> paths = {
        "/plain/ascii",
        "/caf\xC3\xA9/r\xC3\xA9sum\xC3\xA9",     // valid UTF-8 stays as it is
        "/bad/\xFF\xFE name",                    // bytes that start no sequence
        "/bad/\x80\xBF lone continuations",      // continuation bytes with no lead
        "/bad/\xED\xA0\x80 encoded surrogate",   // a surrogate encoded as if a scalar
        "/bad/\xC0\xAF overlong",                // an overlong form of "/"
        "/bad/cut \xE2\x82",                     // a sequence cut short at the end
        "/tricky/\xF4\x8F\xBE\x80 escape range", // a real U+10FF80, which the escape uses
        "/tricky/\xF4\x8F\xBF\xBF last",         // U+10FFFF
        "/quote\" and \\ backslash\n newline",
    };
    std::string encoded = IndexMetadata::encodePathList(paths);
    EXPECT_TRUE(isValidUTF8(encoded)) << encoded;
    EXPECT_TRUE(nlohmann::json::accept(encoded));
    EXPECT_EQ(IndexMetadata::decodePathList(encoded), paths);
    // Valid text is written as any JSON encoder writes it: lists stored before read the same.
    EXPECT_EQ(IndexMetadata::encodePathList({"/a", "/caf\xC3\xA9"}), "[\"/a\",\"/caf\xC3\xA9\"]");

    EXPECT_FALSE(IndexMetadata::decodePathList("not json"));
    EXPECT_FALSE(IndexMetadata::decodePathList("{\"a\":1}"));
    EXPECT_EQ(IndexMetadata::decodePathList("[]"), std::vector<std::string>{});
}

TEST(IndexMetadata, RootsAndNumbers) {
    EXPECT_EQ(IndexMetadata::encodeRoots({"/srv/b/", "/", "/srv/a/../a"}), "/\n/srv/a\n/srv/b");
    EXPECT_EQ(IndexMetadata::decodeRoots(std::string("/\n/srv/a\n")),
              (std::vector<std::string>{"/", "/srv/a"}));
    EXPECT_EQ(IndexMetadata::decodeRoots(std::nullopt), std::vector<std::string>{});
    EXPECT_EQ(IndexMetadata::encodeExclusions({"/z", "/a"}), "[\"/a\",\"/z\"]");
    EXPECT_EQ(IndexMetadata::scoped("/home/u", "eventID"), "region.v1:/home/u:eventID");

    EXPECT_EQ(IndexMetadata::parseUnsigned(std::string("42")), 42u);
    EXPECT_EQ(IndexMetadata::parseUnsigned(std::string("18446744073709551615")), UINT64_MAX);
    for (const char* bad : {"", "-1", "4x", " 4", "1e3", "18446744073709551616"}) {
        EXPECT_FALSE(IndexMetadata::parseUnsigned(std::string(bad))) << bad;
    }
    EXPECT_FALSE(IndexMetadata::parseUnsigned(std::nullopt));
}
