#pragma once

#include <string>

namespace nexdir {

// An exclusive advisory lock (flock) on a lock file, held for the object's life: one
// process at a time rebuilds an index, and one instance of the application runs. The lock
// file itself is never removed.
class RebuildOwnership {
public:
    // Creates `directory` if needed and takes the lock on directory/fileName at once, or
    // throws "Another process owns this index operation".
    RebuildOwnership(const std::string& directory, const std::string& fileName);
    ~RebuildOwnership();
    RebuildOwnership(const RebuildOwnership&) = delete;
    RebuildOwnership& operator=(const RebuildOwnership&) = delete;

    // Closes the descriptor once; later calls do nothing.
    void release();

private:
    int descriptor_ = -1;
};

} // namespace nexdir
