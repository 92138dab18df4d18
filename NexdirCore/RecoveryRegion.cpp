#include "RecoveryRegion.h"

namespace nexdir {

bool RecoveryRegion::contains(const std::string& root, const std::string& path) {
    if (path == root) {
        return true;
    }
    if (root == "/") {
        return path.starts_with("/");
    }
    return path.starts_with(root + "/");
}

std::string RecoveryRegion::eventPath(const std::string& path, const std::string& root) {
    if (contains(root, path)) {
        return path;
    }
    for (const char* alias : {"/var", "/tmp", "/etc"}) {
        std::string a = alias;
        std::string p = "/private" + a;
        if (contains(p, path) && contains(a, root)) {
            return a + path.substr(p.size());
        }
        if (contains(a, path) && (root == "/private" || root.starts_with("/private/"))) {
            std::string privatePath = "/private" + path;
            if (contains(root, privatePath)) {
                return privatePath;
            }
        }
    }
    return path;
}

} // namespace nexdir
