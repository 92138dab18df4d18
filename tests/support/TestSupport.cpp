#include "TestSupport.h"

#include "DebugLog.h"
#include "Paths.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace nexdir {

namespace {
std::string size(const std::optional<int64_t>& bytes) {
    return bytes ? std::to_string(*bytes) : "unmeasured";
}
} // namespace

void PrintTo(const SearchResult& result, std::ostream* out) {
    *out << "{" << (result.isDirectory ? "folder" : "file") << " id=" << result.id << " \""
         << result.path << "\" name=\"" << result.name << "\" score=" << result.score
         << " size=" << result.size << " allocated=" << size(result.allocatedSize)
         << " modified=" << result.modifiedAt << "}";
}

void PrintTo(const IndexedEntry& entry, std::ostream* out) {
    *out << "{" << (entry.isDirectory ? "folder" : "file") << " id=" << entry.id << " \""
         << entry.name << "\" size=" << entry.size << " allocated=" << size(entry.allocatedSize)
         << " modified=" << entry.modifiedAt << "}";
}

void PrintTo(const FileRecord& record, std::ostream* out) {
    *out << "{" << (record.isDirectory ? "folder" : "file") << " id=" << record.id
         << " parent=" << record.parentID << " \"" << record.name << "\" size=" << record.size
         << " allocated=" << size(record.allocatedSize) << " modified=" << record.modifiedAt << "}";
}

void PrintTo(const FileSystemEvent& event, std::ostream* out) {
    *out << "{\"" << event.path << "\" flags=0x" << std::hex << event.flags << std::dec
         << " id=" << event.id << "}";
}

} // namespace nexdir

namespace nexdir::test {

Tree indexedTree(const std::string& database) {
    RawDatabase raw(database);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(raw.get(), R"(WITH RECURSIVE paths(id, path, is_directory, size) AS (
        SELECT id, name, is_directory, size FROM entries WHERE parent_id = 0
        UNION ALL SELECT e.id, p.path || '/' || e.name, e.is_directory, e.size
        FROM entries e JOIN paths p ON e.parent_id = p.id
    ) SELECT replace(path, '//', '/'), is_directory, size FROM paths)",
                       -1, &statement, nullptr);
    Tree tree;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        auto text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        std::string path(text, size_t(sqlite3_column_bytes(statement, 0)));
        tree[path] = {sqlite3_column_int(statement, 1) == 1, sqlite3_column_int64(statement, 2)};
    }
    sqlite3_finalize(statement);
    // Rows whose folder is not there: no search finds them, and no disk has them.
    for (const std::string& orphan :
         raw.column("SELECT '(row ' || id || ' under missing folder ' || parent_id || ') ' || "
                    "name FROM entries e WHERE parent_id != 0 AND NOT EXISTS "
                    "(SELECT 1 FROM entries p WHERE p.id = e.parent_id)")) {
        tree[orphan] = {};
    }
    return tree;
}

::testing::AssertionResult indexEqualsDisk(const std::string& database, const std::string& root,
                                           const ExclusionRules& rules) {
    Tree disk = diskTree(root, rules);
    Tree indexed = indexedTree(database);
    if (indexed == disk) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the index differs from the disk:\n"
                                         << treeDifference(disk, indexed);
}

Tree diskTree(const std::string& root, const ExclusionRules& rules, const std::string& scanRoot) {
    std::string walkRoot = scanRoot.empty() ? root : scanRoot;
    Tree tree;
    std::function<void(const std::string&)> add = [&](const std::string& path) {
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0) {
            return;
        }
        bool folder = S_ISDIR(info.st_mode);
        tree[path] = {folder, folder ? 0 : int64_t(info.st_size)};
        if (!folder) {
            return;
        }
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
            std::string child = entry.path().string();
            if (!rules.shouldSkip(child, walkRoot)) {
                add(child);
            }
        }
    };
    add(root);
    return tree;
}

std::string treeDifference(const Tree& expected, const Tree& actual) {
    std::string text;
    for (const auto& [path, item] : expected) {
        auto found = actual.find(path);
        if (found == actual.end()) {
            text += "missing from the index: " + path + "\n";
        } else if (!(found->second == item)) {
            text += "differs: " + path + " (disk " + (item.isDirectory ? "folder" : "file") + " " +
                    std::to_string(item.size) + ", index " +
                    (found->second.isDirectory ? "folder" : "file") + " " +
                    std::to_string(found->second.size) + ")\n";
        }
    }
    for (const auto& [path, item] : actual) {
        if (!expected.count(path)) {
            text += "only in the index: " + path + "\n";
        }
    }
    return text;
}

