#pragma once

// SHA-256 of a byte string, for the report's salted region identifiers. Kept here rather than
// taken from a crypto library: loading one costs every command-line search about 4 ms at
// start, more than a whole answer from a running engine.

#include <array>
#include <cstdint>
#include <string_view>

namespace nexdir {

std::array<uint8_t, 32> sha256(std::string_view bytes);

} // namespace nexdir
