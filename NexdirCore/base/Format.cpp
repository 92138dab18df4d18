#include "Format.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>

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

std::string groupedNumber(int64_t value) {
    std::string digits = std::to_string(value);
    if (value < 0) {
        digits.erase(0, 1);
    }
    std::string grouped;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            grouped += ',';
        }
        grouped += digits[i];
    }
    return value < 0 ? "-" + grouped : grouped;
}

std::vector<std::string> splitNonEmpty(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    while (!text.empty()) {
        size_t end = text.find(separator);
        std::string_view piece = text.substr(0, end);
        if (!piece.empty()) {
            pieces.emplace_back(piece);
        }
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return pieces;
}

std::string formatFileBytes(int64_t bytes) {
    if (bytes == 0) {
        return "Zero KB";
    }
    double magnitude = std::fabs(double(bytes));
    if (magnitude < 1000) {
        return std::to_string(bytes) + (magnitude == 1 ? " byte" : " bytes");
    }
    static const char* units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    double value = double(bytes) / 1000;
    size_t unit = 0;
    while (std::fabs(value) >= 999.95 && unit + 1 < std::size(units)) {
        value /= 1000;
        ++unit;
    }
    // Kilobytes whole, megabytes with one decimal, larger units with two; no trailing zeros.
    int decimals = unit == 0 ? 0 : unit == 1 ? 1 : 2;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    std::string number = text;
    if (number.find('.') != std::string::npos) {
        while (number.back() == '0') {
            number.pop_back();
        }
        if (number.back() == '.') {
            number.pop_back();
        }
    }
    return number + " " + units[unit];
}

} // namespace nexdir
