#pragma once

// The words of a normalised query as matching and ranking use them (internal to the search).
//
// A query may be tens of thousands of words long, and may repeat a word any number of times.
// Matching needs each distinct word once; the rank counts every occurrence. Holding the words
// once with their occurrences keeps what a search does per name independent of repeats, and
// lets the words reach a statement as data instead of one expression each.
//
// Immutable after construction; any thread.

#include "Ranking.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace nexdir::detail {

class QueryWords {
public:
    struct Word {
        std::string text;
        int64_t occurrences;
    };

    // `tokens`: the query's words in order; at least one.
    explicit QueryWords(const std::vector<std::string>& tokens);

    // How many words the query has, repeats included.
    size_t occurrences() const { return occurrences_; }
    // The word a result's own name must hold.
    const std::string& last() const { return last_; }
    // The words that must each be in a result's name or in the name of a folder above it:
    // every word before the last, once, but none that the last word holds (the name holds
    // that one). Longest first: the longest are the least likely to be found, so a name
    // that lacks one is ruled out soonest.
    const std::vector<std::string>& earlier() const { return earlier_; }
    // Every distinct word with its occurrences, in byte order.
    const std::vector<Word>& distinct() const { return distinct_; }

    // What the words add to the rank of a search name: for each occurrence, Ranking's weight
    // for a word equal to the name, starting it, or anywhere else (above included). Costs at
    // most two binary searches of the words per byte of the name, not a test of each word.
    int64_t wordRank(std::string_view name) const;
    // What the words add to the score shown with a result: as the rank, but a word counts
    // only where the name holds it.
    int64_t wordScore(std::string_view name) const;

private:
    std::vector<Word> distinct_;
    std::vector<std::string> earlier_;
    std::string last_;
    size_t occurrences_;
};

inline QueryWords::QueryWords(const std::vector<std::string>& tokens)
    : last_(tokens.back()), occurrences_(tokens.size()) {
    std::unordered_map<std::string_view, int64_t> counts;
    for (size_t i = 0; i < tokens.size(); ++i) {
        const std::string& token = tokens[i];
        bool first = counts[token]++ == 0;
        // A word the last one holds is matched by it already; a repeated word counts once.
        if (first && i + 1 < tokens.size() && last_.find(token) == std::string::npos) {
            earlier_.push_back(token);
        }
    }
    std::stable_sort(
        earlier_.begin(), earlier_.end(),
        [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const auto& [text, count] : counts) {
        distinct_.push_back({std::string(text), count});
    }
    std::sort(distinct_.begin(), distinct_.end(),
              [](const Word& a, const Word& b) { return a.text < b.text; });
}

inline int64_t QueryWords::wordRank(std::string_view name) const {
    using namespace Ranking;
    int64_t rank = int64_t(occurrences_) * wordElsewhere;
    // Walk the name's bytes down the sorted words: before each step, [low, high) holds the
    // words that start with the name's first `depth` bytes, and one of exactly that length,
    // if any, sorts first among them.
    size_t low = 0;
    size_t high = distinct_.size();
    for (size_t depth = 0; low < high; ++depth) {
        if (distinct_[low].text.size() == depth) {
            bool equal = depth == name.size();
            rank += distinct_[low].occurrences * ((equal ? wordEqual : wordPrefix) - wordElsewhere);
            ++low;
        }
        if (depth == name.size()) {
            break;
        }
        char next = name[depth];
        auto byteAt = [depth](const Word& word) { return uint8_t(word.text[depth]); };
        auto first =
            std::partition_point(distinct_.begin() + long(low), distinct_.begin() + long(high),
                                 [&](const Word& word) { return byteAt(word) < uint8_t(next); });
        auto end =
            std::partition_point(first, distinct_.begin() + long(high),
                                 [&](const Word& word) { return byteAt(word) == uint8_t(next); });
        low = size_t(first - distinct_.begin());
        high = size_t(end - distinct_.begin());
    }
    return rank;
}

inline int64_t QueryWords::wordScore(std::string_view name) const {
    using namespace Ranking;
    int64_t score = 0;
    for (const Word& word : distinct_) {
        int weight = name == word.text                   ? wordEqual
                     : name.starts_with(word.text)       ? wordPrefix
                     : name.find(word.text) != name.npos ? wordElsewhere
                                                         : 0;
        score += word.occurrences * weight;
    }
    return score;
}

} // namespace nexdir::detail
