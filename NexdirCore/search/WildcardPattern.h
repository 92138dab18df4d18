#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nexdir {

// A normalised pattern in which * stands for any run of characters and ? for one, matched
// against whole normalised names. Each match costs at most the name's length times the
// pattern's, and a pattern that needs more characters than a name has bytes is ruled out at
// once, so a pattern of thousands of * or ? costs no more than a short one.
class WildcardPattern {
public:
    WildcardPattern() = default;
    explicit WildcardPattern(std::string_view pattern);
    bool matches(std::string_view name) const;

private:
    // The pieces between stars; the first is anchored at the start unless `leadingStar`, the
    // last at the end unless `trailingStar` (with no star at all, one piece anchored at both).
    std::vector<std::string> pieces_;
    bool leadingStar_ = false;
    bool trailingStar_ = false;
    size_t minimumCharacters_ = 0;
};

} // namespace nexdir
