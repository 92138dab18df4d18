#include "IndexFile.h"

#include "DebugLog.h"
#include "IndexLocks.h"
#include "IndexSchema.h"
#include "NexdirError.h"
#include "SQLite.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <set>

namespace nexdir::detail {

namespace {

// Every table the index holds, the full-text table's own included (detail=none and
// columnsize=0 leave it no docsize table, external content no content table).
const std::set<std::string> ourTables = {
    "entries",    "entries_fts", "entries_fts_data", "entries_fts_idx", "entries_fts_config",
    "file_stats", "scan_state",  "metadata",         "schema_state"};

// The columns each of our tables must have to be used as it is; an early `entries` lacks
// allocated_size and is_dataless, which the upgrade adds.
const std::pair<const char*, std::set<std::string>> requiredColumns[] = {
    {"entries", {"id", "parent_id", "name", "search_name", "is_directory", "modified_at", "size"}},
    {"file_stats", {"id", "total", "directories"}},
    {"scan_state", {"id", "completed"}},
    {"metadata", {"key", "value"}},
    {"schema_state", {"key", "value"}},
};

} // namespace

std::string uriPath(const std::string& path) {
    std::string encoded;
    const char* hex = "0123456789ABCDEF";
    for (unsigned char c : path) {
        if (c == '%' || c == '?' || c == '#' || c <= 0x20 || c >= 0x7F) {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 15];
        } else {
            encoded += char(c);
        }
    }
    return encoded;
}

std::string openFailureReason(const std::string& path, int errorCode) {
    std::string folder = path.substr(0, std::max<size_t>(path.rfind('/'), 1));
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            return "it is a folder, not a file";
        }
        if (!S_ISREG(info.st_mode)) {
            return "it is not a regular file";
        }
    } else if (errno == ENOENT) {
        // A new index: what stops it is its folder (SQLite reports the missing file).
        if (access(folder.c_str(), W_OK | X_OK) != 0) {
            errorCode = errno;
        }
    }
    if (errorCode == 0) {
        // SQLite opened it read-only without saying why: one of the files it writes is not
        // writable.
        for (const std::string& file : {path, path + "-wal", path + "-shm", folder}) {
            if (access(file.c_str(), F_OK) == 0 && access(file.c_str(), W_OK) != 0) {
                return "cannot write " + file + " (check its permissions)";
            }
        }
        return "it cannot be written";
    }
    if (errorCode == EACCES || errorCode == EPERM || errorCode == EROFS) {
        return std::string(std::strerror(errorCode)) + " (check the permissions of the file " +
               "and its folder)";
    }
    return std::strerror(errorCode);
}

