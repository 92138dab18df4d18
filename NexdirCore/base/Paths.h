#pragma once

#include <string>
#include <string_view>

namespace nexdir {

// Lexical path standardisation: makes `path` absolute (against the current directory),
// removes "." components, resolves ".." against the component before it and drops a
// trailing "/". It never touches the disk, so a symbolic link in the path is not resolved;
// ".." above "/" stays at "/". An empty path standardises to the current directory.
std::string standardizePath(std::string_view path);

// A path is at or under `root` when it equals `root` or begins with `root` followed by "/".
// Every absolute path is under "/". Both arguments are expected to be standardised.
bool isAtOrUnder(std::string_view path, std::string_view root);

// The last component of a standardised path; "/" for "/".
std::string lastPathComponent(std::string_view path);

// `base` + "/" + `component`, without doubling the "/" after a root of "/".
std::string appendingPathComponent(std::string_view base, std::string_view component);

} // namespace nexdir
