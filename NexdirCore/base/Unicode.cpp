#include "Unicode.h"

#include <utf8proc.h>

#include <algorithm>

namespace nexdir {

namespace {

// Decodes one scalar at `text[offset]`; answers its length, or -1 for an invalid sequence.
utf8proc_ssize_t decode(std::string_view text, size_t offset, utf8proc_int32_t& codePoint) {
    return utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + offset),
                            utf8proc_ssize_t(text.size() - offset), &codePoint);
}

template <class Visit> void forEachScalar(std::string_view text, Visit visit) {
    size_t offset = 0;
    while (offset < text.size()) {
        utf8proc_int32_t codePoint = 0;
        utf8proc_ssize_t length = decode(text, offset, codePoint);
        if (length <= 0) {
            codePoint = 0xFFFD;
            length = 1;
        }
        visit(char32_t(codePoint), offset, size_t(length));
        offset += size_t(length);
    }
}

} // namespace

bool isValidUTF8(std::string_view text) {
    size_t offset = 0;
    while (offset < text.size()) {
        utf8proc_int32_t codePoint = 0;
        utf8proc_ssize_t length = decode(text, offset, codePoint);
        if (length <= 0) {
            return false;
        }
        offset += size_t(length);
    }
    return true;
}

std::string repairedUTF8(std::string_view text) {
    if (isValidUTF8(text)) {
        return std::string(text);
    }
    std::string out;
    out.reserve(text.size() + 8);
    forEachScalar(text, [&](char32_t codePoint, size_t, size_t) { appendUTF8(out, codePoint); });
    return out;
}

namespace {
constexpr char32_t firstEscape = 0x10FF80;
constexpr char32_t escapeBase = 0x10FF00;
} // namespace

std::string escapedUTF8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t offset = 0;
    while (offset < bytes.size()) {
        utf8proc_int32_t codePoint = 0;
        utf8proc_ssize_t length = decode(bytes, offset, codePoint);
        if (length > 0 && char32_t(codePoint) < firstEscape) {
            out.append(bytes.substr(offset, size_t(length)));
            offset += size_t(length);
            continue;
        }
        // An invalid byte, or the sequence of a code point the escape uses: byte by byte.
        size_t end = offset + (length > 0 ? size_t(length) : 1);
        for (; offset < end; ++offset) {
            appendUTF8(out, escapeBase + static_cast<unsigned char>(bytes[offset]));
        }
    }
    return out;
}

std::string unescapedBytes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    forEachScalar(text, [&](char32_t codePoint, size_t offset, size_t length) {
        if (codePoint >= firstEscape && codePoint <= 0x10FFFF) {
            out.push_back(char(codePoint - escapeBase));
        } else {
            out.append(text.substr(offset, length));
        }
    });
    return out;
}

size_t graphemeCount(std::string_view text) {
    size_t count = 0;
    utf8proc_int32_t previous = -1;
    utf8proc_int32_t state = 0;
    forEachScalar(text, [&](char32_t scalar, size_t, size_t) {
        auto codePoint = utf8proc_int32_t(scalar);
        if (previous < 0 || utf8proc_grapheme_break_stateful(previous, codePoint, &state)) {
            ++count;
        }
        previous = codePoint;
    });
    return count;
}

bool isUnicodeWhitespace(char32_t codePoint) {
    if ((codePoint >= 0x09 && codePoint <= 0x0D) || codePoint == 0x85) {
        return true;
    }
    switch (utf8proc_category(utf8proc_int32_t(codePoint))) {
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
        return true;
    default:
        return false;
    }
}

std::string trimmedWhitespace(std::string_view text) {
    size_t begin = std::string_view::npos;
    size_t end = 0;
    forEachScalar(text, [&](char32_t codePoint, size_t offset, size_t length) {
        if (!isUnicodeWhitespace(codePoint)) {
            if (begin == std::string_view::npos) {
                begin = offset;
            }
            end = offset + length;
        }
    });
    return begin == std::string_view::npos ? std::string()
                                           : std::string(text.substr(begin, end - begin));
}

std::vector<std::string> whitespaceSeparatedWords(std::string_view text) {
    std::vector<std::string> words;
    std::string current;
    forEachScalar(text, [&](char32_t codePoint, size_t offset, size_t length) {
        if (isUnicodeWhitespace(codePoint)) {
            if (!current.empty()) {
                words.push_back(std::move(current));
                current.clear();
            }
        } else {
            current.append(text.substr(offset, length));
        }
    });
    if (!current.empty()) {
        words.push_back(std::move(current));
    }
    return words;
}

std::u32string codePoints(std::string_view text) {
    std::u32string points;
    points.reserve(text.size());
    forEachScalar(text, [&](char32_t codePoint, size_t, size_t) { points.push_back(codePoint); });
    return points;
}

void appendUTF8(std::string& text, char32_t codePoint) {
    utf8proc_uint8_t buffer[4];
    utf8proc_ssize_t length = utf8proc_encode_char(utf8proc_int32_t(codePoint), buffer);
    text.append(reinterpret_cast<const char*>(buffer),
                size_t(std::max<utf8proc_ssize_t>(length, 0)));
}

std::vector<std::string> unicodeScalars(std::string_view text) {
    std::vector<std::string> scalars;
    forEachScalar(text, [&](char32_t, size_t offset, size_t length) {
        scalars.emplace_back(text.substr(offset, length));
    });
    return scalars;
}

} // namespace nexdir
