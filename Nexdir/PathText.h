#pragma once

#include <QString>

#include <string>

namespace quelmo {

// A path from the index as text. The index keeps the file system's bytes, and a Linux name
// may hold any byte but '/' and NUL; QString replaces bytes that are not UTF-8, so text made
// from such a path names another file. Only these two forms leave the path's bytes; anything
// handed to the system takes the bytes themselves.

// For the eye: bytes that are not UTF-8 show as U+FFFD.
QString displayedPath(const std::string& path);

// What Copy Path puts on the clipboard: the path itself when it is valid UTF-8, otherwise the
// form a shell reads back as the same bytes ($'…' with \xHH for each byte that is not UTF-8),
// so that pasting it into a terminal reaches the file.
QString copyablePath(const std::string& path);

} // namespace quelmo
