#include "UUID.h"

#include <uuid/uuid.h>

namespace nexdir {

std::string makeUUIDString() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37];
    uuid_unparse_upper(uuid, text);
    return text;
}

bool isUUIDString(const std::string& text) {
    uuid_t uuid;
    return text.size() == 36 && uuid_parse(text.c_str(), uuid) == 0;
}

} // namespace nexdir
