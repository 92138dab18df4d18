#pragma once

#include <string>
#include <string_view>

namespace nexdir {

// The search form of a name or a query, on which every match depends: NFC, then case and
// diacritic folding, then lower case. Any bytes are accepted; invalid UTF-8 reads as U+FFFD.
// Pure; any thread.
std::string normalizeForSearch(std::string_view text);

} // namespace nexdir
