#include "IndexProgress.h"

#include "Format.h"

namespace nexdir {

IndexCapacityError::IndexCapacityError(int64_t required, int64_t available)
    : std::runtime_error("Not enough free space to rebuild the index. Need approximately " +
                         formatFileBytes(required) + "; available " + formatFileBytes(available) +
                         "."),
      required_(required), available_(available) {}

} // namespace nexdir
