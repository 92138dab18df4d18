#pragma once

#include <string>

namespace nexdir {

// A region of the tree that verifies itself on its own. For now: the two path operations
// that event handling shares.
struct RecoveryRegion {
    // True when `path` is `root` or lies below it; every absolute path lies below "/".
    static bool contains(const std::string& root, const std::string& path);

    // `path` in the spelling of `root` across the private aliases /var, /tmp and /etc
    // (each also reachable under /private); otherwise unchanged.
    static std::string eventPath(const std::string& path, const std::string& root);
};

} // namespace nexdir
