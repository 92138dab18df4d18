#include "RecoveryRegion.h"

#include "EventPaths.h"
#include "Paths.h"

namespace nexdir {

bool RecoveryRegion::contains(const std::string& root, const std::string& path) {
    return isAtOrUnder(path, root);
}

std::string RecoveryRegion::eventPath(const std::string& path, const std::string& root) {
    return eventPathIn(path, root);
}

} // namespace nexdir
