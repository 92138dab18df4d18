#pragma once

#include "DirectoryRegistrar.h"
#include "ExclusionRules.h"

#include <string>

namespace nexdir {

// Announces every folder of the tree at `root` that the rules keep, each before it is
// listed, without indexing anything: what a scan does for the file-event service. Answers
// the number of folders announced. Links are never followed.
size_t watchTree(const std::string& root, const ExclusionRules& rules,
                 DirectoryRegistrar& registrar);

} // namespace nexdir
