// Disk usage: the largest files, the files still to measure, and measurements saved only onto
// the rows they were taken for.

#include "IndexLocks.h"
#include "SQLite.h"
#include "SearchIndex.h"

#include <algorithm>

namespace nexdir {

namespace {
constexpr int64_t maximumListedFiles = 1000;
} // namespace

SearchResponse SearchIndex::largestFiles(int64_t limit, int64_t minimumSize,
                                         bool rankedByDiskUsage) {
    uint64_t started = uptimeNanoseconds();
    SearchResponse response;
    read([&](Reader& reader) {
        // NULL sorts last in descending order: unmeasured files follow the unavailable ones
        // (-1). Each order is served by an index of its own, read in its order, so the
        // statement reads only the rows it returns: entries_disk_size holds all three keys,
        // and entries_size keeps equal sizes in id order (a second "size DESC" in the size
        // ranking would add nothing but make SQLite sort each run of equal sizes).
        sql::Statement statement(
            reader.connection(),
            std::string("SELECT id, name, is_directory, modified_at, size, allocated_size, "
                        "is_dataless\nFROM entries WHERE is_directory = 0 AND size >= ?\n"
                        "ORDER BY ") +
                (rankedByDiskUsage ? "allocated_size DESC, size DESC" : "size DESC") +
                ", id LIMIT ?;");
        statement.bindInt(1, std::max<int64_t>(0, minimumSize));
        statement.bindInt(2, std::clamp<int64_t>(limit, 0, maximumListedFiles));
        response.results = reader.results(sql::readEntries(statement));
    });
    response.durationMilliseconds = double(uptimeNanoseconds() - started) / 1'000'000.0;
    return response;
}

std::vector<SearchResult> SearchIndex::unmeasuredFiles(int64_t limit, int64_t afterID) {
    std::vector<SearchResult> files;
    read([&](Reader& reader) {
        // Named, because without statistics SQLite takes entries_disk_size for the NULLs and
        // sorts every unmeasured file by id for each batch: 0.2 s a batch with a million
        // of them, against under a millisecond through the index made for this list.
        sql::Statement statement(reader.connection(),
                                 "SELECT id, name, is_directory, modified_at, size FROM entries "
                                 "INDEXED BY entries_unmeasured WHERE is_directory = 0 AND "
                                 "allocated_size IS NULL AND id > ? ORDER BY id LIMIT ?;");
        statement.bindInt(1, afterID);
        statement.bindInt(2, std::clamp<int64_t>(limit, 1, maximumListedFiles));
        files = reader.results(sql::readEntries(statement));
    });
    return files;
}

int64_t SearchIndex::saveDiskUsage(const std::vector<MeasuredFile>& measurements) {
    auto guard = detail::lockMeasured(writeLock_, detail::phaseWriteLockWait);
    sqlite3* writer = writer_.get();
    sql::WriteTransaction transaction(writer);
    int64_t written = 0;
    {
        sql::Statement statement(
            writer, "UPDATE entries SET allocated_size = ?, is_dataless = ? WHERE id = ? AND "
                    "name = ? AND size = ? AND modified_at = ? AND allocated_size IS NULL;");
        for (const MeasuredFile& measured : measurements) {
            statement.reset();
            statement.bindInt(1, measured.usage ? measured.usage->bytes : -1);
            statement.bindInt(2, measured.usage && measured.usage->isDataless ? 1 : 0);
            statement.bindInt(3, measured.file.id);
            statement.bindText(4, measured.file.name);
            statement.bindInt(5, measured.file.size);
            statement.bindDouble(6, measured.file.modifiedAt);
            if (statement.step() != SQLITE_DONE) {
                throw sql::error(writer, "Could not save disk usage");
            }
            written += sqlite3_changes64(writer);
        }
    }
    transaction.commit();
    return written;
}

} // namespace nexdir
