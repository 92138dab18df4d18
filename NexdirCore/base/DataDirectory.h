#pragma once

#include <string>

namespace nexdir {

// The current user's home folder: $HOME, else the password database's entry.
std::string homeDirectory();

// $XDG_DATA_HOME, or ~/.local/share when it is unset or empty: where the application keeps
// its data ("Nexdir") and where the user's own Trash lives.
std::string userDataHome();

// The application data directory, userDataHome() + "/Nexdir".
std::string applicationDataDirectory();

// The default index file, applicationDataDirectory() + "/index-v2.sqlite3".
std::string defaultIndexPath();

// The user's own freedesktop Trash, userDataHome() + "/Trash".
std::string localTrashDirectory();

} // namespace nexdir
