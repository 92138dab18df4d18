#include "SQLite.h"

#include "Clock.h"
#include "DiagnosticTiming.h"

namespace nexdir::sql {

NexdirError error(sqlite3* db, std::string_view context) {
    std::string message(context);
    message += ": ";
    message += sqlite3_errmsg(db);
    return NexdirError::database(sqlite3_errcode(db), std::move(message));
}

Statement::Statement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql.c_str(), int(sql.size()), &statement_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement_);
        throw error(db, "Could not prepare SQLite statement");
    }
}

Statement::~Statement() {
    sqlite3_finalize(statement_);
}

void Statement::reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

void Statement::bindText(int index, std::string_view value) {
    if (sqlite3_bind_text64(statement_, index, value.data(), value.size(), SQLITE_TRANSIENT,
                            SQLITE_UTF8) != SQLITE_OK) {
        throw error(db_, "Could not bind SQLite value");
    }
}

void Statement::bindInt(int index, int64_t value) {
    if (sqlite3_bind_int64(statement_, index, value) != SQLITE_OK) {
        throw error(db_, "Could not bind SQLite value");
    }
}

void Statement::bindDouble(int index, double value) {
    if (sqlite3_bind_double(statement_, index, value) != SQLITE_OK) {
        throw error(db_, "Could not bind SQLite value");
    }
}

void Statement::bindNull(int index) {
    if (sqlite3_bind_null(statement_, index) != SQLITE_OK) {
        throw error(db_, "Could not bind SQLite value");
    }
}

std::string Statement::columnText(int column) const {
    auto text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    return text ? std::string(text, size_t(sqlite3_column_bytes(statement_, column)))
                : std::string();
}

void execute(sqlite3* db, const std::string& script) {
    double started = uptimeSeconds();
    char* message = nullptr;
    int result = sqlite3_exec(db, script.c_str(), nullptr, nullptr, &message);
    DiagnosticTiming::record(5, started, result);
    if (result != SQLITE_OK) {
        std::string text = message ? message : sqlite3_errstr(result);
        sqlite3_free(message);
        throw NexdirError::database(result, text);
    }
}

void executeIgnoringFailure(sqlite3* db, const char* script) {
    sqlite3_exec(db, script, nullptr, nullptr, nullptr);
}

int64_t readInt(sqlite3* db, const std::string& sql) {
    Statement statement(db, sql);
    if (statement.step() != SQLITE_ROW) {
        throw error(db, "Could not read SQLite value");
    }
    return statement.columnInt(0);
}

std::vector<IndexedEntry> readEntries(Statement& statement) {
    std::vector<IndexedEntry> entries;
    int columns = statement.columnCount();
    int result;
    while ((result = statement.step()) == SQLITE_ROW) {
        IndexedEntry entry;
        entry.id = statement.columnInt(0);
        entry.name = statement.columnText(1);
        entry.isDirectory = statement.columnInt(2) == 1;
        entry.modifiedAt = statement.columnDouble(3);
        entry.size = statement.columnInt(4);
        if (columns >= 6 && !statement.columnIsNull(5)) {
            entry.allocatedSize = statement.columnInt(5);
        }
        if (columns >= 7) {
            entry.isDataless = statement.columnInt(6) == 1;
        }
        entries.push_back(std::move(entry));
    }
    if (result != SQLITE_DONE) {
        throw error(statement.db(), "Search failed");
    }
    return entries;
}

std::string joinedIDs(std::span<const int64_t> ids) {
    std::string text;
    for (int64_t id : ids) {
        if (!text.empty()) {
            text += ',';
        }
        text += std::to_string(id);
    }
    return text;
}

WriteTransaction::WriteTransaction(sqlite3* db) : db_(db) {
    execute(db, "BEGIN IMMEDIATE;");
}

WriteTransaction::~WriteTransaction() {
    if (open_) {
        executeIgnoringFailure(db_, "ROLLBACK;");
    }
}

void WriteTransaction::commit() {
    execute(db_, "COMMIT;");
    open_ = false;
}

} // namespace nexdir::sql
