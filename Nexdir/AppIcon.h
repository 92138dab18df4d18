#pragma once

#include <QIcon>

namespace quelmo {

// Quelmo's icon for the tray and its windows: the desktop theme's "system-search" when the
// theme has one, so it looks like its neighbours, otherwise the magnifier shipped inside the
// program. Never null: a tray item without an icon is invisible, and with it the tray's way
// to reach and to quit Quelmo. Main thread.
QIcon applicationIcon();

} // namespace quelmo
