#pragma once

// The query language: words, filters and operators, read once into a tree that every search
// front end (the panel, the command line, the query endpoint) hands to `NameSearch`.
//
//   words        report 2024        every word, as a query of words alone finds them
//   phrase       "annual report"    the words consecutive; quoting makes any text literal,
//                                   "" standing for a quote
//   wildcards    *.tar.gz IMG_20??* the whole name; * any run of characters, ? one
//   OR           a | b, a OR b      binds tighter than the space: file: *.iso | *.img
//   NOT          -tmp, NOT tmp
//   grouping     (a | b) -c
//   filters      file: folder: ext: size: dm: in:
//
// The positive words and phrases at the top level form the query's words, searched and
// ranked exactly as a query of words alone; everything else narrows what they find. A query
// of words alone parses as `plain` and is searched as it was typed, so nothing about it
// changes.
//
// Parsing is linear in the query's length; the tree it builds is bounded in depth and in the
// number of terms that every candidate is tested against, so no query makes a search slow.
//
// Plain functions and values; any thread.

#include "WildcardPattern.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nexdir {

// A query the search cannot read. The message says what was not understood and how to write
// it, for the panel's status line and the command line's error output.
class QueryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct QueryNode {
    enum class Kind {
        all,        // every child holds (an empty list holds for everything)
        any,        // one child holds
        negation,   // the one child does not hold
        word,       // `text` is in the name
        wildcard,   // `text` (with * and ?) matches the whole name
        kind,       // a folder when `directories`, else a file
        extension,  // a file whose name ends with "." and one of `texts`
        size,       // a file of `low` to `high` bytes, both included
        modified,   // modified at or after `from` and before `until` (seconds since 1970)
        folderPath, // under the folder at the path `text`
        folderName, // under a folder whose name is, or matches the wildcard, `text`
    };
    Kind kind = Kind::all;
    std::vector<QueryNode> children;
    std::string text; // normalised as names are, except a folder's path
    std::vector<std::string> texts;
    bool directories = false;
    int64_t low = 0;
    int64_t high = 0;
    double from = 0;
    double until = 0;
};

struct ParsedQuery {
    // Nothing but words: search the text as typed, the way it always has been.
    bool plain = false;
    // The positive words and phrases at the top level, normalised, in order: the words that
    // find and rank results. Empty when the query has only filters and operators.
    std::vector<std::string> words;
    // What every result must also satisfy; an `all` without children when nothing more.
    QueryNode filter;
};

// At most this many nested parentheses and NOTs, and this many terms beside the words.
inline constexpr int maximumQueryDepth = 64;
inline constexpr int maximumQueryTerms = 256;

// Reads `text`. `now` (seconds since 1970) anchors today, this week and ages such as <7d, in
// local time. Throws QueryError.
ParsedQuery parseQuery(const std::string& text, double now);

// `text` written so that this language reads its words as plain words: a word it would take
// for an operator, a phrase, a filter or a wildcard is quoted ("" standing for a quote).
// Text without such a word comes back as it is.
std::string literalQuery(const std::string& text);

// The filters and operators, each with an example, for help texts.
struct QueryHelpLine {
    const char* example;
    const char* meaning;
};
const std::vector<QueryHelpLine>& queryHelp();

} // namespace nexdir
