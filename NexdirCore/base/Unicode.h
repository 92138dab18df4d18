#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace nexdir {

// Text from the file system or the keyboard is not always valid UTF-8 on Linux. These helpers
// accept any bytes: invalid sequences (including encoded surrogates) read as U+FFFD.

bool isValidUTF8(std::string_view text);

// `text` with every invalid sequence replaced by U+FFFD.
std::string repairedUTF8(std::string_view text);

// Any bytes as valid UTF-8 text, losslessly, for formats that hold only text (JSON): a byte
// that is not part of a valid sequence becomes the code point U+10FF00 + byte (U+10FF80 to
// U+10FFFF, private use), and so does each byte of a sequence that itself encodes one of those
// code points. Valid text outside that range is unchanged. `unescapedBytes` gives the exact
// bytes back.
std::string escapedUTF8(std::string_view bytes);
std::string unescapedBytes(std::string_view text);

// The number of user-perceived characters (extended grapheme clusters).
size_t graphemeCount(std::string_view text);

// Unicode white space: the separators Z*, tab, line feed through carriage return and U+0085.
bool isUnicodeWhitespace(char32_t codePoint);

// `text` with white space and line breaks removed at both ends.
std::string trimmedWhitespace(std::string_view text);

// `text` split at every white-space character, empty pieces dropped.
std::vector<std::string> whitespaceSeparatedWords(std::string_view text);

// The code points of `text`, and one code point appended to UTF-8 text.
std::u32string codePoints(std::string_view text);
void appendUTF8(std::string& text, char32_t codePoint);

// The Unicode scalar values of valid UTF-8 `text`, one string each.
std::vector<std::string> unicodeScalars(std::string_view text);

} // namespace nexdir