namespace {
std::string runForked(const std::function<std::string()>& work, bool unprivileged) {
    int output[2];
    if (pipe(output) != 0) {
        return "failed: pipe";
    }
    pid_t child = fork();
    if (child < 0) {
        return "failed: fork";
    }
    if (child == 0) {
        close(output[0]);
        std::string report;
        if (unprivileged && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            report = "failed: could not give up root";
        } else {
            try {
                report = work();
            } catch (const std::exception& error) {
                report = std::string("failed: ") + error.what();
            }
        }
        for (size_t written = 0; written < report.size();) {
            ssize_t count = write(output[1], report.data() + written, report.size() - written);
            if (count <= 0) {
                break;
            }
            written += size_t(count);
        }
        _exit(0);
    }
    close(output[1]);
    std::string report;
    char buffer[4096];
    ssize_t count;
    while ((count = read(output[0], buffer, sizeof buffer)) > 0) {
        report.append(buffer, size_t(count));
    }
    close(output[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return report;
}
} // namespace

namespace fs = std::filesystem;

namespace {
void makeTreeFile(const std::string& path, size_t bytes) {
    makeFile(path, std::string(bytes, 'x'));
}
} // namespace

TreeChanger::TreeChanger(std::string root, unsigned seed) : root_(std::move(root)), random_(seed) {}

void TreeChanger::change(int count) {
    for (int i = 0; i < count; ++i) {
        std::vector<std::string> folders{root_};
        std::vector<std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(root_)) {
            if (entry.is_symlink()) {
                continue;
            }
            (entry.is_directory() ? folders : files).push_back(entry.path().string());
        }
        std::string folder = pick(folders);
        std::string name = "n" + std::to_string(next_++);
        switch (random_() % 10) {
        case 0: // a file
            makeTreeFile(folder + "/" + name + ".txt", random_() % 5000);
            break;
        case 1: // a chain of new folders with a file at its end
            makeTreeFile(folder + "/" + name + "/deep/er/est/file.bin", 10);
            break;
        case 2: // a deletion, of a file or of a whole subtree
            if (folder != root_) {
                fs::remove_all(folder);
            } else if (!files.empty()) {
                fs::remove(pick(files));
            }
            break;
        case 3: // a rename in place
            if (!files.empty()) {
                std::string file = pick(files);
                fs::rename(file, fs::path(file).parent_path() / (name + ".renamed"));
            }
            break;
        case 4: { // a subtree moved elsewhere, unless into itself
            std::string target = pick(folders);
            if (folder != root_ && !isAtOrUnder(target, folder)) {
                fs::rename(folder, target + "/" + name);
            }
            break;
        }
        case 5: // a file that becomes a folder
            if (!files.empty()) {
                std::string file = pick(files);
                fs::remove(file);
                makeTreeFile(file + "/inside.txt", 3);
            }
            break;
        case 6: // a folder that becomes a file
            if (folder != root_) {
                fs::remove_all(folder);
                makeTreeFile(folder, 7);
            }
            break;
        case 7: // a size change
            if (!files.empty()) {
                writeFile(pick(files), std::string(random_() % 9000, 'y'));
            }
            break;
        case 8: // a link, and a folder the rules leave out
            fs::create_symlink(folder, folder + "/" + name + "-link");
            makeTreeFile(folder + "/node_modules/" + name + "/index.js", 1);
            break;
        case 9: // a mode change
            chmod(folder.c_str(), 0755);
            if (!files.empty()) {
                chmod(pick(files).c_str(), 0600);
            }
            break;
        }
    }
}

std::string TreeChanger::pick(const std::vector<std::string>& paths) {
    return paths[random_() % paths.size()];
}

std::string runUnprivileged(const std::function<std::string()>& work) {
    return runForked(work, true);
}

std::string runInChild(const std::function<std::string()>& work) {
    return runForked(work, false);
}

TempDirectory::TempDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quelmo-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    std::stringstream buffer;
    buffer << stream.rdbuf();
    return buffer.str();
}

size_t logCount(const std::string& phrase) {
    std::string log = readFile(DebugLog::url());
    std::string mine = "pid=" + std::to_string(getpid()) + " " + phrase;
    size_t count = 0;
    for (size_t at = log.find(mine); at != std::string::npos; at = log.find(mine, at + 1)) {
        ++count;
    }
    return count;
}

void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << contents;
}

void makeFile(const std::string& path, const std::string& contents) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    writeFile(path, contents);
}

bool exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::symlink_status(path, ignored).type() !=
           std::filesystem::file_type::not_found;
}

unsigned permissions(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? unsigned(info.st_mode & 07777) : 0;
}

std::vector<std::string> listFolder(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

RawDatabase::RawDatabase(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
        throw std::runtime_error("cannot open " + path);
    }
    sqlite3_busy_timeout(db_, 5000);
}

RawDatabase::~RawDatabase() {
    sqlite3_close(db_);
}

void RawDatabase::execute(const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : "?";
        sqlite3_free(message);
        throw std::runtime_error(text + " in " + sql);
    }
}

std::vector<std::string> RawDatabase::column(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        throw std::runtime_error(std::string(sqlite3_errmsg(db_)) + " in " + sql);
    }
    std::vector<std::string> values;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        auto text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        values.emplace_back(text ? text : "");
    }
    sqlite3_finalize(statement);
    return values;
}

std::string RawDatabase::text(const std::string& sql) {
    auto values = column(sql);
    if (values.empty()) {
        throw std::runtime_error("no row for " + sql);
    }
    return values.front();
}

long long RawDatabase::integer(const std::string& sql) {
    return std::stoll(text(sql));
}

TreeBuilder::TreeBuilder(SearchIndex& index, const std::string& rootPath)
    : index_(index), root_(index.reserveID()) {
    index_.upsert({FileRecord(root_, 0, rootPath, true, 0, 0, std::nullopt, false)});
}

int64_t TreeBuilder::folder(int64_t parent, const std::string& name) {
    return add(parent, name, true, 0);
}

int64_t TreeBuilder::file(int64_t parent, const std::string& name, int64_t size,
                          std::optional<int64_t> allocatedSize) {
    return add(parent, name, false, size, allocatedSize);
}

int64_t TreeBuilder::add(int64_t parent, const std::string& name, bool isDirectory, int64_t size,
                         std::optional<int64_t> allocatedSize) {
    int64_t id = index_.reserveID();
    index_.upsert({FileRecord(id, parent, name, isDirectory, 1000, size, allocatedSize, false)});
    return id;
}

} // namespace nexdir::test
