#pragma once

#include <string>

namespace nexdir {

// `path` in the spelling of `root` across the private aliases /var, /tmp and /etc (each also
// reachable under /private), where a stream may report one spelling for the other; otherwise
// unchanged. Linux has no such aliases, so here it answers `path` except for trees that really
// are under /private.
std::string eventPathIn(const std::string& path, const std::string& root);

} // namespace nexdir
