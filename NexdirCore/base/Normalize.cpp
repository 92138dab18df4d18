// The one text transformation on which matching depends: a name or a query in search form.

#include "Normalize.h"

#include "Unicode.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace nexdir {

namespace {

std::string mapped(const std::string& text, int options) {
    utf8proc_uint8_t* output = nullptr;
    utf8proc_ssize_t length =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                     utf8proc_ssize_t(text.size()), &output, utf8proc_option_t(options));
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(output, &std::free);
    if (length < 0) {
        return text;
    }
    return std::string(reinterpret_cast<const char*>(output), size_t(length));
}

} // namespace

std::string normalizeForSearch(std::string_view text) {
    // Most names are plain ASCII, for which the three steps below amount to lower-casing;
    // the scanner normalises every name it meets, so this path is worth having.
    bool ascii = true;
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) {
        std::string lowered(text);
        for (char& c : lowered) {
            if (c >= 'A' && c <= 'Z') {
                c = char(c - 'A' + 'a');
            }
        }
        return lowered;
    }

    // 1. Canonical composition, so both spellings of an accented letter start out alike.
    std::string composed = mapped(repairedUTF8(text), UTF8PROC_STABLE | UTF8PROC_COMPOSE);

    // 2. Case and diacritic folding: full case folding on the canonical decomposition, then
    //    the non-spacing marks (accents, points) are dropped and the rest recomposed. Spacing
    //    marks carry letters in many scripts and stay.
    std::string folded = mapped(composed, UTF8PROC_STABLE | UTF8PROC_DECOMPOSE | UTF8PROC_CASEFOLD);
    std::string unmarked;
    unmarked.reserve(folded.size());
    for (char32_t codePoint : codePoints(folded)) {
        if (utf8proc_category(utf8proc_int32_t(codePoint)) != UTF8PROC_CATEGORY_MN) {
            appendUTF8(unmarked, codePoint);
        }
    }
    std::string recomposed = mapped(unmarked, UTF8PROC_STABLE | UTF8PROC_COMPOSE);

    // 3. Lower case. Folding already lowers almost everything; a few scripts fold to upper
    //    case (Cherokee), and the search form is lower case throughout.
    std::string lowered;
    lowered.reserve(recomposed.size());
    for (char32_t codePoint : codePoints(recomposed)) {
        appendUTF8(lowered, char32_t(utf8proc_tolower(utf8proc_int32_t(codePoint))));
    }
    return lowered;
}

} // namespace nexdir
