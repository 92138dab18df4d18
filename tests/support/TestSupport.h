#pragma once

// Helpers that build real temporary folders and real index databases for the tests.

#include "ExclusionRules.h"
#include "FileRecord.h"
#include "FileSystemEvent.h"
#include "IndexedEntry.h"
#include "NameSearch.h"
#include "SearchIndex.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace nexdir {

// How failing comparisons show the engine's values (found by GoogleTest next to the types).
void PrintTo(const SearchResult& result, std::ostream* out);
void PrintTo(const IndexedEntry& entry, std::ostream* out);
void PrintTo(const FileRecord& record, std::ostream* out);
void PrintTo(const FileSystemEvent& event, std::ostream* out);

} // namespace nexdir

namespace nexdir::test {

// A fresh folder under the system's temporary directory, removed with everything in it.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readFile(const std::string& path);
// Writes `contents` at `path`, creating the folders above it.
void makeFile(const std::string& path, const std::string& contents = "x");
void writeFile(const std::string& path, const std::string& contents);
bool exists(const std::string& path);
// The permission bits of `path` (a link followed), 0 when there is nothing there.
unsigned permissions(const std::string& path);
std::vector<std::string> listFolder(const std::string& path);

// How many lines of the debug log this process wrote that begin with `phrase`: tests run in
// parallel processes, and every one writes to the same log.
size_t logCount(const std::string& phrase);

// A plain SQLite connection beside the store, for looking at and tampering with the file.
class RawDatabase {
public:
    explicit RawDatabase(const std::string& path);
    ~RawDatabase();
    void execute(const std::string& sql);
    long long integer(const std::string& sql);
    std::string text(const std::string& sql);
    std::vector<std::string> column(const std::string& sql);
    sqlite3* get() const { return db_; }

private:
    sqlite3* db_ = nullptr;
};

// Builds a small tree of records under one volume root, handing out ids from the index.
class TreeBuilder {
public:
    TreeBuilder(SearchIndex& index, const std::string& rootPath);
    int64_t root() const { return root_; }
    int64_t folder(int64_t parent, const std::string& name);
    int64_t file(int64_t parent, const std::string& name, int64_t size = 0,
                 std::optional<int64_t> allocatedSize = std::nullopt);

private:
    int64_t add(int64_t parent, const std::string& name, bool isDirectory, int64_t size,
                std::optional<int64_t> allocatedSize = std::nullopt);
    SearchIndex& index_;
    int64_t root_;
};

// What a walk of the disk and the index should agree on for one path.
struct TreeItem {
    bool isDirectory = false;
    int64_t size = 0;
    bool operator==(const TreeItem&) const = default;
};
using Tree = std::map<std::string, TreeItem>;

// Every path the index at `database` holds, rebuilt from its rows; a row whose folder is
// missing is named as such.
Tree indexedTree(const std::string& database);
// An independent walk of the disk: `root` and everything below it that `rules` keep in a
// walk of `scanRoot` (default: `root`), links never followed.
Tree diskTree(const std::string& root, const ExclusionRules& rules,
              const std::string& scanRoot = "");
// The paths on which the two differ, for a readable failure.
std::string treeDifference(const Tree& expected, const Tree& actual);
// Whether the index at `database` holds exactly what a walk of `root` finds on the disk.
::testing::AssertionResult indexEqualsDisk(const std::string& database, const std::string& root,
                                           const ExclusionRules& rules);

// Changes a tree at random, the way a user and their programs do: files and folders made,
// removed, renamed and moved, kinds flipped, sizes changed, links and excluded folders added.
class TreeChanger {
public:
    TreeChanger(std::string root, unsigned seed);
    void change(int count);

private:
    std::string pick(const std::vector<std::string>& paths);
    std::string root_;
    std::mt19937 random_;
    int next_ = 0;
};

// Runs `work` in a child process that has given up root (as "nobody") when the tests run as
// root, for permissions to bind; answers what `work` returned, or "failed: " + the reason.
std::string runUnprivileged(const std::function<std::string()>& work);
// Runs `work` in a child process as this user (which it may end at any moment, as a kill
// would); answers what it wrote back before it ended.
std::string runInChild(const std::function<std::string()>& work);

// Runs `work` with searches on their plain statements, and switches the in-memory ranking
// back on however `work` ends (an assertion that returns early included).
template <class Work> auto withPlainStatements(Work&& work) {
    struct Restore {
        ~Restore() { NameSearch::setRankedScan(true); }
    } restore;
    NameSearch::setRankedScan(false);
    return work();
}

} // namespace nexdir::test
