// The values of the query language's filters: extensions, sizes, dates and folders.

#include "QueryValues.h"

#include "Normalize.h"
#include "Paths.h"
#include "Unicode.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>

namespace nexdir::detail {

std::string lowerASCII(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = char(c - 'A' + 'a');
        }
    }
    return text;
}

// The normalised text with runs of * made one: they match the same names.
std::string normalizedPattern(std::string_view text) {
    std::string normalized = normalizeForSearch(text);
    std::string pattern;
    for (char c : normalized) {
        if (!(c == '*' && !pattern.empty() && pattern.back() == '*')) {
            pattern += c;
        }
    }
    return pattern;
}

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// The two ends of "a..b", either of which may be left out (not both), or nothing when `value`
// is no range.
std::optional<std::pair<std::string, std::string>> rangeEnds(const std::string& value,
                                                             const QueryError& failure) {
    size_t dots = value.find("..");
    if (dots == std::string::npos) {
        return std::nullopt;
    }
    std::pair<std::string, std::string> ends{value.substr(0, dots), value.substr(dots + 2)};
    if (ends.first.empty() && ends.second.empty()) {
        throw failure;
    }
    return ends;
}

// ---- sizes ----

std::optional<long double> amount(const std::string& text) {
    size_t i = 0;
    std::string digits;
    bool dot = false;
    while (i < text.size() && ((text[i] >= '0' && text[i] <= '9') || (text[i] == '.' && !dot))) {
        dot = dot || text[i] == '.';
        digits += text[i++];
    }
    if (digits.empty() || digits == ".") {
        return std::nullopt;
    }
    static const std::vector<std::pair<std::string, long double>> units = {
        {"", 1},     {"b", 1},   {"k", 1e3},  {"kb", 1e3}, {"m", 1e6},
        {"mb", 1e6}, {"g", 1e9}, {"gb", 1e9}, {"t", 1e12}, {"tb", 1e12}};
    std::string unit = text.substr(i);
    for (const auto& [name, factor] : units) {
        if (unit == name) {
            long double value = std::strtold(digits.c_str(), nullptr) * factor;
            if (value > 9.0e18L) {
                return std::nullopt;
            }
            return value;
        }
    }
    return std::nullopt;
}

void parseSize(const std::string& typed, QueryNode& node) {
    std::string value = lowerASCII(typed);
    auto fail = [&]() -> QueryError {
        return QueryError("Could not read the size in size:" + typed +
                          " \u2014 try size:>100mb, size:1kb..5mb or size:0");
    };
    constexpr int64_t largest = std::numeric_limits<int64_t>::max();
    auto read = [&](const std::string& text) {
        std::optional<long double> bytes = amount(text);
        if (!bytes) {
            throw fail();
        }
        return *bytes;
    };
    if (auto ends = rangeEnds(value, fail())) {
        auto& [first, second] = *ends;
        node.low = first.empty() ? 0 : int64_t(std::ceil(read(first)));
        node.high = second.empty() ? largest : int64_t(std::floor(read(second)));
        if (node.low > node.high) {
            throw QueryError("size:" + typed + " ends before it starts \u2014 try size:1kb..5mb");
        }
    } else if (value.starts_with(">=")) {
        node.low = int64_t(std::ceil(read(value.substr(2))));
        node.high = largest;
    } else if (value.starts_with("<=")) {
        node.low = 0;
        node.high = int64_t(std::floor(read(value.substr(2))));
    } else if (value.starts_with(">")) {
        node.low = int64_t(std::floor(read(value.substr(1)))) + 1;
        node.high = largest;
    } else if (value.starts_with("<")) {
        node.low = 0;
        node.high = int64_t(std::ceil(read(value.substr(1)))) - 1;
    } else {
        long double bytes = read(value.starts_with("=") ? value.substr(1) : value);
        node.low = int64_t(std::ceil(bytes));
        node.high = int64_t(std::floor(bytes));
    }
}

// ---- dates, in local time ----

double dayStart(int year, int month, int day) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day; // mktime carries days past the month's end into the next
    fields.tm_isdst = -1;
    return double(std::mktime(&fields));
}

int daysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

struct Period {
    double from;
    double until;
};

