#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace nexdir {

// One file-system item as a scanner hands it to the index store.
//
// `name` is kept byte for byte as the file system gave it: on Linux a name is a byte string,
// two names that differ only in their Unicode normalisation form are two different files,
// and a result path must open the file it names. Matching does not depend on the form,
// because `searchName` is the normalisation of the name.
struct FileRecord {
    FileRecord(int64_t id, int64_t parentID, std::string name, bool isDirectory, double modifiedAt,
               int64_t size, std::optional<int64_t> allocatedSize, bool isDataless);

    int64_t id;
    int64_t parentID; // 0 for a volume root entry
    std::string name; // a single component, or the root's full path for a volume root
    std::string searchName;
    bool isDirectory;
    double modifiedAt;
    int64_t size;
    std::optional<int64_t> allocatedSize; // absent when not measured
    bool isDataless;

    bool operator==(const FileRecord&) const = default;
};

} // namespace nexdir
