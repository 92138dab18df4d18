#pragma once

#include <QIcon>
#include <QString>

#include <optional>
#include <string>
#include <vector>

namespace quelmo::Actions {

// The desktop's ways to open, open with and show a file (GIO and the file manager's D-Bus
// interface). Each answers the failure's description, or nothing on success. Main thread.
//
// Paths are the file system's bytes, as the index holds them: a name that is not valid UTF-8
// would name another file (or none) once it had passed through QString.

std::optional<QString> openWithDefault(const std::string& path);

struct Application {
    QString id; // the desktop file id, such as "org.gnome.gedit.desktop"
    QString name;
    QIcon icon;
};

// The applications registered for the file's type, default first.
std::vector<Application> applicationsFor(const std::string& path);
std::optional<QString> openWithApplication(const std::string& path, const QString& applicationID);
// Every application the desktop shows in its menus: those registered for the file's type
// first (as applicationsFor lists them), then the others by name.
std::vector<Application> installedApplications(const std::string& path);

// Asks the file manager to show the item selected in its folder; when none answers, opens
// the folder itself.
std::optional<QString> showInFolder(const std::string& path);

// Shows the user's Trash in the file manager: "trash:///", which the desktop's file manager
// reads through GIO, or, where nothing opens that, the Trash's own files/ folder.
std::optional<QString> showTrash(const std::string& trashFolder);

} // namespace quelmo::Actions
