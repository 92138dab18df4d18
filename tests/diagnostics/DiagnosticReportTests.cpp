#include "DebugLog.h"
#include "DiagnosticReport.h"
#include "Sha256.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <random>
#include <regex>
#include <sstream>

using namespace nexdir;
using nexdir::test::TempDirectory;

namespace {

constexpr const char* prefix = "2024-05-06T07:08:09Z pid=4242 ";
constexpr const char* session = "session=0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";

std::optional<std::string> sanitized(const std::string& message, const std::string& salt = "s") {
    return DiagnosticReport::sanitize(prefix + message, salt);
}

std::string regionOf(const std::string& line) {
    std::smatch match;
    return std::regex_search(line, match, std::regex("region=([0-9a-f]{16})")) ? match[1].str()
                                                                               : "";
}

std::vector<std::string> reportLines(const DiagnosticReport& report) {
    std::vector<std::string> lines;
    std::istringstream text(report.text.substr(report.text.find("\n\n") + 2));
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Points the debug log of this process at `log` while it lives.
class LogMovedTo {
public:
    explicit LogMovedTo(const std::string& log) {
        if (const char* old = std::getenv("NEXDIR_DEBUG_LOG_PATH")) {
            saved_ = old;
        }
        setenv("NEXDIR_DEBUG_LOG_PATH", log.c_str(), 1);
    }
    ~LogMovedTo() {
        if (saved_) {
            setenv("NEXDIR_DEBUG_LOG_PATH", saved_->c_str(), 1);
        } else {
            unsetenv("NEXDIR_DEBUG_LOG_PATH");
        }
    }

private:
    std::optional<std::string> saved_;
};

} // namespace

TEST(DiagnosticReport, KeepsListedPhrasesAndNumericFieldsOnly) {
    // Listed fields in message order, then the identifiers.
    EXPECT_EQ(sanitized(std::string("scan begin baseline=7 ") + session + " uptime=12.5"),
              std::string("2024-05-06T07:08:09Z scan begin baseline=7 uptime=12.5 ") + session);
    // A phrase must end the message or be followed by a space.
    EXPECT_EQ(sanitized("scan beginning baseline=7"), std::nullopt);
    EXPECT_EQ(sanitized("scan begin"), "2024-05-06T07:08:09Z scan begin");
    // The first listed phrase that fits names the line.
    EXPECT_EQ(sanitized("region apply step items=2"),
              "2024-05-06T07:08:09Z region apply step items=2");
    EXPECT_EQ(sanitized("watch limit reached limit=8192"), std::nullopt);
    // Text values, unlisted keys, keys inside other words, and values that run into more text
    // are left out; every number form the log writes is kept.
    EXPECT_EQ(sanitized("scan failed cause=explicit secret=4 xitems=5 items=3x errorCode=-13 "
                        "elapsedMs=1e-05 seconds=2.5e+16 forced=true manual=false readable=1.5e"),
              "2024-05-06T07:08:09Z scan failed errorCode=-13 elapsedMs=1e-05 seconds=2.5e+16 "
              "forced=true manual=false");
    // Only a space ends a phrase; any white space separates fields.
    EXPECT_EQ(sanitized("session end\tseconds=3"), std::nullopt);
    EXPECT_EQ(sanitized("session begin launches=3\tuptime=2"),
              "2024-05-06T07:08:09Z session begin launches=3 uptime=2");
    // An error's own text never comes along, and the line says so.
    EXPECT_EQ(sanitized("reconcile failed errorCode=13 error=Permission denied"),
              "2024-05-06T07:08:09Z reconcile failed errorCode=13 errorDetails=omitted");
    // Only a line that starts with the log's own prefix is read.
    for (std::string line :
         {"2024-05-06T07:08:09Z pid=4242scan begin", "2024-05-06T07:08:09Z pid= scan begin",
          "2024-05-06 07:08:09Z pid=1 scan begin", " 2024-05-06T07:08:09Z pid=1 scan begin",
          "2024-05-06T07:08:09Z pid=1 ", "", "scan begin items=4"}) {
        EXPECT_EQ(DiagnosticReport::sanitize(line, "s"), std::nullopt) << line;
    }
    // An identifier is kept only as a whole UUID.
    EXPECT_EQ(sanitized("stream created stream=0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0x "
                        "operation=0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"),
              "2024-05-06T07:08:09Z stream created operation=0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
}

TEST(DiagnosticReport, HashesAsSha256AtEveryPaddingBoundary) {
    auto hex = [](std::string_view bytes) {
        std::string text;
        for (uint8_t byte : sha256(bytes)) {
            text += "0123456789abcdef"[byte >> 4];
            text += "0123456789abcdef"[byte & 0xF];
        }
        return text;
    };
    // Empty, a length whose padding fits one block, one that needs a second, a whole block,
    // and many blocks.
    EXPECT_EQ(hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex(std::string(55, 'x')),
              "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072");
    EXPECT_EQ(hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hex(std::string(64, 'x')),
              "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c");
    EXPECT_EQ(hex(std::string(1'000'000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(DiagnosticReport, PathsBecomeSaltedRegionIdentifiers) {
    // The first 8 bytes of SHA-256 of the salt and the path: SHA-256("abc") = ba7816bf8f01cfea...
    EXPECT_EQ(
        DiagnosticReport::sanitize(std::string(prefix) + "region paused path=bc items=1", "a"),
        "2024-05-06T07:08:09Z region paused items=1 region=ba7816bf8f01cfea "
        "errorDetails=omitted");
    // The path ends where the next field begins, whatever it holds; without a field after
    // it, its end is unknown and no region is given.
    std::string tricky = "/home/alice/it's \"quoted\" a=b/=c";
    auto first = sanitized("scan begin path=" + tricky + " errorCode=2");
    auto again = sanitized("scan installed items=4 path=" + tricky + " some-key=x");
    ASSERT_TRUE(first && again);
    EXPECT_EQ(regionOf(*first), regionOf(*again));
    EXPECT_FALSE(regionOf(*first).empty());
    EXPECT_NE(regionOf(*first), regionOf(*sanitized("scan begin path=/home/alice x=1")));
    EXPECT_NE(regionOf(*first),
              regionOf(*sanitized("scan begin path=" + tricky + " errorCode=2", "another salt")));
    EXPECT_EQ(sanitized("scan begin path=/home/alice/notes"), "2024-05-06T07:08:09Z scan begin");
}

// Lines as the log writes them, about paths and names made of every kind of byte, and lines
// that are not the log's at all: no path, name or error text may come through, only the
// log's own vocabulary. Every secret starts with two capitals that no report text holds side by
// side (none from A–F of UUIDs and hashes, nor the T and Z of timestamps).
TEST(DiagnosticReport, NothingButTheLogsVocabularyComesThrough) {
    TempDirectory folder;
    std::string log = folder / "debug.log";
    LogMovedTo moved(log);

    unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto pick = [&](size_t count) { return size_t(random() % count); };
    const std::string capitals = "GHIJKLMNOPQRSUVWXY";
    const std::vector<std::string> pieces = {
        "a",    "Z",        "7",  " ",       "=",     "\"",       "'",       "\n",
        "\t",   "\\",       "/",  "-",       ".",     "é",        "日本",    "\xff",
        "\xc3", "\x80\x80", "\r", "items=5", "path=", " uptime=", "${HOME}", "%s"};
    auto secret = [&] {
        std::string text{capitals[pick(capitals.size())], capitals[pick(capitals.size())]};
        for (size_t i = 0, length = 2 + pick(10); i < length; ++i) {
            text += pieces[pick(pieces.size())];
        }
        // The log writes line feeds as spaces.
        std::replace(text.begin(), text.end(), '\n', ' ');
        return text;
    };
    const std::vector<std::string> events = {"scan begin",
                                             "region paused",
                                             "reconcile failed",
                                             "region verification begin",
                                             "targeted access recovery",
                                             "slow operation",
                                             "scan installed",
                                             "unlisted event"};

    std::vector<std::string> paths;
    for (int i = 0; i < 40; ++i) {
        paths.push_back("/home/" + secret() + "/" + secret());
    }
    std::vector<std::string> secrets = paths;
    std::vector<size_t> pathOfLine;
    for (int i = 0; i < 600; ++i) {
        size_t path = pick(paths.size());
        std::string user = secret(), host = secret(), error = secret();
        secrets.insert(secrets.end(), {user, host, error});
        // The line's number comes first, where no path can change its place.
        DebugLog::write(events[pick(events.size())] + " id=" + std::to_string(i) +
                        " path=" + paths[path] + " errorCode=" + std::to_string(pick(200)) +
                        " user=" + user + " host=" + host + " error=" + error);
        pathOfLine.push_back(path);
    }
    std::string noise;
    for (int i = 0; i < 20000; ++i) {
        noise += char(random());
    }
    std::string longPath = "/" + std::string(100'000, 'Q');
    noise += std::string("\n") + prefix + "scan begin path=" + longPath + " errorCode=1\n";
    test::writeFile(folder / "noise", noise);
    secrets.push_back(longPath);

    auto check = [&](const DiagnosticReport& report) {
        for (unsigned char c : report.text) {
            ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << int(c);
        }
        EXPECT_FALSE(std::regex_search(report.text, std::regex("[G-SU-Y]{2}")));
        for (const auto& hidden : secrets) {
            ASSERT_EQ(report.text.find(hidden), std::string::npos) << hidden;
        }
    };
    // The line number of a report line about one of the paths.
    auto lineNumber = [](const std::string& line) -> std::optional<size_t> {
        size_t at = line.find(" id=");
        if (at == std::string::npos || regionOf(line).empty()) {
            return std::nullopt;
        }
        return std::stoul(line.substr(at + 4));
    };
    auto report = DiagnosticReport::build({folder / "noise", log}, ReportInfo{});
    check(report);

    // One path, one region; the next report gives every path another.
    std::map<size_t, std::string> regionOfPath;
    for (const auto& line : reportLines(report)) {
        if (auto number = lineNumber(line)) {
            auto [known, added] = regionOfPath.emplace(pathOfLine[*number], regionOf(line));
            EXPECT_EQ(known->second, regionOf(line)) << line;
        }
    }
    EXPECT_GT(regionOfPath.size(), 20u);
    auto next = DiagnosticReport::build({log}, ReportInfo{});
    check(next);
    for (const auto& line : reportLines(next)) {
        if (auto number = lineNumber(line)) {
            EXPECT_NE(regionOfPath[pathOfLine[*number]], regionOf(line));
        }
    }
    // A line of megabytes is read as any other.
    auto huge = sanitized("region paused path=/" + std::string(3'000'000, 'W') + " items=2");
    ASSERT_TRUE(huge);
    EXPECT_TRUE(std::regex_match(*huge, std::regex("2024-05-06T07:08:09Z region paused items=2 "
                                                   "region=[0-9a-f]{16} errorDetails=omitted")));
}

TEST(DiagnosticReport, ReadsTheTailOfEachLogAndKeepsItsLastLines) {
    TempDirectory folder;
    std::string log = folder / "debug.log";
    // With `note`, long enough that a tail of 128,000 bytes holds fewer than 1,500 of them.
    auto line = [](int number, size_t note = 0) {
        return std::string(prefix) + "scan installed items=" + std::to_string(number) +
               (note > 0 ? " note=" + std::string(note, 'n') : "") + "\n";
    };
    std::string previous = "not a log line\n\n" + line(-1);
    test::writeFile(DebugLog::previousURL(log), previous);
    std::string current;
    for (int i = 0; i < 1600; ++i) {
        current += line(i) + (i % 100 == 0 ? "dropped\n" : "");
    }
    test::writeFile(log, current);
    mkfifo((folder / "fifo").c_str(), 0600);
    mkdir((folder / "folder").c_str(), 0700);

    auto logs = DiagnosticReport::generationsOf(log);
    ASSERT_EQ(logs, (std::vector<std::string>{log + ".previous", log}));
    logs.insert(logs.begin(), {folder / "missing", folder / "fifo", folder / "folder"});
    auto report = DiagnosticReport::build(logs, ReportInfo{"0.1.0", "1", 12, 3});
    EXPECT_TRUE(std::regex_match(report.id, std::regex("[0-9a-f]{32}")));
    EXPECT_NE(report.id, DiagnosticReport::build({}, ReportInfo{}).id);
    std::smatch header;
    ASSERT_TRUE(std::regex_search(
        report.text, header,
        std::regex("^Quelmo diagnostics v1\nApp: 0\\.1\\.0 \\(1\\)\nLinux: "
                   "(unknown|[0-9]+\\.[0-9]+\\.[0-9]+)\nExcluded/unreadable lines: 17\n"
                   "Lifecycle counters since instrumentation: launches=12 uncleanExits=3\n"
                   "Unclean exits are not proof of a crash\\. Durations use system uptime\\. "
                   "This is a bounded recent log excerpt, not a complete history\\.\n"
                   "Region identifiers are randomized per report\\. Raw paths and error "
                   "messages are omitted\\.\n\n")))
        << report.text.substr(0, 600);
    // The older generation first; only the last 1,500 kept lines, the dropped ones all counted.
    std::vector<std::string> lines = reportLines(report);
    ASSERT_EQ(lines.size(), 1500u);
    EXPECT_EQ(lines.front(), "2024-05-06T07:08:09Z scan installed items=100");
    EXPECT_EQ(lines.back(), "2024-05-06T07:08:09Z scan installed items=1599");

    // Of a long log only the last 128,000 bytes are read, from the first whole line on: here
    // they begin inside the line of item 9999.
    std::string after;
    for (int i = 1; after.size() <= DiagnosticReport::tailBytes - line(9999, 100).size(); ++i) {
        after += line(i, 100);
    }
    test::writeFile(log, std::string(200'000, 'x') + "\n" + line(9999, 100) + after);
    report = DiagnosticReport::build({log}, ReportInfo{"1.0 beta", "", 0, 0});
    EXPECT_NE(report.text.find("App: unknown (unknown)\n"), std::string::npos);
    EXPECT_NE(report.text.find("Excluded/unreadable lines: 0\n"), std::string::npos);
    lines = reportLines(report);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "2024-05-06T07:08:09Z scan installed items=1");
}
