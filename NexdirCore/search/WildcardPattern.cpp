#include "WildcardPattern.h"

#include <algorithm>

namespace nexdir {

namespace {

bool isContinuationByte(char c) {
    return (uint8_t(c) & 0xC0) == 0x80;
}

size_t characterCount(std::string_view text) {
    return size_t(
        std::count_if(text.begin(), text.end(), [](char c) { return !isContinuationByte(c); }));
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

WildcardPattern::WildcardPattern(std::string_view pattern) {
    leadingStar_ = pattern.starts_with('*');
    trailingStar_ = pattern.size() > 0 && pattern.ends_with('*');
    size_t start = 0;
    while (start <= pattern.size()) {
        size_t star = pattern.find('*', start);
        std::string_view piece = pattern.substr(
            start, star == std::string_view::npos ? std::string_view::npos : star - start);
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
