#pragma once

// The freedesktop Trash as the file system holds it: how much a Trash folder holds, which
// file a path names, and the folders a move into a Trash needs. Nothing here moves or
// deletes anything. Any thread; no lock.

#include <cstdint>
#include <optional>
#include <string>

namespace nexdir {

// What a bounded measurement of a Trash found.
struct TrashSize {
    int64_t bytes = 0;    // the allocated size of the regular files counted
    bool complete = true; // every entry was counted within the limits
    bool readable = true; // the Trash's files/ folder itself could be read
};

// Adds up the allocated size of the regular files under `trash`/files, visiting at most
// `maximumEntries` entries for at most `seconds` of uptime (a larger Trash gives a lower
// bound, incomplete). Symbolic links are never followed and folders on another file system
// are not entered. A Trash that was never used (no files/ folder) holds nothing.
TrashSize measureTrash(const std::string& trash, int64_t maximumEntries, double seconds);

// Which file a path names, from `lstat`: equal identities are the same file, so a file
// replaced by another of the same name, or moved away, no longer matches.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
// Absent unless the path names a regular file (a link is not followed).
std::optional<FileIdentity> regularFileIdentity(const std::string& path);

// Makes `trash` ready to receive a file: the folder itself and its files/ and info/, each
// created with mode 0700 when missing, and with `makeParents` the folders above it too (the
// user's data folder may not exist yet; a disk's top folder always does). Answers why it
// cannot be used (a link, not a folder, another user's, not writable), or nothing when it can.
std::optional<std::string> prepareTrashFolder(const std::string& trash, bool makeParents);

// The Trash of the file system whose top folder is `top`, for this user, as freedesktop.org's
// Trash layout has it: an administrator's `top`/.Trash (a folder, not a link, with
// the sticky bit) holds one folder per user id; otherwise `top`/.Trash-<uid>.
std::string volumeTrashFolder(const std::string& top);

} // namespace nexdir