IndexFileInspection inspectIndexFile(const std::string& path, bool withLocks) {
    IndexFileInspection inspection;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            return inspection; // absent
        }
        int error = errno;
        throw NexdirError::sqlite("Could not open index " + path + ": " +
                                  openFailureReason(path, error));
    }
    if (!S_ISREG(info.st_mode)) {
        throw NexdirError::sqlite("Could not open index " + path + ": " +
                                  openFailureReason(path, 0));
    }
    if (info.st_size == 0) {
        return inspection; // absent
    }
    if (access(path.c_str(), R_OK) != 0) {
        int error = errno;
        throw NexdirError::sqlite("Could not open index " + path + ": " +
                                  openFailureReason(path, error));
    }
    auto damaged = [&](std::string reason, int code = SQLITE_CORRUPT) {
        inspection.state = IndexFileInspection::State::damaged;
        inspection.reason = std::move(reason);
        inspection.code = code;
        return inspection;
    };

    // The header says which file formats may read and write it (bytes 18 and 19): a
    // database SQLite could read but not write would fail every write of the index.
    unsigned char header[100] = {};
    std::ifstream file(path, std::ios::binary);
    file.read(reinterpret_cast<char*>(header), sizeof header);
    if (file.gcount() < std::streamsize(sizeof header) ||
        std::memcmp(header, "SQLite format 3", 16) != 0) {
        return damaged("it is not a database", SQLITE_NOTADB);
    }
    if (header[18] < 1 || header[18] > 2 || header[19] < 1 || header[19] > 2) {
        return damaged("its file format cannot be written");
    }

    // Without locks, what a live writer has only in its WAL is not seen here, and the full
    // open checks the version again.
    std::string uri = readOnlyURI(path, withLocks);
    sqlite3* opened = nullptr;
    int result =
        sqlite3_open_v2(uri.c_str(), &opened, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    sql::Connection connection(opened);
    if (result != SQLITE_OK) {
        return damaged(opened ? sqlite3_errmsg(opened) : "it cannot be read");
    }
    sqlite3_busy_timeout(opened, busyTimeoutMilliseconds);
    try {
        std::set<std::string> tables;
        sql::Statement names(connection.get(), "SELECT name FROM sqlite_master WHERE type IN "
                                               "('table', 'view');");
        int result;
        while ((result = names.step()) == SQLITE_ROW) {
            tables.insert(names.columnText(0));
        }
        if (result != SQLITE_DONE) {
            throw sql::error(connection.get(), "Could not read index");
        }
        for (const std::string& table : tables) {
            if (!ourTables.count(table) && !table.starts_with("sqlite_")) {
                inspection.state = IndexFileInspection::State::foreign;
                return inspection;
            }
        }
        if (tables.count("schema_state") &&
            sql::readInt(connection.get(), "SELECT coalesce((SELECT value FROM schema_state WHERE "
                                           "key = 'schema_version'), 0);") > IndexSchema::version) {
            inspection.state = IndexFileInspection::State::newer;
            return inspection;
        }
        for (const auto& [table, columns] : requiredColumns) {
            if (!tables.count(table)) {
                continue; // created by the schema script
            }
            std::set<std::string> present;
            sql::Statement info(connection.get(),
                                std::string("SELECT name FROM pragma_table_info('") + table +
                                    "');");
            while (info.step() == SQLITE_ROW) {
                present.insert(info.columnText(0));
            }
            for (const std::string& column : columns) {
                if (!present.count(column)) {
                    return damaged(std::string("its table ") + table + " has no column " + column);
                }
            }
        }
    } catch (const NexdirError& error) {
        int code = error.code() & 0xff;
        if (code == SQLITE_NOTADB || code == SQLITE_CORRUPT) {
            return damaged(error.what(), code);
        }
        throw;
    }
    inspection.state = IndexFileInspection::State::ours;
    return inspection;
}

std::string readOnlyURI(const std::string& path, bool withLocks) {
    auto exists = [&](const char* suffix) {
        struct stat info {};
        return lstat((path + suffix).c_str(), &info) == 0;
    };
    bool shared = withLocks || (exists("-wal") && exists("-shm"));
    return "file:" + uriPath(path) + (shared ? "?mode=ro" : "?mode=ro&immutable=1");
}

bool readsWithoutLocks(sqlite3* db) {
    return sqlite3_uri_boolean(sqlite3_db_filename(db, "main"), "immutable", 0) != 0;
}

void readRetryingWithLocks(const std::function<void(bool withLocks)>& read) {
    auto damaged = [](const NexdirError& error) {
        int code = error.code() & 0xff;
        return error.kind() == NexdirError::Kind::database &&
               (code == SQLITE_CORRUPT || code == SQLITE_NOTADB);
    };
    std::exception_ptr first;
    try {
        read(false);
        return;
    } catch (const NexdirError& error) {
        if (!damaged(error)) {
            throw;
        }
        first = std::current_exception();
        DebugLog::write(std::string("index read again with locks error=") + error.what());
    }
    try {
        read(true);
    } catch (const NexdirError& error) {
        if (damaged(error)) {
            throw;
        }
        std::rethrow_exception(first);
    }
}

} // namespace nexdir::detail
