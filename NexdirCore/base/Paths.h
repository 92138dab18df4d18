#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nexdir {

// Lexical path standardisation: makes `path` absolute (against the current directory),
// removes "." components, resolves ".." against the component before it and drops a
// trailing "/". It never touches the disk, so a symbolic link in the path is not resolved;
// ".." above "/" stays at "/". An empty path standardises to the current directory.
std::string standardizePath(std::string_view path);
// Each of `paths` standardised, in order.
std::vector<std::string> standardizedAll(const std::vector<std::string>& paths);

// A path is at or under `root` when it equals `root` or begins with `root` followed by "/".
// Every absolute path is under "/". Both arguments are expected to be standardised.
bool isAtOrUnder(std::string_view path, std::string_view root);

// The longest of `roots` that `path` is at or under (the first on equal length), if any.
const std::string* longestRootAbove(std::string_view path, const std::vector<std::string>& roots);

// The folder that holds a standardised path; "/" for "/" and for a child of "/".
std::string parentPath(std::string_view path);

// The last component of a standardised path; "/" for "/".
std::string lastPathComponent(std::string_view path);

// `base` + "/" + `component`, without doubling the "/" after a root of "/".
std::string appendingPathComponent(std::string_view base, std::string_view component);

} // namespace nexdir
