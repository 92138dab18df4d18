#pragma once

// What is at an index path, found out without writing anything there (internal to the index
// store). Opening must never harm a file it then refuses: another program's database, one
// from a newer release, or one whose shape says it is not ours to repair in place.

#include "SQLite.h"

#include <functional>
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

// Reads the file at `path` through a connection that writes nothing: readOnlyURI(path,
// withLocks). Throws NexdirError for a path that is not a regular file or cannot be read,
// naming the path and the reason.
IndexFileInspection inspectIndexFile(const std::string& path, bool withLocks);

// The "file:" URI by which a connection that only reads opens the index at `path`.
//
// A connection that only reads still creates the "-wal" and "-shm" companions of a WAL index
// that lacks them. Without both, no connection has the index open (every open connection keeps
// the "-shm"; the last to close removes the pair), so the file is read as it stands, without
// locks (immutable), and nothing is created. A "-wal" left alone by a killed writer is then not
// read until a writer opens the index and recovers it. With both, or `withLocks`, the read
// takes the WAL's shared locks as any reader does, creating the companions if need be.
std::string readOnlyURI(const std::string& path, bool withLocks);

// Whether `db` reads its file without locks (opened by readOnlyURI without them).
bool readsWithoutLocks(sqlite3* db);

// Runs `read(false)`, which reads as readOnlyURI(path, false) does. A read without locks can
// meet pages that a writer which opened the index meanwhile is checkpointing into the file,
// and take a healthy index for a damaged one: when `read(false)` fails as a damaged file
// would, `read(true)` reads once more with locks, and its damage is the one reported. When the
// second read fails otherwise (it could not create the companions in a folder it may not
// write), the first error stands.
void readRetryingWithLocks(const std::function<void(bool withLocks)>& read);

// The reason a file or its folder cannot be opened for an index, in words a user can act on
// ("permission denied", "is a folder, not a file"), from the errno of the failed call and
// what the path is.
std::string openFailureReason(const std::string& path, int errorCode);

// `path` as the path of a "file:" URI, percent-encoded where a character would end or change it.
std::string uriPath(const std::string& path);

} // namespace nexdir::detail
