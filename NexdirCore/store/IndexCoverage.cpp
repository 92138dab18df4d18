#include "IndexCoverage.h"

#include "IndexMetadata.h"
#include "SearchIndex.h"

namespace nexdir {

IndexCoverage IndexCoverage::read(SearchIndex& index) {
    namespace key = IndexMetadata;
    IndexCoverage coverage;
    coverage.indexedItems = index.statistics().indexedItems;
    // A damaged value reads as nothing recorded rather than failing the whole read: the
    // window is where the user goes to find out what is wrong.
    uint64_t errors = key::parseUnsigned(index.metadata(key::scanErrors)).value_or(0);
    coverage.inaccessibleCount = errors > uint64_t(INT64_MAX) ? 0 : int64_t(errors);
    coverage.paths = key::decodePathList(index.metadata(key::inaccessiblePaths).value_or("[]"))
                         .value_or(std::vector<std::string>{});
    coverage.excluded = key::decodePathList(index.metadata(key::excludedPaths).value_or("[]"))
                            .value_or(std::vector<std::string>{});
    coverage.needsRecovery = index.metadata(key::needsRecovery) == key::flag(true);
    coverage.completed = index.hasCompletedFullScan();
    return coverage;
}

} // namespace nexdir
