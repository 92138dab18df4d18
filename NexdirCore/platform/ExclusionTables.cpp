#include "ExclusionTables.h"

namespace nexdir {

std::string cloudStoragePathFor(const std::string& home) {
    return home + (home.ends_with("/") ? "" : "/") + "Library/CloudStorage";
}

std::vector<std::string> otherVolumeAreas() {
    return {"/media", "/mnt", "/run/media"};
}

ExclusionTables ExclusionTables::linuxTables(const std::string& home) {
    ExclusionTables tables;
    tables.technicalPaths = {cloudStoragePathFor(home),
                             "/proc",
                             "/sys",
                             "/dev",
                             "/run",
                             "/tmp",
                             "/var/tmp",
                             "/var/cache",
                             "/var/lib/docker",
                             "/var/lib/containers",
                             "/var/lib/snapd",
                             "/var/log/journal",
                             "/lost+found"};
    for (const char* name : {".local/share/baloo", ".local/share/tracker",
                             ".local/share/Trash/expunged", ".mozilla/firefox/Crash Reports"}) {
        tables.technicalPaths.push_back(home + "/" + name);
    }
    // /tmp and /var/tmp are technical rather than fixed here: every walk of the system skips
    // them all the same, and a walk the user starts inside one still indexes what it was
    // asked to.
    tables.fixedLocations = {"/dev", "/proc", "/sys", "/run"};
    tables.otherVolumes = otherVolumeAreas();
    tables.cacheRoots = {"/var/cache"};
    // A region's stream leaves out where programs churn files nobody searches for.
    tables.eventStreamCandidates = {
        home + "/.cache", "/tmp", "/var/tmp", "/var/cache", "/var/lib/docker", "/var/log/journal"};
    return tables;
}

} // namespace nexdir
