#pragma once

// What is at an index path, found out without writing anything there (internal to the index
// store). Opening must never harm a file it then refuses: another program's database, one
// from a newer release, or one whose shape says it is not ours to repair in place.

#include <string>

namespace nexdir::detail {

struct IndexFileInspection {
    enum class State {
        absent,  // no file, or an empty one: a new index is created
        ours,    // an index of this or an earlier format: opened, and upgraded if need be
        newer,   // written by a newer release: refused untouched
        foreign, // a database holding tables this system never creates: refused untouched
        damaged, // not usable as an index: set aside by the caller that may do so
    };
    State state = State::absent;
    std::string reason; // for `damaged`, in words a user can act on
    int code = 0;       // for `damaged`: SQLITE_NOTADB when it is no database, else SQLITE_CORRUPT
};

// Reads the file at `path` through a connection that writes nothing (not even a "-wal" or
// "-shm" companion). Throws NexdirError for a path that is not a regular file or cannot be
// read, naming the path and the reason.
IndexFileInspection inspectIndexFile(const std::string& path);

// The reason a file or its folder cannot be opened for an index, in words a user can act on
// ("permission denied", "is a folder, not a file"), from the errno of the failed call and
// what the path is.
std::string openFailureReason(const std::string& path, int errorCode);

// `path` as the path of a "file:" URI, percent-encoded where a character would end or change it.
std::string uriPath(const std::string& path);

} // namespace nexdir::detail
