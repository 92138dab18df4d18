#pragma once

#include <string>

namespace nexdir {

// A new random UUID in its upper-case text form, such as "1F0C...-...".
std::string makeUUIDString();

// True when `text` is a UUID in text form (either case).
bool isUUIDString(const std::string& text);

} // namespace nexdir
