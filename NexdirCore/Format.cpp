#include "Format.h"

#include <charconv>
#include <cmath>

namespace nexdir {

std::string shortestDecimal(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value > 0 ? "inf" : "-inf";
    }
    char buffer[64];
    double magnitude = std::fabs(value);
    auto format = (magnitude != 0 && (magnitude < 1e-4 || magnitude >= 1e16))
                      ? std::chars_format::scientific
                      : std::chars_format::fixed;
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, format);
    std::string text(buffer, error == std::errc() ? end : buffer);
    if (text.find_first_of(".e") == std::string::npos) {
        text += ".0";
    }
    return text;
}

} // namespace nexdir
