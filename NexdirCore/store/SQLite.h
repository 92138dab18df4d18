#pragma once

// Thin RAII over the SQLite C interface, with the store's error conventions: a failure
// becomes a NexdirError whose message is a fixed context text, ": " and SQLite's message.

#include "IndexedEntry.h"
#include "NexdirError.h"

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nexdir::sql {

// A connection, closed with its owner.
struct CloseConnection {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Connection = std::unique_ptr<sqlite3, CloseConnection>;

// A NexdirError from the connection's current error code and message.
NexdirError error(sqlite3* db, std::string_view context);

// A prepared statement, finalised on every path.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql); // "Could not prepare SQLite statement"
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    sqlite3_stmt* get() const { return statement_; }
    sqlite3* db() const { return db_; }

    void reset();                                     // reset and clear bindings
    void bindText(int index, std::string_view value); // text as a transient copy
    void bindInt(int index, int64_t value);
    void bindDouble(int index, double value);
    void bindNull(int index);
    int step() { return sqlite3_step(statement_); }

    int64_t columnInt(int column) const { return sqlite3_column_int64(statement_, column); }
    double columnDouble(int column) const { return sqlite3_column_double(statement_, column); }
    bool columnIsNull(int column) const {
        return sqlite3_column_type(statement_, column) == SQLITE_NULL;
    }
    std::string columnText(int column) const;
    int columnCount() const { return sqlite3_column_count(statement_); }

private:
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

// Resets a statement kept for reuse when the scope ends, however it ends: a statement left
// between rows would hold its read snapshot open, and later reads would not see new writes.
class ResetOnExit {
public:
    explicit ResetOnExit(Statement& statement) : statement_(statement) {}
    ~ResetOnExit() { sqlite3_reset(statement_.get()); }
    ResetOnExit(const ResetOnExit&) = delete;
    ResetOnExit& operator=(const ResetOnExit&) = delete;

private:
    Statement& statement_;
};

// Runs a whole script with sqlite3_exec; a failure carries SQLite's own message. Reports its
// duration and result code as timing phase 5.
void execute(sqlite3* db, const std::string& script);

// Runs `script` and ignores its failure (a rollback after a first error).
void executeIgnoringFailure(sqlite3* db, const char* script);

// The first column of the single row of `sql`; no row → "Could not read SQLite value".
int64_t readInt(sqlite3* db, const std::string& sql);

// Steps `statement` to the end, one IndexedEntry per row (columns id, name, is_directory,
// modified_at, size and, when selected, allocated_size and is_dataless); a final result
// other than done → "Search failed".
std::vector<IndexedEntry> readEntries(Statement& statement);

// The identifiers as a comma-separated list, for an IN (...) of a statement.
std::string joinedIDs(std::span<const int64_t> ids);

// An online backup of `source`'s "main" database into `destination`'s, finished on every
// path. `ok()` is false when it could not start.
class Backup {
public:
    Backup(sqlite3* destination, sqlite3* source)
        : backup_(sqlite3_backup_init(destination, "main", source, "main")) {}
    ~Backup() { finish(); }
    Backup(const Backup&) = delete;
    Backup& operator=(const Backup&) = delete;

    bool ok() const { return backup_ != nullptr; }
    int step(int pages) { return sqlite3_backup_step(backup_, pages); }
    // The backup's own result; later calls answer SQLITE_OK and do nothing.
    int finish() {
        int result = backup_ ? sqlite3_backup_finish(backup_) : SQLITE_OK;
        backup_ = nullptr;
        return result;
    }

private:
    sqlite3_backup* backup_;
};

// A "BEGIN IMMEDIATE;" transaction on `db`, rolled back unless committed.
class WriteTransaction {
public:
    explicit WriteTransaction(sqlite3* db);
    ~WriteTransaction();
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;
    void commit();

private:
    sqlite3* db_;
    bool open_ = true;
};

} // namespace nexdir::sql
