#include "Arguments.h"

#include "DataDirectory.h"
#include "Paths.h"

#include <charconv>
#include <filesystem>

namespace quelmo::cli {

std::string dataDirectoryOf(const std::string& database) {
    return nexdir::standardizePath(std::filesystem::path(database).parent_path().string());
}

std::optional<std::string> dataDirectoryFor(const std::string& database,
                                            const std::vector<std::string>& roots) {
    auto holdsARoot = [&](const std::string& folder) {
        for (const std::string& root : roots) {
            if (nexdir::isAtOrUnder(nexdir::standardizePath(root), folder)) {
                return true;
            }
        }
        return false;
    };
    for (std::string folder : {dataDirectoryOf(database), nexdir::applicationDataDirectory()}) {
        if (!holdsARoot(folder)) {
            return folder;
        }
    }
    return std::nullopt;
}

std::string Arguments::value(const std::string& option) {
    if (empty()) {
        throw UsageError(option + " needs a value");
    }
    return next();
}

long long Arguments::integerValue(const std::string& option) {
    std::string text = value(option);
    long long number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size()) {
        throw UsageError(option + " needs a whole number, not \"" + text + "\"");
    }
    return number;
}

} // namespace quelmo::cli
