#pragma once

// The index file's format, statement for statement. Version 4 is the one this engine
// writes; a file that says 5 or more comes from a newer release and is refused untouched.

namespace nexdir::IndexSchema {

inline constexpr int version = 4;

// Tables, the first two secondary indexes, the rows the other tables guarantee and the
// schema version. The counters' row is counted only when it is missing: counting a million
// rows at every open took 90 ms.
extern const char* const script;

extern const char* const addAllocatedSizeColumn;
extern const char* const addDatalessColumn;
extern const char* const createDiskSizeIndex;
extern const char* const createUnmeasuredIndex;
extern const char* const createFullTextTable;
// The counters and the full-text index follow `entries` through these triggers; so does the
// names stamp (IndexMetadata::namesStamp), which every change to a column the names file
// holds deletes in the same transaction, whichever program or release writes. The stamp's
// triggers are separate from the others so that a release that knows only those, and drops
// and creates only those, leaves them in place.
extern const char* const createTriggers;
extern const char* const dropTriggers;

// The writer's own table, in memory, through which a batch of records goes into `entries` as
// one statement (see SearchIndexEntries.cpp); never in the file.
extern const char* const createStagingTable;

// Bulk-load mode: what a full scan in place drops first and builds again at the end.
extern const char* const dropSecondaryIndexes;
extern const char* const createSecondaryIndexesAndCount;

} // namespace nexdir::IndexSchema
