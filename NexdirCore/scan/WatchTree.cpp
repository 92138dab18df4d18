#include "WatchTree.h"

#include "FileSystem.h"
#include "Paths.h"

#include <vector>

namespace nexdir {

size_t watchTree(const std::string& rawRoot, const ExclusionRules& rules,
                 DirectoryRegistrar& registrar) {
    std::string root = standardizePath(rawRoot);
    std::vector<std::string> pending{root};
    size_t announced = 0;
    while (!pending.empty()) {
        std::string folder = std::move(pending.back());
        pending.pop_back();
        registrar.willList(folder);
        announced += 1;
        DirectoryListing listing(folder);
        for (const std::string& name : listing.names()) {
            std::string child = appendingPathComponent(folder, name);
            int errorCode = 0;
            if (rules.shouldSkipStandardized(child, root)) {
                continue;
            }
            auto values = readItemValues(listing.fd(), name, errorCode);
            if (values && values->isDirectory && !values->isSymbolicLink) {
                pending.push_back(std::move(child));
            }
        }
    }
    return announced;
}

} // namespace nexdir
