#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nexdir {

// The shortest decimal that reads back as the same double, always with a fraction or an
// exponent ("12.0", "0.25", "1e-05", "1e+16"): the form log lines use for seconds and
// milliseconds.
std::string shortestDecimal(double value);

// A byte count for people, in decimal units as file sizes are shown: "512 bytes", "12 KB",
// "268.4 MB", "2.28 GB".
std::string formatFileBytes(int64_t bytes);

// A count with thousands grouped by commas, as status lines show them: "12,345".
std::string groupedNumber(int64_t value);

// The non-empty pieces of `text` between `separator`s ("a\n\nb" → {"a", "b"}).
std::vector<std::string> splitNonEmpty(std::string_view text, char separator);

// `text` read whole as a number; absent when it is empty, holds anything else, or is out of
// range.
template <class Number> std::optional<Number> parseNumber(std::string_view text) {
    Number value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace nexdir
