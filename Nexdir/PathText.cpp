#include "PathText.h"

#include "Unicode.h"

namespace quelmo {

namespace {

// The length of the UTF-8 sequence that `lead` starts; 1 for a byte that starts none, which
// the validity test then rejects.
size_t sequenceLength(unsigned char lead) {
    if (lead >= 0xF0) {
        return 4;
    }
    if (lead >= 0xE0) {
        return 3;
    }
    if (lead >= 0xC0) {
        return 2;
    }
    return 1;
}

void appendEscapedByte(std::string& out, unsigned char byte) {
    static const char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
}

} // namespace

QString displayedPath(const std::string& path) {
    return QString::fromStdString(path);
}

QString copyablePath(const std::string& path) {
    if (nexdir::isValidUTF8(path)) {
        return QString::fromStdString(path);
    }
    std::string quoted = "$'";
    size_t offset = 0;
    while (offset < path.size()) {
        auto byte = static_cast<unsigned char>(path[offset]);
        size_t length = sequenceLength(byte);
        std::string_view sequence = std::string_view(path).substr(offset, length);
        if (length > 1 && sequence.size() == length && nexdir::isValidUTF8(sequence)) {
            quoted += sequence; // a readable character stays readable
            offset += length;
            continue;
        }
        // Inside $'…' a backslash starts an escape and a quote ends the text; control bytes
        // are escaped too, so the quoted form stays on one line.
        if (byte == '\\' || byte == '\'') {
            quoted += '\\';
            quoted += char(byte);
        } else if (byte < 0x20 || byte >= 0x7F) {
            appendEscapedByte(quoted, byte);
        } else {
            quoted += char(byte);
        }
        ++offset;
    }
    quoted += '\'';
    return QString::fromStdString(quoted);
}

} // namespace quelmo
