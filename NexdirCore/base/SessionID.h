#pragma once

#include <string>

namespace nexdir {

// This process's session: a random UUID in upper case, made once on first use. Every line of
// the debug log carries it, and the diagnostic session names itself by it.
const std::string& processSessionID();

} // namespace nexdir
