#pragma once

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace nexdir {

// The engine's error. `database` carries SQLite's result code and a message made of a fixed
// context text, ": " and SQLite's own message; `sqlite` is a condition the store found
// itself (an index written by a newer version).
class NexdirError : public std::runtime_error {
public:
    enum class Kind { sqlite, database };

    static NexdirError sqlite(std::string message) {
        return NexdirError(Kind::sqlite, 0, std::move(message));
    }
    static NexdirError database(int32_t code, std::string message) {
        return NexdirError(Kind::database, code, std::move(message));
    }

    Kind kind() const { return kind_; }
    int32_t code() const { return code_; }
    std::string errorDescription() const { return what(); }

protected:
    NexdirError(Kind kind, int32_t code, std::string message)
        : std::runtime_error(std::move(message)), kind_(kind), code_(code) {}

private:
    Kind kind_;
    int32_t code_;
};

inline constexpr const char* newerIndexMessage =
    "This index was created by a newer Quelmo. Update the app to open it.";

// A search whose cancellation token was already cancelled when it started; distinct from
// the interrupt of a running statement, which is a NexdirError.
class SearchCancelledError : public std::runtime_error {
public:
    SearchCancelledError() : std::runtime_error("Search cancelled") {}
};

// A failure of the file system outside SQLite (creating folders, moving files); the message
// names the operation, the path and the system's reason.
class FileSystemError : public std::runtime_error {
public:
    FileSystemError(std::string message, int errorCode)
        : std::runtime_error(std::move(message)), errorCode_(errorCode) {}
    int errorCode() const { return errorCode_; }

private:
    int errorCode_;
};

// The numeric code `error` carries: SQLite's result code, or the errno of a file-system
// failure; 0 for any other error.
inline int errorCodeOf(const std::exception& error) {
    if (auto* engine = dynamic_cast<const NexdirError*>(&error)) {
        return engine->code();
    }
    if (auto* fileSystem = dynamic_cast<const FileSystemError*>(&error)) {
        return fileSystem->errorCode();
    }
    return 0;
}

// True when `error` says the disk is full: SQLite's SQLITE_FULL (13, in the low byte of an
// extended code), or a file-system failure with ENOSPC or EDQUOT.
inline bool isDiskFull(const std::exception& error) {
    constexpr int sqliteFull = 13;
    if (auto* engine = dynamic_cast<const NexdirError*>(&error)) {
        return engine->kind() == NexdirError::Kind::database && (engine->code() & 0xff) == sqliteFull;
    }
    if (auto* fileSystem = dynamic_cast<const FileSystemError*>(&error)) {
        return fileSystem->errorCode() == ENOSPC || fileSystem->errorCode() == EDQUOT;
    }
    return false;
}

} // namespace nexdir
