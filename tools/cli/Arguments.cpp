#include "Arguments.h"

#include "Clock.h"
#include "DataDirectory.h"
#include "Format.h"
#include "NexdirError.h"
#include "Paths.h"
#include "RebuildOwnership.h"
#include "SearchIndex.h"

#include <sys/stat.h>

#include <cerrno>

#include <filesystem>

namespace quelmo::cli {

std::string onlyDatabase(Arguments& arguments, const std::string& command) {
    std::string database = nexdir::defaultIndexPath();
    while (!arguments.empty()) {
        std::string word = arguments.next();
        if (word != "--db") {
            throw UsageError("unknown argument for " + command + ": " + word);
        }
        database = arguments.value(word);
    }
    return database;
}

std::string dataDirectoryOf(const std::string& database) {
    return nexdir::standardizePath(std::filesystem::path(database).parent_path().string());
}

std::optional<std::string> dataDirectoryFor(const std::vector<std::string>& roots) {
    std::string folder = nexdir::applicationDataDirectory();
    for (const std::string& root : roots) {
        if (nexdir::isAtOrUnder(nexdir::standardizePath(root), folder)) {
            return std::nullopt;
        }
    }
    return folder;
}

std::shared_ptr<void> claimIndex(const std::string& database, const std::string& command) {
    try {
        return std::make_shared<nexdir::RebuildOwnership>(
            dataDirectoryOf(database), nexdir::applicationLockName, "quelmo-cli " + command);
    } catch (const nexdir::OwnershipHeldError& held) {
        // A command that writes the index holds it only while it runs: wait for it. The
        // application ("quelmo") and a watch hold it until they are quit.
        const std::string& holder = held.holder();
        if (holder.starts_with("quelmo-cli ") && holder != "quelmo-cli watch") {
            throw std::runtime_error("Another " + holder + " is running on the index at " +
                                     database + ": wait until it ends before quelmo-cli " +
                                     command);
        }
        if (command == "watch") {
            throw std::runtime_error("Quelmo already keeps the index at " + database +
                                     " live (the application or another quelmo-cli watch)");
        }
        throw std::runtime_error("Quelmo keeps the index at " + database +
                                 " live (the application or quelmo-cli watch): quit it before "
                                 "quelmo-cli " +
                                 command);
    }
}

namespace {

std::runtime_error noIndexAt(const std::string& database) {
    return std::runtime_error("No index at " + database + ". Build one with quelmo-cli scan.");
}

} // namespace

struct stat requireIndex(const std::string& database) {
    struct stat info {};
    if (stat(database.c_str(), &info) != 0) {
        throw noIndexAt(database);
    }
    return info;
}

std::unique_ptr<nexdir::SearchIndex> openForReading(const std::string& database) {
    struct stat info {};
    if (stat(database.c_str(), &info) != 0 && errno == ENOENT) {
        throw noIndexAt(database); // any other failure is the open's to tell
    }
    return std::make_unique<nexdir::SearchIndex>(database, nexdir::SearchIndex::Access::readOnly);
}

bool ProgressPace::due() {
    double now = nexdir::uptimeSeconds();
    if (now - last_ < 0.5) {
        return false;
    }
    last_ = now;
    return true;
}

std::string Arguments::value(const std::string& option) {
    if (empty()) {
        throw UsageError(option + " needs a value");
    }
    return next();
}

long long Arguments::integerValue(const std::string& option) {
    std::string text = value(option);
    std::optional<long long> number = nexdir::parseNumber<long long>(text);
    if (!number || *number < 0) {
        throw UsageError(option + " needs a whole number of 0 or more, not \"" + text + "\"");
    }
    return *number;
}

} // namespace quelmo::cli
