#include "DataDirectory.h"

#include "Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace nexdir {

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return "/";
}

std::string userDataHome() {
    if (const char* dataHome = std::getenv("XDG_DATA_HOME");
        dataHome != nullptr && *dataHome == '/') {
        return standardizePath(dataHome);
    }
    return standardizePath(homeDirectory() + "/.local/share");
}

std::string applicationDataDirectory() {
    return userDataHome() + "/Nexdir";
}

std::string defaultIndexPath() {
    return applicationDataDirectory() + "/index-v2.sqlite3";
}

std::string localTrashDirectory() {
    return userDataHome() + "/Trash";
}

} // namespace nexdir
