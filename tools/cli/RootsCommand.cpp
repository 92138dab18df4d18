#include "Arguments.h"

#include "VolumeRoots.h"

#include <iostream>

namespace quelmo::cli {

int runRoots(Arguments arguments) {
    if (!arguments.empty()) {
        throw UsageError("unknown argument for roots: " + arguments.next());
    }
    // What a scan without ROOT folders, or the application, would index.
    for (const std::string& root : nexdir::VolumeRoots::discover()) {
        std::cout << root << '\n';
    }
    return 0;
}

} // namespace quelmo::cli
