#pragma once

#include "FileDescriptor.h"
#include "NexdirError.h"

#include <string>

namespace nexdir {

// Another process holds the lock: "Another process owns this index operation". `holder()` is
// what that process wrote in the lock file ("" when nothing), to say who it is.
class OwnershipHeldError : public NexdirError {
public:
    explicit OwnershipHeldError(std::string holder = {})
        : NexdirError(Kind::sqlite, 0, "Another process owns this index operation"),
          holder_(std::move(holder)) {}
    const std::string& holder() const { return holder_; }

private:
    std::string holder_;
};

// The lock files beside an index: one rebuild of it at a time, and one engine keeping it live
// (the application's single-instance lock).
inline constexpr const char* rebuildLockName = "rebuild.lock";
inline constexpr const char* applicationLockName = "application.lock";
// The folder a rebuild writes its new index in, before installing it: this and a UUID.
inline constexpr const char* rebuildFolderPrefix = ".rebuild-";

// An exclusive advisory lock (flock) on a lock file, held for the object's life: one
// process at a time rebuilds an index, and one instance of the application runs. The lock
// file itself is never removed.
class RebuildOwnership {
public:
    // Creates `directory` if needed and takes the lock on directory/fileName at once, or
    // throws OwnershipHeldError (or "Could not open rebuild ownership lock " + the path and
    // the reason). Once it holds the lock, `holder` replaces what the file said, so that a
    // process refused can name who holds it ("quelmo", "quelmo-cli scan").
    RebuildOwnership(const std::string& directory, const std::string& fileName,
                     const std::string& holder = {});

    // Closes the descriptor once; later calls do nothing.
    void release();

private:
    FileDescriptor descriptor_; // the lock goes with it
};

} // namespace nexdir
