#include "LaunchAtLogin.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

namespace quelmo::LaunchAtLogin {

QString autostartFile() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config)) {
        config = QDir::homePath() + "/.config";
    }
    return config + "/autostart/quelmo.desktop";
}

bool isEnabled() {
    return QFileInfo::exists(autostartFile());
}

QString execArgument(const QString& path) {
    // The Exec key's own quoting: inside double quotes, ", `, $ and \ take a backslash; a path
    // with none of the reserved characters stands as it is.
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QString argument = path;
    if (std::any_of(path.begin(), path.end(), [](QChar c) { return reserved.contains(c); })) {
        argument.clear();
        for (QChar c : path) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') {
                argument += '\\';
            }
            argument += c;
        }
        argument = '"' + argument + '"';
    }
    // Field codes start with %; then the value is a string, whose own escape doubles \.
    argument.replace('%', "%%");
    argument.replace('\\', "\\\\");
    return argument;
}

namespace {

// The installed package's icon where the icon theme has it; a build run from its folder has
// none to name.
QByteArray iconName() {
    bool installed = !QStandardPaths::locate(QStandardPaths::GenericDataLocation,
                                             "icons/hicolor/scalable/apps/quelmo.svg")
                          .isEmpty();
    return installed ? "quelmo" : "system-search";
}

} // namespace

std::optional<QString> enable(const QString& executable) {
    QString file = autostartFile();
    QString folder = QFileInfo(file).path();
    if (!QDir().mkpath(folder)) {
        return QFileInfo::exists(folder) ? folder + " is not a folder"
                                         : "Could not create the folder " + folder;
    }
    QSaveFile entry(file);
    if (!entry.open(QIODevice::WriteOnly)) {
        return "Could not write " + file + ": " + entry.errorString();
    }
    entry.write("[Desktop Entry]\n"
                "Type=Application\n"
                "Name=Quelmo\n"
                "Comment=Find files by name as you type\n"
                "Exec=" +
                execArgument(executable).toUtf8() +
                "\n"
                "Icon=" +
                iconName() +
                "\n"
                "Terminal=false\n"
                "X-GNOME-Autostart-enabled=true\n");
    if (!entry.commit()) {
        return "Could not write " + file + ": " + entry.errorString();
    }
    return std::nullopt;
}

std::optional<QString> disable() {
    QFile entry(autostartFile());
    if (entry.exists() && !entry.remove()) {
        return "Could not remove " + entry.fileName() + ": " + entry.errorString();
    }
    return std::nullopt;
}

} // namespace quelmo::LaunchAtLogin
