#include "Arguments.h"

#include <charconv>

namespace quelmo::cli {

std::string Arguments::value(const std::string& option) {
    if (empty()) {
        throw UsageError(option + " needs a value");
    }
    return next();
}

long long Arguments::integerValue(const std::string& option) {
    std::string text = value(option);
    long long number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size()) {
        throw UsageError(option + " needs a whole number, not \"" + text + "\"");
    }
    return number;
}

} // namespace quelmo::cli
