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
    tables.eventStreamCandidates = {"/tmp",  "/var/tmp", "/var/cache", "/var/log/journal",
                                    "/proc", "/sys",     "/dev",       "/run"};
    return tables;
}

ExclusionTables ExclusionTables::referenceTables(const std::string& home) {
    ExclusionTables tables;
    tables.technicalPaths = {cloudStoragePathFor(home),
                             "/System/Library/Templates",
                             "/System/Library/AssetsV2",
                             "/System/Library/DirectoryServices",
                             "/System/Volumes/iSCPreboot",
                             "/private/var/db",
                             "/private/var/run",
                             "/private/var/spool",
                             "/private/var/root",
                             "/private/var/protected",
                             "/private/var/folders",
                             "/private/tmp",
                             "/Library/Application Support/com.apple.TCC",
                             "/Library/Application Support/Apple/AssetCache",
                             "/Library/Trial"};
    for (const char* name :
         {"Accounts", "AppleMediaServices", "Biome", "DuetExpertCenter", "Daemon Containers",
          "Metadata", "IntelligencePlatform", "Cookies", "CoreFollowUp", "DoNotDisturb",
          "PersonalizationPortrait", "Suggestions", "Trial", "Photos",
          "com.apple.aiml.instrumentation", "Application Support/com.apple.TCC",
          "Application Support/Knowledge", "Application Support/DifferentialPrivacy",
          "Assistant/SiriVocabulary"}) {
        tables.technicalPaths.push_back(home + "/Library/" + name);
    }
    tables.fixedLocations = {"/dev",
                             "/private/var/folders",
                             "/private/tmp",
                             "/System/Volumes/Data",
                             "/System/Volumes/Preboot",
                             "/System/Volumes/VM",
                             "/System/Volumes/Update"};
    tables.otherVolumes = {"/Volumes"};
    tables.cacheRoots = {"/Library/Caches", "/System/Library/Caches"};
    tables.eventStreamCandidates = {"/private/tmp",         "/private/var/folders",
                                    "/private/var/db",      "/Library/Caches",
                                    "/System/Volumes/Data", "/System/Volumes/Preboot",
                                    "/System/Volumes/VM",   "/System/Volumes/Update"};
    return tables;
}

} // namespace nexdir
