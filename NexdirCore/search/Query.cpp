#include "Query.h"

#include "Normalize.h"
#include "Paths.h"
#include "Unicode.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>

namespace nexdir {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool isContinuationByte(char c) {
    return (uint8_t(c) & 0xC0) == 0x80;
}

std::string lowerASCII(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = char(c - 'A' + 'a');
        }
    }
    return text;
}

bool allLetters(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

const std::vector<std::string> filterNames = {"file", "folder", "ext", "size", "dm", "in"};

bool isFilterName(std::string_view name) {
    return std::find(filterNames.begin(), filterNames.end(), lowerASCII(std::string(name))) !=
           filterNames.end();
}

size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// What a user probably meant by `name:` when it is no filter, or empty when it looks like the
// start of an ordinary word (a name may hold a colon).
std::string suggestedFilter(const std::string& name) {
    static const std::vector<std::pair<std::string, std::string>> aliases = {
        {"date", "dm:"},     {"modified", "dm:"},  {"datemodified", "dm:"}, {"dir", "folder:"},
        {"directory", "folder:"}, {"extension", "ext:"}, {"type", "file:, folder: or ext:"},
        {"kind", "file: or folder:"}, {"path", "in:"},  {"under", "in:"}};
    for (const auto& [alias, filter] : aliases) {
        if (name == alias) {
            return filter;
        }
    }
    if (name.size() < 2 || name.size() > 12) {
        return {};
    }
    for (const std::string& filter : filterNames) {
        if (editDistance(name, filter) <= 1) {
            return filter + ":";
        }
    }
    return {};
}

struct Token {
    enum class Kind { open, close, orOperator, notOperator, andOperator, phrase, word, filter, end };
    Kind kind;
    std::string text; // as typed: a word, a phrase's inside, a filter's value, an operator
    std::string name; // a filter's name, lower case
};

// Splits the text into tokens. A parenthesis opens a group where a term starts and closes one
// where a word ends while a group is open, so that "report(1).pdf" stays one word; "|" always
// separates; a quote starts a phrase where a term starts and runs to the next quote (or the
// end), two quotes inside it standing for one; "-" right before a term negates it.
std::vector<Token> tokenize(const std::string& text) {
    std::vector<Token> tokens;
    size_t pos = 0;
    size_t n = text.size();
    int depth = 0;
    // The text up to the closing quote, or to the end when there is none; "" inside stands
    // for one quote.
    auto quoted = [&](size_t start) {
        std::string inside;
        pos = start;
        while (pos < n) {
            size_t close = text.find('"', pos);
            if (close == std::string::npos) {
                break;
            }
            inside.append(text, pos, close - pos);
            if (close + 1 < n && text[close + 1] == '"') {
                inside += '"';
                pos = close + 2;
                continue;
            }
            pos = close + 1;
            return inside;
        }
        inside.append(text, pos, n - pos);
        pos = n;
        return inside;
    };
    while (true) {
        while (pos < n && isSpace(text[pos])) {
            ++pos;
        }
        if (pos == n) {
            tokens.push_back({Token::Kind::end, "", ""});
            return tokens;
        }
        char c = text[pos];
        if (c == '(') {
            tokens.push_back({Token::Kind::open, "(", ""});
            ++depth;
            ++pos;
            continue;
        }
        if (c == ')') {
            tokens.push_back({Token::Kind::close, ")", ""});
            depth = std::max(0, depth - 1);
            ++pos;
            continue;
        }
        if (c == '|') {
            tokens.push_back({Token::Kind::orOperator, "|", ""});
            ++pos;
            continue;
        }
        if (c == '"') {
            tokens.push_back({Token::Kind::phrase, quoted(pos + 1), ""});
            continue;
        }
        if (c == '-' && pos + 1 < n && !isSpace(text[pos + 1]) && text[pos + 1] != '|' &&
            text[pos + 1] != ')') {
            tokens.push_back({Token::Kind::notOperator, "-", ""});
            ++pos;
            continue;
        }
        size_t start = pos;
        int inner = 0; // parentheses opened inside this word
        bool done = false;
        while (pos < n && !done) {
            char ch = text[pos];
            if (isSpace(ch) || ch == '|') {
                break;
            }
            if (ch == '(') {
                ++inner;
            } else if (ch == ')') {
                if (inner > 0) {
                    --inner;
                } else if (depth > 0) {
                    break;
                }
            } else if (ch == ':' && isFilterName(std::string_view(text).substr(start, pos - start))) {
                std::string name = lowerASCII(text.substr(start, pos - start));
                ++pos;
                if (name == "file" || name == "folder") {
                    // What follows is a term of its own: file:*.iso is file: *.iso.
                    tokens.push_back({Token::Kind::filter, "", name});
                    done = true;
                    continue;
                }
                if (pos < n && text[pos] == '"') {
                    tokens.push_back({Token::Kind::filter, quoted(pos + 1), name});
                    done = true;
                    continue;
                }
                size_t valueStart = pos;
                while (pos < n && !isSpace(text[pos]) && text[pos] != '|' &&
                       !(text[pos] == ')' && depth > 0)) {
                    ++pos;
                }
                tokens.push_back(
                    {Token::Kind::filter, text.substr(valueStart, pos - valueStart), name});
                done = true;
                continue;
            }
            ++pos;
        }
        if (done) {
            continue;
        }
        std::string word = text.substr(start, pos - start);
        if (word == "OR") {
            tokens.push_back({Token::Kind::orOperator, word, ""});
        } else if (word == "NOT") {
            tokens.push_back({Token::Kind::notOperator, word, ""});
        } else if (word == "AND") {
            tokens.push_back({Token::Kind::andOperator, word, ""});
        } else {
            size_t colon = word.find(':');
            if (colon != std::string::npos && allLetters(std::string_view(word).substr(0, colon))) {
                std::string name = lowerASCII(word.substr(0, colon));
                std::string suggestion = suggestedFilter(name);
                if (!suggestion.empty()) {
                    throw QueryError("Unknown filter " + word.substr(0, colon + 1) +
                                     " \u2014 did you mean " + suggestion + "?");
                }
            }
            tokens.push_back({Token::Kind::word, word, ""});
        }
    }
}

bool hasWildcard(std::string_view text) {
    return text.find_first_of("*?") != std::string_view::npos;
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
        {"", 1},   {"b", 1},      {"k", 1e3},  {"kb", 1e3},  {"m", 1e6},
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

QueryNode filterNode(const Token& token, double now) {
    QueryNode node;
    const std::string& value = token.text;
    if (token.name == "file" || token.name == "folder") {
        node.kind = QueryNode::Kind::kind;
        node.directories = token.name == "folder";
    } else if (token.name == "ext") {
        node.kind = QueryNode::Kind::extension;
        size_t start = 0;
        while (start <= value.size()) {
            size_t end = value.find_first_of(";,", start);
            std::string piece = value.substr(start, end == std::string::npos ? std::string::npos
                                                                             : end - start);
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
    } else if (token.name == "size") {
        node.kind = QueryNode::Kind::size;
        parseSize(value, node);
    } else if (token.name == "dm") {
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

class Parser {
public:
    Parser(std::vector<Token> tokens, double now) : tokens_(std::move(tokens)), now_(now) {}

    QueryNode top() { return sequence(0, false); }

private:
    const Token& peek() const { return tokens_[position_]; }
    const Token& take() { return tokens_[position_++]; }

    static bool endsTerm(const Token& token) {
        return token.kind == Token::Kind::end || token.kind == Token::Kind::close ||
               token.kind == Token::Kind::orOperator || token.kind == Token::Kind::andOperator;
    }

    static void checkDepth(int depth) {
        if (depth > maximumQueryDepth) {
            throw QueryError("Parentheses and NOT are nested too deeply (at most " +
                             std::to_string(maximumQueryDepth) + " levels)");
        }
    }

    // Terms joined by spaces, up to the end or the ")" that closes the group.
    QueryNode sequence(int depth, bool inGroup) {
        QueryNode all;
        while (true) {
            const Token& token = peek();
            if (token.kind == Token::Kind::end) {
                if (inGroup) {
                    throw QueryError("A ( is not closed");
                }
                return all;
            }
            if (token.kind == Token::Kind::close) {
                if (!inGroup) {
                    throw QueryError("A ) has no matching (");
                }
                return all;
            }
            if (token.kind == Token::Kind::andOperator) {
                take();
                continue;
            }
            if (token.kind == Token::Kind::orOperator) {
                throw QueryError(token.text + " needs a term on each side, as in *.iso | *.img");
            }
            if (std::optional<QueryNode> term = disjunction(depth)) {
                all.children.push_back(std::move(*term));
            }
        }
    }

    std::optional<QueryNode> disjunction(int depth) {
        std::optional<QueryNode> first = unary(depth);
        if (peek().kind != Token::Kind::orOperator) {
            return first;
        }
        QueryNode any;
        any.kind = QueryNode::Kind::any;
        if (first) {
            any.children.push_back(std::move(*first));
        }
        while (peek().kind == Token::Kind::orOperator) {
            std::string op = take().text;
            if (endsTerm(peek())) {
                throw QueryError(op + " needs a term on each side, as in *.iso | *.img");
            }
            if (std::optional<QueryNode> next = unary(depth)) {
                any.children.push_back(std::move(*next));
            }
        }
        if (any.children.size() <= 1) {
            return any.children.empty() ? std::nullopt
                                         : std::optional<QueryNode>(std::move(any.children[0]));
        }
        return any;
    }

    std::optional<QueryNode> unary(int depth) {
        if (peek().kind != Token::Kind::notOperator) {
            return primary(depth);
        }
        std::string op = take().text;
        checkDepth(depth + 1);
        if (endsTerm(peek())) {
            throw QueryError(op + " needs a term after it, as in " + op +
                             (op == "-" ? "" : " ") + "tmp");
        }
        std::optional<QueryNode> inner = unary(depth + 1);
        if (!inner) {
            return std::nullopt;
        }
        QueryNode negation;
        negation.kind = QueryNode::Kind::negation;
        negation.children.push_back(std::move(*inner));
        return negation;
    }

    std::optional<QueryNode> primary(int depth) {
        const Token& token = take();
        switch (token.kind) {
        case Token::Kind::open: {
            checkDepth(depth + 1);
            QueryNode group = sequence(depth + 1, true);
            take(); // the ")"
            if (group.children.size() <= 1) {
                return group.children.empty()
                           ? std::nullopt
                           : std::optional<QueryNode>(std::move(group.children[0]));
            }
            return group;
        }
        case Token::Kind::phrase:
        case Token::Kind::word: {
            QueryNode node;
            bool wildcard = token.kind == Token::Kind::word && hasWildcard(token.text);
            node.kind = wildcard ? QueryNode::Kind::wildcard : QueryNode::Kind::word;
            node.text = wildcard ? normalizedPattern(token.text)
                                 : trimmedWhitespace(normalizeForSearch(token.text));
            // A term that folds down to nothing (a lone accent) asks for nothing.
            if (node.text.empty()) {
                return std::nullopt;
            }
            return node;
        }
        case Token::Kind::filter:
            return filterNode(token, now_);
        default: // operators and the end are handled by the callers
            return std::nullopt;
        }
    }

    std::vector<Token> tokens_;
    size_t position_ = 0;
    double now_;
};

size_t countTerms(const QueryNode& node) {
    size_t count = 1;
    for (const QueryNode& child : node.children) {
        count += countTerms(child);
    }
    return count;
}

size_t characterCount(std::string_view text) {
    return size_t(std::count_if(text.begin(), text.end(),
                                [](char c) { return !isContinuationByte(c); }));
}

// The end of `piece` matched at `at` in `name`, or npos. Literal bytes compare as bytes (both
// are UTF-8); a ? takes one whole character.
size_t matchPieceAt(std::string_view piece, std::string_view name, size_t at) {
    for (char c : piece) {
        if (at >= name.size()) {
            return std::string_view::npos;
        }
        if (c != '?') {
            if (c != name[at]) {
                return std::string_view::npos;
            }
            ++at;
            continue;
        }
        ++at;
        while (at < name.size() && isContinuationByte(name[at])) {
            ++at;
        }
    }
    return at;
}

} // namespace

ParsedQuery parseQuery(const std::string& text, double now) {
    std::vector<Token> tokens = tokenize(text);
    ParsedQuery parsed;
    parsed.plain = std::all_of(tokens.begin(), tokens.end(), [](const Token& token) {
        return token.kind == Token::Kind::end ||
               (token.kind == Token::Kind::word && !hasWildcard(token.text));
    });
    if (parsed.plain) {
        return parsed;
    }
    QueryNode top = Parser(std::move(tokens), now).top();
    for (QueryNode& term : top.children) {
        if (term.kind == QueryNode::Kind::word) {
            parsed.words.push_back(std::move(term.text));
        } else {
            parsed.filter.children.push_back(std::move(term));
        }
    }
    if (countTerms(parsed.filter) - 1 > size_t(maximumQueryTerms)) {
        throw QueryError("Too many filters and operators in one query (at most " +
                         std::to_string(maximumQueryTerms) + ")");
    }
    return parsed;
}

const std::vector<QueryHelpLine>& queryHelp() {
    static const std::vector<QueryHelpLine> lines = {
        {"report 2024", "every word; all but the last may be in a folder's name above"},
        {"\"annual report\"", "the words together; quotes make any text literal (\"\" for a quote)"},
        {"*.tar.gz  IMG_20??*", "the whole name: * any characters, ? one"},
        {"a | b   a OR b", "either; binds tighter than a space: file: *.iso | *.img"},
        {"-tmp   NOT tmp", "leaves out names holding tmp"},
        {"(a | b) -c", "groups terms"},
        {"file:   folder:", "files only, folders only"},
        {"ext:pdf   ext:jpg;png", "by extension"},
        {"size:>100mb   size:1kb..5mb   size:0", "files by size: b, kb, mb, gb (1 kb = 1000 bytes)"},
        {"dm:today   dm:week   dm:2024-03   dm:<7d",
         "by date modified: today, yesterday, week, month, year, a year, month or day, a..b, "
         "or an age in h, d, w, y"},
        {"in:Projects   in:~/Documents", "under a folder of that name, or at that path"},
    };
    return lines;
}

WildcardPattern::WildcardPattern(std::string_view pattern) {
    leadingStar_ = pattern.starts_with('*');
    trailingStar_ = pattern.size() > 0 && pattern.ends_with('*');
    size_t start = 0;
    while (start <= pattern.size()) {
        size_t star = pattern.find('*', start);
        std::string_view piece =
            pattern.substr(start, star == std::string_view::npos ? std::string_view::npos
                                                                 : star - start);
        if (!piece.empty()) {
            pieces_.emplace_back(piece);
            minimumCharacters_ += characterCount(piece);
        }
        if (star == std::string_view::npos) {
            break;
        }
        start = star + 1;
    }
}

bool WildcardPattern::matches(std::string_view name) const {
    // Every character takes at least one byte.
    if (minimumCharacters_ > name.size()) {
        return false;
    }
    if (pieces_.empty()) {
        return leadingStar_ || name.empty();
    }
    if (!leadingStar_ && !trailingStar_ && pieces_.size() == 1) {
        return matchPieceAt(pieces_[0], name, 0) == name.size();
    }
    size_t position = 0;
    size_t first = 0;
    size_t last = pieces_.size();
    if (!leadingStar_) {
        position = matchPieceAt(pieces_[0], name, 0);
        if (position == std::string_view::npos) {
            return false;
        }
        first = 1;
    }
    if (!trailingStar_) {
        --last;
    }
    // Between stars, the leftmost place for each piece leaves the most room for the rest, as
    // every piece stands for a fixed number of characters.
    for (size_t i = first; i < last; ++i) {
        bool found = false;
        for (size_t at = position; at < name.size(); ++at) {
            if (isContinuationByte(name[at])) {
                continue;
            }
            size_t end = matchPieceAt(pieces_[i], name, at);
            if (end != std::string_view::npos) {
                position = end;
                found = true;
                break;
            }
        }
        if (!found) {
            return false;
        }
    }
    if (trailingStar_) {
        return true;
    }
    // The last piece ends the name: it starts as many characters before the end as it has.
    size_t at = name.size();
    for (size_t count = characterCount(pieces_.back()); count > 0; --count) {
        if (at == 0) {
            return false;
        }
        --at;
        while (at > 0 && isContinuationByte(name[at])) {
            --at;
        }
    }
    return at >= position && matchPieceAt(pieces_.back(), name, at) == name.size();
}

} // namespace nexdir
