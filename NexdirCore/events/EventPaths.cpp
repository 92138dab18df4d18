#include "EventPaths.h"

#include "Paths.h"

namespace nexdir {

std::string eventPathIn(const std::string& path, const std::string& root) {
    if (isAtOrUnder(path, root)) {
        return path;
    }
    for (const char* alias : {"/var", "/tmp", "/etc"}) {
        std::string plain = alias;
        std::string aliased = "/private" + plain;
        if (isAtOrUnder(path, aliased) && isAtOrUnder(root, plain)) {
            return plain + path.substr(aliased.size());
        }
        if (isAtOrUnder(path, plain) && isAtOrUnder(root, "/private")) {
            std::string privatePath = "/private" + path;
            if (isAtOrUnder(privatePath, root)) {
                return privatePath;
            }
        }
    }
    return path;
}

} // namespace nexdir
