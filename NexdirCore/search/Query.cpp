#include "Query.h"

#include "Normalize.h"
#include "QueryValues.h"
#include "Unicode.h"

#include <algorithm>
#include <optional>

namespace nexdir {

using detail::filterNode;
using detail::lowerASCII;
using detail::normalizedPattern;

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
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
        {"date", "dm:"},
        {"modified", "dm:"},
        {"datemodified", "dm:"},
        {"dir", "folder:"},
        {"directory", "folder:"},
        {"extension", "ext:"},
        {"type", "file:, folder: or ext:"},
        {"kind", "file: or folder:"},
        {"path", "in:"},
        {"under", "in:"}};
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
    enum class Kind {
        open,
        close,
        orOperator,
        notOperator,
        andOperator,
        phrase,
        word,
        filter,
        end
    };
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
            } else if (ch == ':' &&
                       isFilterName(std::string_view(text).substr(start, pos - start))) {
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
            throw QueryError(op + " needs a term after it, as in " + op + (op == "-" ? "" : " ") +
                             "tmp");
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
            return filterNode(token.name, token.text, now_);
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

} // namespace

std::string literalQuery(const std::string& text) {
    std::vector<std::string> words = whitespaceSeparatedWords(text);
    auto special = [](const std::string& word) {
        return word.find_first_of("\"|*?():") != std::string::npos ||
               (word.size() > 1 && word[0] == '-') || word == "OR" || word == "NOT" ||
               word == "AND";
    };
    if (std::none_of(words.begin(), words.end(), special)) {
        return text;
    }
    std::string written;
    for (const std::string& word : words) {
        written += written.empty() ? "" : " ";
        if (!special(word)) {
            written += word;
            continue;
        }
        written += '"';
        for (char c : word) {
            written += c == '"' ? "\"\"" : std::string(1, c);
        }
        written += '"';
    }
    return written;
}

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
        {"\"annual report\"",
         "the words together; quotes make any text literal (\"\" for a quote)"},
        {"*.tar.gz  IMG_20??*", "the whole name: * any characters, ? one"},
        {"a | b   a OR b", "either; binds tighter than a space: file: *.iso | *.img"},
        {"-tmp   NOT tmp", "leaves out names holding tmp"},
        {"(a | b) -c", "groups terms"},
        {"file:   folder:", "files only, folders only"},
        {"ext:pdf   ext:jpg;png", "by extension"},
        {"size:>100mb   size:1kb..5mb   size:0",
         "files by size: b, kb, mb, gb (1 kb = 1000 bytes)"},
        {"dm:today   dm:week   dm:2024-03   dm:<7d",
         "by date modified: today, yesterday, week, month, year, a year, month or day, a..b, "
         "or an age in h, d, w, y"},
        {"in:Projects   in:~/Documents", "under a folder of that name, or at that path"},
    };
    return lines;
}

} // namespace nexdir
