#pragma once

// The file-system layer of the walkers: one statx per item, relative to the open folder,
// gives every value a record needs, allocated size included. Symbolic links are never
// followed. Errors are classified by errno.

#include "FileDescriptor.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nexdir {

// The values of one item, as a walk reads them.
struct ItemValues {
    bool isDirectory = false;
    bool isSymbolicLink = false;
    bool isRegularFile = false;
    bool isPackage = false; // no such thing on Linux
    double modifiedAt = 0;  // seconds since 1970
    int64_t size = 0;
    uint64_t blocks512 = 0; // allocated 512-byte blocks
    uint64_t device = 0;    // the file system the item lives on

    // A folder a walk may enter: symbolic links and packages are items, never walked into.
    bool isEnterableFolder() const { return isDirectory && !isSymbolicLink && !isPackage; }
};

// Reads the item `name` inside the open folder `directoryFD` (AT_FDCWD for a path). On
// failure answers absent and leaves the reason in `errorCode` (an errno value).
std::optional<ItemValues> readItemValues(int directoryFD, const std::string& name, int& errorCode);
std::optional<ItemValues> readItemValues(const std::string& path, int& errorCode);

// An open folder and its entries ("." and ".." left out, hidden entries included). The
// descriptor stays open for the object's life so entries can be read relative to it.
class DirectoryListing {
public:
    // Opens and reads the whole folder; on failure `ok()` is false and `errorCode()` says why.
    explicit DirectoryListing(const std::string& path);

    bool ok() const { return errorCode_ == 0; }
    int errorCode() const { return errorCode_; }
    int fd() const { return fd_.get(); }
    const std::vector<std::string>& names() const { return names_; }

private:
    FileDescriptor fd_;
    int errorCode_ = 0;
    std::vector<std::string> names_;
};

// Error classes.
bool isPermissionError(int errorCode);  // EACCES, EPERM
bool isUnavailableError(int errorCode); // permission, ETIMEDOUT, EINTR, EIO, ESTALE, ENOTCONN
bool isMissingError(int errorCode);     // ENOENT, ENOTDIR

// Bytes the volume holding `path` has free for ordinary use (f_bavail × f_frsize).
std::optional<int64_t> availableCapacity(const std::string& path);

} // namespace nexdir
