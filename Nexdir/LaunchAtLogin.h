#pragma once

#include <QString>

#include <optional>

namespace quelmo::LaunchAtLogin {

// Starting Quelmo when the user logs in, the freedesktop way: a desktop entry in
// $XDG_CONFIG_HOME/autostart (by default ~/.config/autostart) that the session starts.
// Whether it is on is whether that file exists. Main thread.

QString autostartFile();
bool isEnabled();
// Writes the entry, starting `executable` (an absolute path) with no arguments. The failure's
// description, or nothing on success.
std::optional<QString> enable(const QString& executable);
std::optional<QString> disable();

// `path` as one argument of a desktop entry's Exec key: quoted where the entry's rules need
// it, then escaped as the entry's string values are.
QString execArgument(const QString& path);

} // namespace quelmo::LaunchAtLogin
