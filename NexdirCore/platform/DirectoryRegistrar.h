#pragma once

#include <string>

namespace nexdir {

// Told about every folder a walk is about to list, just before it lists it. The file-event
// service gives the folder a watch here: a change is then either seen by the listing or
// reported afterwards, never lost in between. Called from scanner workers concurrently.
class DirectoryRegistrar {
public:
    virtual ~DirectoryRegistrar() = default;
    virtual void willList(const std::string& folderPath) = 0;
};

} // namespace nexdir
