#pragma once

#include <QString>

namespace quelmo {

// Asks, in a modal alert, whether to make a large change of the excluded folders: `question`
// with `detail` below it, OK and Cancel. True when the user chose OK. Main thread.
bool confirmExclusionChange(const QString& question, const QString& detail);

} // namespace quelmo
