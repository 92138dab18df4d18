#pragma once

#include <string>

namespace nexdir {

// The shortest decimal that reads back as the same double, always with a fraction or an
// exponent ("12.0", "0.25", "1e-05", "1e+16"): the form log lines use for seconds and
// milliseconds.
std::string shortestDecimal(double value);

} // namespace nexdir