std::optional<int> number(const std::string& text, size_t digits) {
    if (text.size() != digits ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return std::atoi(text.c_str());
}

// today, yesterday, week, month, year, YYYY, YYYY-MM or YYYY-MM-DD.
std::optional<Period> period(const std::string& text, double now) {
    std::time_t seconds = std::time_t(std::floor(now));
    std::tm today{};
    localtime_r(&seconds, &today);
    int year = today.tm_year + 1900;
    int month = today.tm_mon + 1;
    int day = today.tm_mday;
    if (text == "today") {
        return Period{dayStart(year, month, day), dayStart(year, month, day + 1)};
    }
    if (text == "yesterday") {
        return Period{dayStart(year, month, day - 1), dayStart(year, month, day)};
    }
    if (text == "week") {
        int sinceMonday = (today.tm_wday + 6) % 7;
        return Period{dayStart(year, month, day - sinceMonday),
                      dayStart(year, month, day - sinceMonday + 7)};
    }
    if (text == "month") {
        return Period{dayStart(year, month, 1), dayStart(year, month + 1, 1)};
    }
    if (text == "year") {
        return Period{dayStart(year, 1, 1), dayStart(year + 1, 1, 1)};
    }
    std::optional<int> y = number(text.substr(0, 4), 4);
    if (!y || *y < 1900) {
        return std::nullopt;
    }
    if (text.size() == 4) {
        return Period{dayStart(*y, 1, 1), dayStart(*y + 1, 1, 1)};
    }
    if (text.size() < 7 || text[4] != '-') {
        return std::nullopt;
    }
    std::optional<int> m = number(text.substr(5, 2), 2);
    if (!m || *m < 1 || *m > 12) {
        return std::nullopt;
    }
    if (text.size() == 7) {
        return Period{dayStart(*y, *m, 1), dayStart(*y, *m + 1, 1)};
    }
    if (text.size() != 10 || text[7] != '-') {
        return std::nullopt;
    }
    std::optional<int> d = number(text.substr(8, 2), 2);
    if (!d || *d < 1 || *d > daysInMonth(*y, *m)) {
        return std::nullopt;
    }
    return Period{dayStart(*y, *m, *d), dayStart(*y, *m, *d + 1)};
}

// An age such as 7d: hours, days, weeks or years (of 365 days), in seconds.
std::optional<double> age(const std::string& text) {
    if (text.size() < 2) {
        return std::nullopt;
    }
    static const std::vector<std::pair<char, double>> units = {
        {'h', 3600}, {'d', 86400}, {'w', 7 * 86400}, {'y', 365 * 86400}};
    std::string digits = text.substr(0, text.size() - 1);
    if (digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    for (const auto& [unit, seconds] : units) {
        if (text.back() == unit) {
            return std::atof(digits.c_str()) * seconds;
        }
    }
    return std::nullopt;
}

void parseModified(const std::string& typed, double now, QueryNode& node) {
    std::string value = lowerASCII(typed);
    auto fail = [&]() -> QueryError {
        return QueryError("Could not read the date in dm:" + typed +
                          " \u2014 try dm:today, dm:2024-03, dm:<7d or dm:2024-01-01..2024-06-30");
    };
    auto read = [&](const std::string& text) {
        std::optional<Period> found = period(text, now);
        if (!found) {
            throw fail();
        }
        return *found;
    };
    node.from = -infinity;
    node.until = infinity;
    if (auto ends = rangeEnds(value, fail())) {
        auto& [first, second] = *ends;
        node.from = first.empty() ? -infinity : read(first).from;
        node.until = second.empty() ? infinity : read(second).until;
        if (node.from >= node.until) {
            throw QueryError("dm:" + typed +
                             " ends before it starts \u2014 try dm:2024-01-01..2024-06-30");
        }
        return;
    }
    for (const char* op : {">=", "<=", ">", "<"}) {
        std::string symbol = op;
        if (!value.starts_with(symbol)) {
            continue;
        }
        std::string rest = value.substr(symbol.size());
        if (std::optional<double> seconds = age(rest); seconds && symbol.size() == 1) {
            // An age: <7d is newer than seven days, >7d older.
            (symbol == "<" ? node.from : node.until) = std::floor(now) - *seconds;
            return;
        }
        Period found = read(rest);
        if (symbol == ">=") {
            node.from = found.from;
        } else if (symbol == "<=") {
            node.until = found.until;
        } else if (symbol == ">") {
            node.from = found.until;
        } else {
            node.until = found.from;
        }
        return;
    }
    Period found = read(value.starts_with("=") ? value.substr(1) : value);
    node.from = found.from;
    node.until = found.until;
}

} // namespace

QueryNode filterNode(const std::string& name, const std::string& value, double now) {
    QueryNode node;
    if (name == "file" || name == "folder") {
        node.kind = QueryNode::Kind::kind;
        node.directories = name == "folder";
    } else if (name == "ext") {
        node.kind = QueryNode::Kind::extension;
        size_t start = 0;
        while (start <= value.size()) {
            size_t end = value.find_first_of(";,", start);
            std::string piece =
                value.substr(start, end == std::string::npos ? std::string::npos : end - start);
            piece.erase(0, piece.find_first_not_of('.'));
            std::string normalized = trimmedWhitespace(normalizeForSearch(piece));
            if (!normalized.empty()) {
                node.texts.push_back(normalized);
            }
            if (end == std::string::npos) {
                break;
            }
            start = end + 1;
        }
        if (node.texts.empty()) {
            throw QueryError("ext: needs an extension, as in ext:pdf or ext:jpg;png");
        }
    } else if (name == "size") {
        node.kind = QueryNode::Kind::size;
        parseSize(value, node);
    } else if (name == "dm") {
        node.kind = QueryNode::Kind::modified;
        parseModified(value, now, node);
    } else { // in
        if (trimmedWhitespace(value).empty()) {
            throw QueryError("in: needs a folder, as in in:Documents or in:~/Projects");
        }
        std::string path = value;
        if (path == "~" || path.starts_with("~/")) {
            const char* home = std::getenv("HOME");
            path = std::string(home ? home : "") + path.substr(1);
        }
        if (path.starts_with("/")) {
            node.kind = QueryNode::Kind::folderPath;
            node.text = standardizePath(path);
        } else {
            node.kind = QueryNode::Kind::folderName;
            node.text = normalizedPattern(value);
        }
    }
    return node;
}

} // namespace nexdir::detail
