#pragma once

// The values of the query language's filters, read into terms (internal to the search).
// Plain functions; any thread.

#include "Query.h"

#include <string>
#include <string_view>

namespace nexdir::detail {

// The term of filter `name` (file, folder, ext, size, dm or in, lower case) with the value as
// typed; `now` anchors dates. Throws QueryError saying how to write a value it cannot read.
QueryNode filterNode(const std::string& name, const std::string& value, double now);

// `text` with the ASCII letters in lower case.
std::string lowerASCII(std::string text);

// The normalised wildcard pattern of `text`, runs of * made one: they match the same names.
std::string normalizedPattern(std::string_view text);

} // namespace nexdir::detail
