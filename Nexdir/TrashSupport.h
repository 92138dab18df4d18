#pragma once

#include "TrashFolder.h"

#include <QString>

#include <optional>
#include <string>

namespace quelmo::TrashSupport {

// Moving one file into the freedesktop Trash, as QFile::moveToTrash does it, with the checks
// that keep it from ever moving the wrong file, or losing one. Main thread.

// Where a file goes: the user's own Trash when the file is on the home folder's disk, else
// the Trash of the file's own file system (a rename never crosses file systems).
struct Destination {
    std::string folder;  // the Trash folder
    std::string diskTop; // the top folder of the file's file system; empty for the home Trash
    bool isHomeTrash() const { return diskTop.empty(); }
};
Destination destinationFor(const std::string& path, const std::string& homeTrash);

// What the confirmation adds to say where the file goes, when that is not the user's Trash.
QString destinationNote(const Destination& destination);

// Moves the file to the destination's Trash. Answers the failure's text for the status line,
// or nothing once the file is in the Trash. The Trash folders are made first (mode 0700), as
// Qt 6.4 would otherwise make them under the current folder when $XDG_DATA_HOME is missing;
// a file system whose Trash cannot be used is refused, and a move that reports a place
// outside the Trash counts as unconfirmed.
std::optional<QString> moveToTrash(const std::string& path, const Destination& destination);

} // namespace quelmo::TrashSupport
