#pragma once

#include <QIcon>

namespace quelmo {

// Quelmo's icon for the tray and its windows: the magnifier shipped inside the program, or
// the desktop theme's "system-search" should the drawing fail. Never null where the theme has
// that icon: a tray item without an icon is invisible, and with it the tray's way to reach
// and to quit Quelmo. Main thread.
QIcon applicationIcon();

} // namespace quelmo
