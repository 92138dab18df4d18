#include "IndexSchema.h"

namespace nexdir::IndexSchema {

const char* const script = R"(CREATE TABLE IF NOT EXISTS entries(
    id INTEGER PRIMARY KEY,
    parent_id INTEGER NOT NULL,
    name TEXT NOT NULL,
    search_name TEXT NOT NULL,
    is_directory INTEGER NOT NULL,
    modified_at REAL NOT NULL DEFAULT 0,
    size INTEGER NOT NULL DEFAULT 0,
    UNIQUE(parent_id, name)
);
CREATE INDEX IF NOT EXISTS entries_search_name ON entries(search_name);
CREATE INDEX IF NOT EXISTS entries_size ON entries(size DESC) WHERE is_directory = 0;
CREATE TABLE IF NOT EXISTS file_stats(
    id INTEGER PRIMARY KEY CHECK(id = 1),
    total INTEGER NOT NULL,
    directories INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS scan_state(
    id INTEGER PRIMARY KEY CHECK(id = 1),
    completed INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS metadata(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS schema_state(
    key TEXT PRIMARY KEY,
    value INTEGER NOT NULL
);
INSERT OR IGNORE INTO file_stats(id, total, directories)
SELECT 1, (SELECT count(*) FROM entries), (SELECT coalesce(sum(is_directory), 0) FROM entries)
WHERE NOT EXISTS (SELECT 1 FROM file_stats WHERE id = 1);
INSERT OR IGNORE INTO scan_state(id, completed) VALUES(1, 0);
INSERT INTO schema_state(key, value) VALUES('schema_version', 4)
ON CONFLICT(key) DO UPDATE SET value = 4;)";

const char* const addAllocatedSizeColumn = "ALTER TABLE entries ADD COLUMN allocated_size INTEGER;";
const char* const addDatalessColumn =
    "ALTER TABLE entries ADD COLUMN is_dataless INTEGER NOT NULL DEFAULT 0;";

const char* const createDiskSizeIndex = "CREATE INDEX IF NOT EXISTS entries_disk_size ON "
                                        "entries(allocated_size DESC, size DESC, id) WHERE "
                                        "is_directory = 0;";
const char* const createUnmeasuredIndex = "CREATE INDEX IF NOT EXISTS entries_unmeasured ON "
                                          "entries(id) WHERE is_directory = 0 AND allocated_size "
                                          "IS NULL;";

const char* const createStagingTable =
    "CREATE TEMP TABLE IF NOT EXISTS staged_entries(id, parent_id, name, search_name, "
    "is_directory, modified_at, size, allocated_size, is_dataless);";

const char* const createFullTextTable =
    R"(CREATE VIRTUAL TABLE IF NOT EXISTS entries_fts USING fts5(
    search_name,
    content='entries',
    content_rowid='id',
    tokenize='trigram',
    detail=none,
    columnsize=0
);)";

const char* const createTriggers = R"(CREATE TRIGGER entries_ai AFTER INSERT ON entries BEGIN
    INSERT INTO entries_fts(rowid, search_name) VALUES (new.id, new.search_name);
    UPDATE file_stats
    SET total = total + 1, directories = directories + new.is_directory
    WHERE id = 1;
END;
CREATE TRIGGER entries_ad AFTER DELETE ON entries BEGIN
    INSERT INTO entries_fts(entries_fts, rowid, search_name)
    VALUES ('delete', old.id, old.search_name);
    UPDATE file_stats
    SET total = total - 1, directories = directories - old.is_directory
    WHERE id = 1;
END;
CREATE TRIGGER entries_au AFTER UPDATE OF search_name ON entries
WHEN old.search_name <> new.search_name BEGIN
    INSERT INTO entries_fts(entries_fts, rowid, search_name)
    VALUES ('delete', old.id, old.search_name);
    INSERT INTO entries_fts(rowid, search_name) VALUES (new.id, new.search_name);
END;
CREATE TRIGGER entries_stats_au AFTER UPDATE OF is_directory ON entries
WHEN old.is_directory <> new.is_directory BEGIN
    UPDATE file_stats
    SET directories = directories + new.is_directory - old.is_directory
    WHERE id = 1;
END;
CREATE TRIGGER entries_names_ai AFTER INSERT ON entries BEGIN
    DELETE FROM metadata WHERE key = 'namesStamp';
END;
CREATE TRIGGER entries_names_ad AFTER DELETE ON entries BEGIN
    DELETE FROM metadata WHERE key = 'namesStamp';
END;
CREATE TRIGGER entries_names_au
AFTER UPDATE OF parent_id, name, search_name, is_directory, modified_at, size ON entries BEGIN
    DELETE FROM metadata WHERE key = 'namesStamp';
END;)";

const char* const dropTriggers = R"(DROP TRIGGER IF EXISTS entries_ai;
DROP TRIGGER IF EXISTS entries_ad;
DROP TRIGGER IF EXISTS entries_au;
DROP TRIGGER IF EXISTS entries_stats_au;
DROP TRIGGER IF EXISTS entries_names_ai;
DROP TRIGGER IF EXISTS entries_names_ad;
DROP TRIGGER IF EXISTS entries_names_au;)";

const char* const dropSecondaryIndexes =
    "DROP INDEX IF EXISTS entries_search_name; DROP INDEX IF EXISTS entries_size; DROP INDEX IF "
    "EXISTS entries_disk_size; DROP INDEX IF EXISTS entries_unmeasured;";

const char* const createSecondaryIndexesAndCount =
    R"(CREATE INDEX entries_search_name ON entries(search_name);
CREATE INDEX entries_size ON entries(size DESC) WHERE is_directory = 0;
CREATE INDEX entries_disk_size ON entries(allocated_size DESC, size DESC, id) WHERE is_directory = 0;
CREATE INDEX entries_unmeasured ON entries(id) WHERE is_directory = 0 AND allocated_size IS NULL;
UPDATE file_stats SET total = (SELECT count(*) FROM entries),
    directories = (SELECT coalesce(sum(is_directory), 0) FROM entries) WHERE id = 1;)";

} // namespace nexdir::IndexSchema
