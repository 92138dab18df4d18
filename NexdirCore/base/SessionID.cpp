#include "SessionID.h"

#include "UUID.h"

namespace nexdir {

const std::string& processSessionID() {
    static const std::string sessionID = makeUUIDString();
    return sessionID;
}

} // namespace nexdir
