// Every statement that applying changes to the index runs must find its rows through an index:
// a statement that reads every entry costs little on a test tree and, at 250,000 entries, some
// 10 ms a batch, which made catching up with a burst of changes take minutes.

#include "FileSystemEvent.h"
#include "IndexSchema.h"
#include "IndexSynchronization.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <set>

using namespace nexdir;
namespace fs = std::filesystem;

namespace {

// The text of every statement run on the connections opened between the log's creation and
// `stopAttaching` (from any thread), as it was prepared; trigger programs are left out (their
// statements touch only the full-text index and the counters' single row).
class StatementLog {
public:
    StatementLog() {
        std::lock_guard guard(lock);
        current = this;
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(&attach));
    }
    ~StatementLog() {
        stopAttaching();
        std::lock_guard guard(lock);
        current = nullptr;
    }
    StatementLog(const StatementLog&) = delete;
    StatementLog& operator=(const StatementLog&) = delete;

    void stopAttaching() { sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&attach)); }

    void clear() {
        std::lock_guard guard(lock);
        statements.clear();
    }
    std::set<std::string> taken() {
        std::lock_guard guard(lock);
        return statements;
    }

private:
    static int attach(sqlite3* db, char**, const sqlite3_api_routines*) {
        sqlite3_trace_v2(db, SQLITE_TRACE_STMT, &traced, nullptr);
        return SQLITE_OK;
    }
    static int traced(unsigned, void*, void* statement, void* text) {
        if (std::string_view(static_cast<const char*>(text)).starts_with("--")) {
            return 0;
        }
        std::lock_guard guard(lock);
        if (current) {
            current->statements.insert(sqlite3_sql(static_cast<sqlite3_stmt*>(statement)));
        }
        return 0;
    }

    static inline std::mutex lock;
    static inline StatementLog* current = nullptr; // guarded by lock
    std::set<std::string> statements;              // guarded by lock
};

// The plan lines of `sql` that read the whole of `entries`: a SCAN of it, or of a name it goes
// by in the statement, with or without an index (an index scanned whole reads every entry
// all the same).
std::vector<std::string> fullScans(sqlite3* db, const std::string& sql) {
    std::set<std::string> names{"entries"};
    static const std::regex alias(R"(\bentries'?\s+(?:AS\s+)?([A-Za-z_]\w*))", std::regex::icase);
    for (std::sregex_iterator it(sql.begin(), sql.end(), alias), end; it != end; ++it) {
        std::string name = (*it)[1];
        if (!sqlite3_keyword_check(name.data(), int(name.size()))) {
            names.insert(name);
        }
    }
    sqlite3_stmt* plan = nullptr;
    if (sqlite3_prepare_v2(db, ("EXPLAIN QUERY PLAN " + sql).c_str(), -1, &plan, nullptr) !=
        SQLITE_OK) {
        sqlite3_finalize(plan);
        return {std::string("not planned: ") + sqlite3_errmsg(db)};
    }
    std::vector<std::string> scans;
    while (sqlite3_step(plan) == SQLITE_ROW) {
        std::string detail = reinterpret_cast<const char*>(sqlite3_column_text(plan, 3));
        if (detail.starts_with("SCAN ") && names.count(detail.substr(5, detail.find(' ', 5) - 5))) {
            scans.push_back(detail);
        }
    }
    sqlite3_finalize(plan);
    return scans;
}

} // namespace

TEST(ApplyStatements, NoneReadsEveryEntry) {
    test::TempDirectory folder;
    std::string data = folder / "Nexdir";
    std::string root = folder / "tree";
    std::string database = data + "/index-v2.sqlite3";
    StatementLog log;
    SearchIndex index(database);
    log.stopAttaching(); // the index's own connections, not the test's
    FileIndexer indexer(index, data, {}, 7, 2);
    IndexSynchronization whole(index, indexer);
    std::vector<std::string> roots{root};
    for (const char* path : {"/docs/report.txt", "/docs/old/notes.md", "/music/a.mp3"}) {
        test::makeFile(root + path);
    }
    indexer.scanAll(roots, 1, std::nullopt, {});
    log.clear(); // a full scan loads rows bare and builds the indexes whole, as it should

    test::TreeChanger changer(root, 24);
    uint64_t id = 100;
    for (int round = 0; round < 4; ++round) {
        changer.change(30);
        // Events as the stream sends them: every folder that is or was there, one of them to
        // be walked whole, one with a renamed item, one whose own metadata changed.
        std::set<std::string> folders{root};
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (entry.is_directory() && !entry.is_symlink()) {
                folders.insert(entry.path().string());
            }
        }
        for (const auto& [path, item] : test::indexedTree(database)) {
            if (item.isDirectory) {
                folders.insert(path);
            }
        }
        std::vector<FileSystemEvent> events;
        for (const std::string& path : folders) {
            events.push_back({path, 0, ++id});
        }
        events.push_back({*std::next(folders.begin()), EventFlags::mustScanSubDirs, ++id});
        events.push_back({root + "/docs/gone", EventFlags::itemRenamed, ++id});
        events.push_back(
            {root + "/music", EventFlags::itemIsDir | EventFlags::itemInodeMetaMod, ++id});
        ASSERT_TRUE(whole.apply(events, roots, false));
        // A folder named alone, made and then gone.
        std::string alone = root + "/alone-" + std::to_string(round);
        test::makeFile(alone + "/inside/file");
        ASSERT_TRUE(whole.apply({{alone, 0, ++id}}, roots, false));
        fs::remove_all(alone);
        ASSERT_TRUE(whole.apply({{alone, 0, ++id}}, roots, false));
        changer.change(10);
        if (round % 2 == 0) { // and what a region's verification runs
            IndexSynchronization region(index, indexer, root);
            FileIndexer::SubtreeWalk walk =
                region.beginRegionalVerification(++id, IndexSynchronization::Verification::manual);
            while (!region.stepRegionalVerification(walk, roots, id, {})) {
            }
        } else {
            indexer.reconcileSubtree(root, roots);
        }
        ASSERT_TRUE(test::indexEqualsDisk(database, root, indexer.rules())) << "round " << round;
    }

    // Statements that differ only in the identifiers written into them are planned once.
    std::map<std::string, std::string> distinct;
    for (const std::string& sql : log.taken()) {
        distinct.emplace(std::regex_replace(sql, std::regex("[0-9]+(,[0-9]+)*"), "N"), sql);
    }
    EXPECT_GE(distinct.size(), 15u) << "less of the apply ran than it should";
    test::RawDatabase planner(database);
    planner.execute(IndexSchema::createStagingTable); // the writer's own, in its memory
    for (const auto& [shape, sql] : distinct) {
        std::vector<std::string> scans = fullScans(planner.get(), sql);
        EXPECT_TRUE(scans.empty()) << sql << "\n  " << scans.front();
    }
}
