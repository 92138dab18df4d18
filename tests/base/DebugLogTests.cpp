#include "Clock.h"
#include "DataDirectory.h"
#include "DebugLog.h"
#include "DiagnosticSession.h"
#include "DiagnosticTiming.h"
#include "Format.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <thread>

using namespace nexdir;
using nexdir::test::TempDirectory;

namespace {

// Points the log at a fresh folder for one test and restores the environment afterwards.
class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("NEXDIR_DEBUG_LOG_PATH")) {
            saved_ = old;
        }
        logPath = folder / "logs/debug.log";
        setenv("NEXDIR_DEBUG_LOG_PATH", logPath.c_str(), 1);
    }
    void TearDown() override {
        if (saved_) {
            setenv("NEXDIR_DEBUG_LOG_PATH", saved_->c_str(), 1);
        } else {
            unsetenv("NEXDIR_DEBUG_LOG_PATH");
        }
    }
    std::vector<std::string> lines() {
        std::vector<std::string> result;
        std::string contents = test::readFile(logPath);
        size_t start = 0;
        while (start < contents.size()) {
            size_t end = contents.find('\n', start);
            result.push_back(contents.substr(start, end - start));
            start = end + 1;
        }
        return result;
    }

    TempDirectory folder;
    std::string logPath;
    std::optional<std::string> saved_;
};

} // namespace

TEST_F(DebugLogTest, WritesOneLineInTheReportFormat) {
    DebugLog::write("scan installed items=12\nmore");
    auto written = lines();
    ASSERT_EQ(written.size(), 1u);
    std::regex format(
        R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z pid=\d+ scan installed items=12 more )"
        R"(session=[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12} )"
        R"(uptime=\d+\.\d+$)");
    EXPECT_TRUE(std::regex_match(written[0], format)) << written[0];
    EXPECT_NE(written[0].find(" pid=" + std::to_string(getpid()) + " "), std::string::npos);
    EXPECT_NE(written[0].find("session=" + DiagnosticSession::id()), std::string::npos);
    // It names the user's files: its owner's alone, and so is the folder made for it.
    EXPECT_EQ(test::permissions(logPath), 0600u);
    EXPECT_EQ(test::permissions(folder / "logs"), 0700u);
}

TEST_F(DebugLogTest, RotatesOnlyAboveTwoMillionBytes) {
    DebugLog::write("first");
    std::string atLimit(2'000'000, 'a');
    test::writeFile(logPath, atLimit);
    DebugLog::write("still here");
    EXPECT_FALSE(test::exists(DebugLog::previousURL()));

    test::writeFile(DebugLog::previousURL(), "older generation");
    test::writeFile(logPath, atLimit + "b");
    DebugLog::write("fresh");
    EXPECT_EQ(test::readFile(DebugLog::previousURL()).size(), 2'000'001u);
    EXPECT_EQ(test::permissions(DebugLog::previousURL()), 0600u);
    auto written = lines();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_NE(written[0].find(" fresh session="), std::string::npos);
}

TEST_F(DebugLogTest, AnEmptyOverrideMeansTheDefaultLocation) {
    setenv("NEXDIR_DEBUG_LOG_PATH", "", 1);
    EXPECT_EQ(DebugLog::url(), applicationDataDirectory() + "/debug.log");
}

TEST_F(DebugLogTest, NeverFailsItsCaller) {
    test::writeFile(folder / "file", "x");
    setenv("NEXDIR_DEBUG_LOG_PATH", (folder / "file/debug.log").c_str(), 1);
    EXPECT_NO_THROW(DebugLog::write("lost"));
}

TEST_F(DebugLogTest, LinesFromManyThreadsNeverInterleave) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 100; ++i) {
                DebugLog::write("thread=" + std::to_string(t) + " line=" + std::to_string(i));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    auto written = lines();
    ASSERT_EQ(written.size(), 400u);
    std::regex format(R"(^\S+ pid=\d+ thread=\d line=\d+ session=\S+ uptime=\S+$)");
    for (const auto& line : written) {
        EXPECT_TRUE(std::regex_match(line, format)) << line;
    }
}

TEST_F(DebugLogTest, SlowOperationsAreLoggedFrom250Milliseconds) {
    DiagnosticTiming::record(7, uptimeSeconds() - 0.2);
    EXPECT_FALSE(test::exists(logPath));

    DiagnosticTiming::record(5, uptimeSeconds() - 0.25, 0);
    DiagnosticTiming::record(9, uptimeSeconds() - 1.0);
    auto written = lines();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_TRUE(std::regex_search(
        written[0],
        std::regex(R"( slow operation phase=5 elapsedMs=25\d\.\d+ sqliteResult=0 session=)")))
        << written[0];
    EXPECT_TRUE(std::regex_search(
        written[1], std::regex(R"( slow operation phase=9 elapsedMs=\d+\.\d+ session=)")))
        << written[1];
}

TEST(Format, ShortestDecimalAlwaysShowsAFraction) {
    EXPECT_EQ(shortestDecimal(12.0), "12.0");
    EXPECT_EQ(shortestDecimal(250.0), "250.0");
    EXPECT_EQ(shortestDecimal(0.1), "0.1");
    EXPECT_EQ(shortestDecimal(100000.0), "100000.0");
    EXPECT_EQ(shortestDecimal(249.9), "249.9");
    EXPECT_EQ(shortestDecimal(1e-05), "1e-05");
}

TEST_F(DebugLogTest, SessionsCountLaunchesAndUncleanExits) {
    InMemoryDefaults defaults;
    {
        DiagnosticSession session(defaults);
        session.end(); // never begun: nothing happens
        EXPECT_TRUE(lines().empty());
        session.begin();
        session.begin();
        EXPECT_EQ(defaults.integer("diagnosticsLaunches"), 1);
        EXPECT_TRUE(defaults.boolean("diagnosticsSessionOpen"));
        // Not ended: as if the process had crashed.
    }
    DiagnosticSession next(defaults);
    next.begin();
    EXPECT_EQ(defaults.integer("diagnosticsLaunches"), 2);
    EXPECT_EQ(defaults.integer("diagnosticsUncleanExits"), 1);
    next.end();
    EXPECT_FALSE(defaults.boolean("diagnosticsSessionOpen"));

    auto written = lines();
    ASSERT_EQ(written.size(), 3u);
    EXPECT_NE(written[0].find(" session begin launches=1 uncleanExits=0 previousUnclean=false "),
              std::string::npos);
    EXPECT_NE(written[1].find(" session begin launches=2 uncleanExits=1 previousUnclean=true "),
              std::string::npos);
    EXPECT_TRUE(
        std::regex_search(written[2], std::regex(R"( session end seconds=\d+\.\d+(e-\d+)? )")));
}
