#pragma once

#include <QIcon>
#include <QString>

#include <optional>
#include <vector>

namespace quelmo::Actions {

// The desktop's ways to open, open with and show a file (GIO and the file manager's D-Bus
// interface). Each answers the failure's description, or nothing on success. Main thread.

std::optional<QString> openWithDefault(const QString& path);

struct Application {
    QString id; // the desktop file id, such as "org.gnome.gedit.desktop"
    QString name;
    QIcon icon;
};

// The applications registered for the file's type, default first.
std::vector<Application> applicationsFor(const QString& path);
std::optional<QString> openWithApplication(const QString& path, const QString& applicationID);
// An application given by its .desktop file, as the chooser returns it.
std::optional<QString> openWithDesktopFile(const QString& path, const QString& desktopFile);

// Asks the file manager to show the item selected in its folder; when none answers, opens
// the folder itself.
std::optional<QString> showInFolder(const QString& path);

} // namespace quelmo::Actions
