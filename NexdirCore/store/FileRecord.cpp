#include "FileRecord.h"

#include "Normalize.h"

namespace nexdir {

FileRecord::FileRecord(int64_t id, int64_t parentID, std::string name, bool isDirectory,
                       double modifiedAt, int64_t size, std::optional<int64_t> allocatedSize,
                       bool isDataless)
    : id(id), parentID(parentID), name(std::move(name)), searchName(normalizeForSearch(this->name)),
      isDirectory(isDirectory), modifiedAt(modifiedAt), size(size), allocatedSize(allocatedSize),
      isDataless(isDataless) {}

} // namespace nexdir
