#include "FileSystemEvent.h"

#include "ExclusionTables.h"
#include "Paths.h"

namespace nexdir {

namespace {

// What a root of "/" does not cover: the mount area of other volumes.
bool isOnOtherVolume(const std::string& path) {
    for (const std::string& area : otherVolumeAreas()) {
        if (path != area && isAtOrUnder(path, area)) {
            return true;
        }
    }
    return false;
}

} // namespace

bool FileSystemEvent::requiresFullScan(uint64_t after,
                                       const std::vector<std::string>& roots) const {
    if (isLoss()) {
        return true;
    }
    // Only these concern the roots; anything else is answered before they are looked at.
    if (!(flags & (EventFlags::rootChanged | EventFlags::mount | EventFlags::unmount))) {
        return false;
    }
    bool covered = false;
    for (const std::string& rawRoot : roots) {
        std::string root = standardizePath(rawRoot);
        if (isAtOrUnder(path, root) && (root != "/" || !isOnOtherVolume(path))) {
            covered = true;
            break;
        }
    }
    if (!covered) {
        return false;
    }
    return id - 1 >= after;
}

} // namespace nexdir
